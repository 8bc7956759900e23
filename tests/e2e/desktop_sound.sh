#!/usr/bin/env bash
# The real ostrevin binary against the emulated stick with the sound server a
# desktop has (tests/support/with_pulse.sh, which CTest runs this under): the
# stick's input, named after its USB identity as Linux names it, is found
# beside a look-alike and played on the preview; a recording made through the
# menus, typed as a person would, holds the stick's sound.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
tone_level=$here/../tools/tone_level.py
source "$here/../support/x_session.sh"
e2e_session "$@"
[ -n "${PULSE_SERVER:-}" ] || fail "no test sound server: run under tests/support/with_pulse.sh"

# Levels of the stick's 1000 Hz and line-in's 2500 Hz in a raw file; fails
# unless the stick's tone is the one there.
expect_stick_tone() {
  local what=$1 file=$2 stick other
  read -r stick other < <(python3 "$tone_level" "$file" 1000 2500)
  [ "${stick:-0}" -gt 500 ] && [ "${other:-0}" -lt 50 ] ||
    fail "$what: 1000 Hz at ${stick:-none}, 2500 Hz at ${other:-none}"
  echo "$what: the stick's tone (1000 Hz at $stick, 2500 Hz at $other)"
}

"$emulator" -- "$ostrevin" >"$work/run.log" 2>&1 &
pid=$!
wait_window Ostrevin top >/dev/null || fail "no main window"
sleep 3  # streaming, the sound found and the preview filling

heard=""
for _ in 1 2 3 4 5; do
  parec -d preview.monitor --raw --format=s16le --rate=48000 --channels=2 --latency-msec=20 >"$work/heard.raw" &
  sleep 1.5
  kill $! 2>/dev/null
  wait $! 2>/dev/null
  read -r s o < <(python3 "$tone_level" "$work/heard.raw" 1000 2500)
  [ "${s:-0}" -gt 500 ] && [ "${o:-0}" -lt 50 ] && { heard=1; break; }
done
[ -n "$heard" ] || { cat "$work/run.log"; fail "the preview does not play the stick: 1000 Hz at $s, 2500 Hz at $o"; }
echo "preview: the stick's tone (1000 Hz at $s, 2500 Hz at $o)"

# A recording made through the menus, a few seconds long.
start_recording "$work/tape"
sleep 4
stop_recording
sleep 1
"$x_window" close "$(main_window)"
wait_exit $pid || fail "the window did not close"
pid=""
[ "$exit_code" -eq 0 ] || { cat "$work/run.log"; fail "exit code $exit_code after close"; }

ffmpeg -v error -nostdin -i "$work/tape.avi" -map 0:a -f s16le -ac 2 -ar 48000 "$work/recorded.raw" ||
  fail "the recording's sound does not decode"
seconds=$(ffprobe -v error -show_entries format=duration -of csv=p=0 "$work/tape.avi")
echo "recording: ${seconds} s"
expect_stick_tone "recording" "$work/recorded.raw"

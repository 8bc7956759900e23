#!/usr/bin/env bash
# The real ostrevin binary's command line: --help and --version without a
# display, every bad argument refused with a message and exit code 2, and a
# recording started, overridden and ended from the command line alone
# against the emulated stick, with the stored preferences left as they were.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../support/x_session.sh"
e2e_session "$@"

# --- help and version: on stdout, exit 0, no display needed
out=$(env -u DISPLAY "$ostrevin" --help) || fail "--help exit code $?"
grep -q "^Usage: ostrevin \[options\]" <<<"$out" || fail "--help: $out"
for option in --record --stop-after --stop-without-signal --standard --input --channel --debug --version --help --repair; do
  grep -q -- "$option" <<<"$out" || fail "--help does not name $option"
done
version=$(env -u DISPLAY "$ostrevin" --version) || fail "--version exit code $?"
[[ "$version" =~ ^ostrevin\ [0-9]+\.[0-9]+ ]] || fail "--version printed '$version'"
echo "--help and --version without a display: '$version'"

# --- bad arguments: a message on stderr naming the fault, exit code 2, no window
bad() {
  local says=$1
  shift
  "$ostrevin" "$@" >"$work/bad.out" 2>"$work/bad.err"
  local code=$?
  [ $code -eq 2 ] || fail "ostrevin $* exited $code, expected 2"
  grep -q -- "$says" "$work/bad.err" || fail "ostrevin $*: stderr says '$(cat "$work/bad.err")'"
  [ -s "$work/bad.out" ] && fail "ostrevin $*: printed on stdout"
  return 0
}
bad "Unknown option 'bogus'" --bogus
bad "--standard must be ntsc, pal or pal60, not 'secam'" --standard secam
bad "--input must be composite or svideo" --input rgb
bad "--channel must be 0, 1, 2 or 3, not '7'" --channel 7
bad "--stop-after takes a duration" --stop-after later
bad "--stop-without-signal takes a duration" --stop-without-signal soon
bad "--record: the folder '/no/such/folder' does not exist" --record /no/such/folder/tape.avi
bad "Missing value after '--record'" --record
bad "unexpected argument 'tape.avi'" tape.avi
find_window Ostrevin top >/dev/null && fail "a window opened for bad arguments"
echo "bad arguments: told on stderr, exit code 2"

# --- a recording from the command line alone: NTSC on S-Video, channel 1,
# three seconds, with the stored preferences (PAL, Composite) untouched
prefs=$work/.local/share/ostrevin/ostrevin_preferences
mkdir -p "$(dirname "$prefs")"
printf '\0\0\0\0\1\0\0\0\0' >"$prefs"
stored=$(od -An -tx1 "$prefs")
"$emulator" --log="$work/ops.txt" -- "$ostrevin" --record tape.avi --stop-after 3s --standard ntsc \
  --input svideo --channel 1 >"$work/run.log" 2>&1 &
pid=$!
recording=""
for _ in $(seq 300); do
  recording=$("$x_window" list | grep -o "Ostrevin - recording 0:00:0[0-9] of 0:00:03 - .*") && break
  sleep 0.1
done
[ -n "$recording" ] || { cat "$work/run.log"; fail "the recording did not start by itself"; }
echo "recording by itself: $recording"
wait_window "Ostrevin - recording stopped at its time limit (0:00:03)" top >/dev/null ||
  { cat "$work/run.log"; "$x_window" list; fail "the recording did not stop at its limit"; }
"$x_window" close "$(wait_window "Ostrevin - recording stopped at its time limit (0:00:03)" top | cut -d' ' -f1)"
wait_exit $pid || fail "the window did not close"
pid=""
[ $exit_code -eq 0 ] || { cat "$work/run.log"; fail "exit code $exit_code after close"; }

IFS=, read -r width height rate frames < <(ffprobe -v error -select_streams v:0 -count_frames \
  -show_entries stream=width,height,r_frame_rate,nb_read_frames -of csv=p=0 tape.avi)
[ "$width x $height" = "720 x 480" ] || fail "the file is $width x $height, not NTSC's 720 x 480"
[ "$rate" = 30000/1001 ] || fail "the file runs at $rate, not NTSC's 30000/1001"
[ "$frames" -ge 89 ] && [ "$frames" -le 91 ] || fail "$frames frames for 3 s at 29.97 frames a second"
echo "tape.avi: $width x $height at $rate, $frames frames"
grep -q "^decoder_write 0x08 <- 0x79" "$work/ops.txt" || fail "the decoder was never set for 60 Hz"
grep "^decoder_write 0x02 <- " "$work/ops.txt" | tail -n 1 | grep -q "^decoder_write 0x02 <- 0xc9 " ||
  fail "the decoder's last input mode is not S-Video: $(grep "^decoder_write 0x02 <- " "$work/ops.txt" | tail -n 1)"
[ "$(grep "^control 0x40 0x01 0x00[0-9a-f][0-9a-f] 0x0000 " "$work/ops.txt" | tail -n 1 | cut -d' ' -f4)" = 0x0088 ] ||
  fail "the stick was not routed to channel 1"
echo "the stick was programmed for NTSC, S-Video, channel 1"
[ "$(od -An -tx1 "$prefs")" = "$stored" ] || fail "the stored preferences were rewritten: $(od -An -tx1 "$prefs")"
echo "stored preferences unchanged"

# --- --debug without a desktop folder: one line says where the log cannot be
# written; every line reaches stderr once, from the message handler, none
# stamped again by the console (a fed-back line carries a stamp, and they
# multiply), and the per-transfer timings stay off the terminal
"$emulator" -- "$ostrevin" --debug >"$work/no_desktop.log" 2>&1 &
pid=$!
wait_window Ostrevin top >/dev/null || fail "no main window with --debug and no desktop folder"
# Until the console has said so (or the output runs away).
for _ in $(seq 300); do
  [ "$(stat -c %s "$work/no_desktop.log")" -gt 20000000 ] && break
  grep -q "cannot be written to" "$work/no_desktop.log" && break
  sleep 0.1
done
"$x_window" close "$(main_window)"
wait_exit $pid || fail "the window did not close with --debug and no desktop folder"
pid=""
[ $exit_code -eq 0 ] || fail "exit code $exit_code after close with --debug and no desktop folder"
told=$(grep -c "cannot be written to $work/Desktop/debug_console_out.txt" "$work/no_desktop.log")
[ "$told" -eq 1 ] || fail "--debug without a desktop folder: where the log cannot be written told $told times"
fed_back=$(grep -cE "^ostrevin.app: +[0-9]+\.[0-9]{3} " "$work/no_desktop.log")
timings=$(grep -c "^ostrevin\.[a-z]*\.timing" "$work/no_desktop.log")
size=$(stat -c %s "$work/no_desktop.log")
[ "$fed_back" -eq 0 ] && [ "$timings" -eq 0 ] && [ "$size" -lt 20000000 ] ||
  fail "--debug without a desktop folder: $fed_back lines stamped again, $timings timings, $size bytes of output"
[ -e "$work/Desktop" ] && fail "--debug made a desktop folder"
echo "--debug without a desktop folder: told once, $(wc -l <"$work/no_desktop.log") lines ($size bytes), none fed back"

# --- --debug: the console on screen and the debug lines in its desktop file
mkdir -p "$work/Desktop"
"$emulator" -- "$ostrevin" --debug >"$work/debug.log" 2>&1 &
pid=$!
wait_window Ostrevin top >/dev/null || fail "no main window with --debug"
console=""
for _ in $(seq 100); do
  console=$("$x_window" list | awk '$2 ~ /x240$/' | head -n 1) && [ -n "$console" ] && break
  sleep 0.1
done
[ -n "$console" ] || { "$x_window" list; fail "no debug console along the bottom of the screen"; }
timing="capture: done parsing a video transfer at "
for _ in $(seq 300); do grep -q "$timing" "$work/Desktop/debug_console_out.txt" 2>/dev/null && break; sleep 0.1; done
grep -q "$timing" "$work/Desktop/debug_console_out.txt" ||
  fail "the capture thread's timings do not reach the console's file"
"$x_window" close "$(main_window)"
wait_exit $pid || fail "the window did not close with --debug"
pid=""
[ $exit_code -eq 0 ] || fail "exit code $exit_code after close with --debug"
# The timings went to the console alone; nothing was stamped back.
timings=$(grep -c "^ostrevin\.[a-z]*\.timing" "$work/debug.log")
fed_back=$(grep -cE "^ostrevin.app: +[0-9]+\.[0-9]{3} " "$work/debug.log")
[ "$timings" -eq 0 ] && [ "$fed_back" -eq 0 ] ||
  fail "--debug: $timings timings and $fed_back stamped lines on stderr"
echo "--debug: console shown, $(wc -l <"$work/Desktop/debug_console_out.txt") debug lines in its file"

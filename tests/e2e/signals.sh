#!/usr/bin/env bash
# The real ostrevin binary recording from the emulated stick when the system
# asks it to end: SIGTERM (logout, shutdown), SIGINT (Ctrl+C), SIGHUP (the
# terminal closed) finish the file, which every reader then finds whole and
# indexed, and the exit code names the signal. Under a file-size limit the
# recording ends with a message and a readable file, and the program lives on.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../support/x_session.sh"
e2e_session "$@"

# The file is whole: it has a length, and every packet decodes.
expect_whole() {
  local what=$1 file=$2 seconds
  seconds=$(ffprobe -v error -show_entries format=duration -of csv=p=0 "$file")
  [ -n "$seconds" ] && [ "$seconds" != N/A ] || fail "$what: the file has no length (no index)"
  ffmpeg -v error -nostdin -i "$file" -f null - 2>"$work/decode.err" || fail "$what: the file does not decode"
  [ -s "$work/decode.err" ] && { cat "$work/decode.err"; fail "$what: decoding reported errors"; }
  echo "$what: whole file of $seconds s"
}

for signal in TERM INT HUP; do
  "$emulator" -- "$ostrevin" >"$work/$signal.log" 2>&1 &
  pid=$!
  main_window >/dev/null || fail "$signal: no main window"
  sleep 2
  start_recording "$work/$signal"
  sleep 3
  program=$(pgrep -P $pid) || fail "$signal: the program is not running"
  kill -$signal "$program"
  wait_exit $pid 30 || fail "$signal: the program did not end"
  pid=""
  expected=$((128 + $(kill -l $signal)))
  [ "$exit_code" -eq "$expected" ] || { cat "$work/$signal.log"; fail "$signal: exit code $exit_code, expected $expected"; }
  expect_whole "SIG$signal, exit code $exit_code" "$work/$signal.avi"
done

# A file-size limit of 16 MB: the recording stops with a message, the
# program goes on and closes normally.
(ulimit -f 16384 && exec "$emulator" -- "$ostrevin") >"$work/limit.log" 2>&1 &
pid=$!
main_window >/dev/null || fail "limit: no main window"
sleep 2
start_recording "$work/limit"
box=$(wait_window Ostrevin dialog) || { cat "$work/limit.log"; fail "limit: no message when the file reached the limit"; }
kill -0 $pid || fail "limit: the program died"
"$x_window" close "${box%% *}"
sleep 0.5
"$x_window" close "$(main_window)"
wait_exit $pid || fail "limit: the window did not close"
pid=""
[ "$exit_code" -eq 0 ] || { cat "$work/limit.log"; fail "limit: exit code $exit_code after close"; }
frames=$(ffprobe -v error -count_packets -select_streams v -show_entries stream=nb_read_packets -of csv=p=0 "$work/limit.avi")
[ "${frames:-0}" -gt 0 ] || fail "limit: nothing readable in the file"
echo "file-size limit: message, the program lived on, $frames frames readable"

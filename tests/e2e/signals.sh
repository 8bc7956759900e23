#!/usr/bin/env bash
# The real ostrevin binary recording from the emulated stick when the system
# asks it to end: SIGTERM (logout, shutdown), SIGINT (Ctrl+C), SIGHUP (the
# terminal closed) finish the file, which every reader then finds whole and
# indexed, and the exit code names the signal. SIGKILL leaves a file the next
# start repairs. Under a file-size limit each file ends whole below it and
# the recording goes on in the next.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../support/x_session.sh"
e2e_session "$@"

# Starts the program, records 3 s into $work/NAME.avi, sends it signal NAME
# and waits for it to end.
record_then_signal() {
  local signal=$1 program
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
}

for signal in TERM INT HUP; do
  record_then_signal $signal
  expected=$((128 + $(kill -l $signal)))
  [ "$exit_code" -eq "$expected" ] || { cat "$work/$signal.log"; fail "$signal: exit code $exit_code, expected $expected"; }
  expect_whole "SIG$signal, exit code $exit_code" "$work/$signal.avi"
done

# SIGKILL (a crash, the power gone): no chance to finish the file. Its note
# stays behind; the next start repairs the file in place and says so.
notes="$HOME/.local/share/ostrevin/unfinished recordings"
record_then_signal KILL
ls "$notes"/*.recording >/dev/null 2>&1 || fail "KILL: no note of the unfinished recording"
length=$(ffprobe -v error -show_entries format=duration -of csv=p=0 "$work/KILL.avi")
echo "SIGKILL: the file as left has a length of '${length}' (no index)"
"$emulator" -- "$ostrevin" >"$work/KILL-again.log" 2>&1 &
pid=$!
main_window >/dev/null || fail "KILL: no main window at the next start"
for _ in $(seq 100); do
  ls "$notes"/*.recording >/dev/null 2>&1 || break
  sleep 0.2
done
ls "$notes"/*.recording >/dev/null 2>&1 && { cat "$work/KILL-again.log"; fail "KILL: the next start did not repair the file"; }
grep -q "recording: repaired $work/KILL.avi" "$work/KILL-again.log" || { cat "$work/KILL-again.log"; fail "KILL: the repair was not told"; }
"$x_window" close "$(main_window)"
wait_exit $pid || fail "KILL: the window did not close"
pid=""
expect_whole "SIGKILL, repaired at the next start" "$work/KILL.avi"
"$ostrevin" --repair "$work/KILL.avi" | grep -q "is whole" || fail "KILL: --repair does not find the file whole"

# A file-size limit of 16 MB (as a FAT file system has one of 4 GiB): every
# file ends whole below it and the recording goes on in the next one.
(ulimit -f 16384 && exec "$emulator" -- "$ostrevin") >"$work/limit.log" 2>&1 &
pid=$!
main_window >/dev/null || fail "limit: no main window"
sleep 2
start_recording "$work/limit"
for _ in $(seq 150); do
  [ -e "$work/limit3.avi" ] && break
  sleep 0.2
done
[ -e "$work/limit3.avi" ] || { cat "$work/limit.log"; fail "limit: the recording did not go on in new files"; }
find_window Ostrevin dialog >/dev/null && fail "limit: a message where the recording should go on"
program=$(pgrep -P $pid) || fail "limit: the program died"
kill -TERM "$program"
wait_exit $pid 30 || fail "limit: the program did not end"
pid=""
[ "$exit_code" -eq 143 ] || { cat "$work/limit.log"; fail "limit: exit code $exit_code after SIGTERM"; }
for file in "$work"/limit*.avi; do
  size=$(stat -c %s "$file")
  [ "$size" -le $((16384 * 1024)) ] || fail "limit: $file is $size bytes, past the limit"
  expect_whole "file-size limit, $(basename "$file")" "$file"
done

#!/usr/bin/env bash
# The real ostrevin binary recording from an emulated stick that misbehaves:
# pulled out (and plugged in again), silent for 3 s and for 15 s, a damaged
# stream, a bridge that hangs. Each is told; a recording that cannot go on
# ends with a whole file; the loss report matches the file.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
checker=$here/../tools/check_picture.py
source "$here/../support/x_session.sh"
e2e_session "$@"

# Frames (video packets) in a file.
frames_in() {
  ffprobe -v error -count_packets -select_streams v -show_entries stream=nb_read_packets -of csv=p=0 "$1"
}

# The log's account of the last recording matches its file: what came plus
# what was repeated is in the file, and that is the clock's count to within
# the frames on their way.
expect_account() {
  local what=$1 log=$2 file=$3 line periods came repeated in_file
  line=$(grep "recording stopped:" "$log" | tail -n 1)
  [ -n "$line" ] || fail "$what: no account of the recording in the log"
  read -r periods came repeated < <(sed -E 's/.*: ([0-9]+) frame periods[^;]*; ([0-9]+) frames came, [0-9]+ lost \(([0-9]+) repeated.*/\1 \2 \3/' <<<"$line")
  in_file=$(frames_in "$file")
  [ "$in_file" -eq $((came + repeated)) ] || fail "$what: $in_file frames in the file, the log says $came came and $repeated repeated"
  [ $((periods - in_file)) -le 3 ] && [ $((in_file - periods)) -le 3 ] ||
    fail "$what: $in_file frames in the file for $periods frame periods"
  ffmpeg -v error -nostdin -i "$file" -f null - 2>"$work/decode.err" && [ ! -s "$work/decode.err" ] ||
    fail "$what: the file does not decode cleanly"
  echo "$what: $in_file frames in the file = $came came + $repeated repeated; $periods frame periods"
  last_repeated=$repeated
}

# Waits up to $2 seconds for the log $1 to say $3.
log_says() {
  local log=$1 limit=$2 text=$3
  for _ in $(seq $((limit * 10))); do grep -qF "$text" "$log" && return 0; sleep 0.1; done
  return 1
}

# --- pulled out during a recording, plugged in again 3 s later
"$emulator" --unplug-after=6 --replug-after=3 -- "$ostrevin" >"$work/unplug.log" 2>&1 &
pid=$!
main_window >/dev/null || fail "unplug: no main window"
sleep 1.5
start_recording "$work/unplug"
log_says "$work/unplug.log" 20 "The recording stopped because the EasyCap was unplugged" ||
  { cat "$work/unplug.log"; fail "unplug: the recording did not end with a message"; }
grep "The recording stopped because" "$work/unplug.log"
expect_account "unplug" "$work/unplug.log" "$work/unplug.avi"
log_says "$work/unplug.log" 20 "the stick is back" || fail "unplug: the stick was not found again"
# The picture returns: the test pattern fills the window again.
ok=""
for _ in $(seq 30); do
  sleep 0.5
  "$x_window" grab "$(main_window)" "$work/back.ppm" || continue
  python3 "$checker" "$work/back.ppm" 768 576 >/dev/null && { ok=1; break; }
done
[ -n "$ok" ] || fail "unplug: the picture did not come back"
echo "unplug: the picture is back after the stick was plugged in again"
"$x_window" close "$(main_window)"
wait_exit $pid || fail "unplug: the window did not close"
pid=""

# --- silent for 3 s during a recording: told, recorded as lost, goes on
"$emulator" --stall=7:3 -- "$ostrevin" >"$work/stall.log" 2>&1 &
pid=$!
main_window >/dev/null || fail "stall: no main window"
sleep 1.5
start_recording "$work/stall"
log_says "$work/stall.log" 20 "no field for a second" || fail "stall: not told"
log_says "$work/stall.log" 20 "frames come again" || { cat "$work/stall.log"; fail "stall: the frames did not come again"; }
sleep 1
stop_recording
log_says "$work/stall.log" 10 "recording stopped:" || fail "stall: the recording did not stop"
grep -q "The recording stopped because" "$work/stall.log" && fail "stall: a 3 s stall ended the recording"
expect_account "3 s stall" "$work/stall.log" "$work/stall.avi"
[ "$last_repeated" -ge 50 ] || fail "3 s stall: only $last_repeated frames repeated"
"$x_window" close "$(main_window)"
wait_exit $pid || fail "stall: the window did not close"
pid=""

# --- silent for 15 s: the recording ends after 10 s of it, whole
"$emulator" --stall=6:15 -- "$ostrevin" >"$work/long.log" 2>&1 &
pid=$!
main_window >/dev/null || fail "long stall: no main window"
sleep 1.5
start_recording "$work/long"
log_says "$work/long.log" 30 "The recording stopped because the EasyCap sent no picture for 10 s" ||
  { cat "$work/long.log"; fail "long stall: the recording did not end with a message"; }
expect_account "15 s stall" "$work/long.log" "$work/long.avi"
"$x_window" close "$(main_window)"
wait_exit $pid || fail "long stall: the window did not close"
pid=""

# --- a damaged stream (one packet in 137 lost) and a bridge that hangs for
# 4 s: told, and the picture is back after the hang.
"$emulator" --lose-packets=137 -- "$ostrevin" >"$work/damaged.log" 2>&1 &
pid=$!
main_window >/dev/null || fail "damaged: no main window"
log_says "$work/damaged.log" 20 "fields discarded in the last second, none complete" ||
  { cat "$work/damaged.log"; fail "damaged: not told"; }
"$x_window" close "$(main_window)"
wait_exit $pid || fail "damaged: the window did not close"
pid=""
echo "damaged stream: told ($(grep -m1 'fields discarded' "$work/damaged.log"))"

"$emulator" --hang=4:4 -- "$ostrevin" >"$work/hang.log" 2>&1 &
pid=$!
main_window >/dev/null || fail "hang: no main window"
log_says "$work/hang.log" 30 "the stick does not answer" || { cat "$work/hang.log"; fail "hang: not told"; }
log_says "$work/hang.log" 30 "trying the stick again" || fail "hang: never tried again"
ok=""
for _ in $(seq 40); do
  sleep 0.5
  "$x_window" grab "$(main_window)" "$work/hang.ppm" || continue
  python3 "$checker" "$work/hang.ppm" 768 576 >/dev/null && { ok=1; break; }
done
[ -n "$ok" ] || { cat "$work/hang.log"; fail "hang: the picture did not come back"; }
echo "hang: told, and the picture came back"
"$x_window" close "$(main_window)"
wait_exit $pid || fail "hang: the window did not close"
pid=""

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

# Starts the program under the emulator with the options given; $1 names
# the case, whose log is $work/$1.log.
start_case() {
  local name=$1
  shift
  "$emulator" "$@" -- "$ostrevin" >"$work/$name.log" 2>&1 &
  pid=$!
  main_window >/dev/null || fail "$name: no main window"
}

# Closes the window and waits for the program.
end_case() {
  "$x_window" close "$(main_window)"
  wait_exit $pid || fail "$1: the window did not close"
  pid=""
}

# Waits for the test pattern to fill the window again.
expect_picture_back() {
  for _ in $(seq 40); do
    sleep 0.5
    "$x_window" grab "$(main_window)" "$work/back.ppm" || continue
    python3 "$checker" "$work/back.ppm" 768 576 >/dev/null && return 0
  done
  cat "$work/$1.log"
  fail "$1: the picture did not come back"
}

# --- pulled out during a recording, plugged in again 3 s later
start_case unplug --unplug-after=6 --replug-after=3
sleep 1.5
start_recording "$work/unplug"
log_says "$work/unplug.log" 20 "The recording stopped because the EasyCap was unplugged" ||
  { cat "$work/unplug.log"; fail "unplug: the recording did not end with a message"; }
grep "The recording stopped because" "$work/unplug.log"
expect_account "unplug" "$work/unplug.log" "$work/unplug.avi"
log_says "$work/unplug.log" 20 "the stick is back" || fail "unplug: the stick was not found again"
expect_picture_back unplug
echo "unplug: the picture is back after the stick was plugged in again"
end_case unplug

# --- silent for 3 s during a recording: told, recorded as lost, goes on
start_case stall --stall=7:3
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
end_case stall

# --- silent for 15 s: the recording ends after 10 s of it, whole
start_case long --stall=6:15
sleep 1.5
start_recording "$work/long"
log_says "$work/long.log" 30 "The recording stopped because the EasyCap sent no picture for 10 s" ||
  { cat "$work/long.log"; fail "long stall: the recording did not end with a message"; }
expect_account "15 s stall" "$work/long.log" "$work/long.avi"
end_case long

# --- a damaged stream (one packet in 137 lost): told
start_case damaged --lose-packets=137
log_says "$work/damaged.log" 20 "fields discarded in the last second, none complete" ||
  { cat "$work/damaged.log"; fail "damaged: not told"; }
echo "damaged stream: told ($(grep -m1 'fields discarded' "$work/damaged.log"))"
end_case damaged

# --- the bridge hangs for 4 s: told, tried again, and the picture is back
start_case hang --hang=4:4
log_says "$work/hang.log" 30 "the stick does not answer" || { cat "$work/hang.log"; fail "hang: not told"; }
log_says "$work/hang.log" 30 "trying the stick again" || fail "hang: never tried again"
expect_picture_back hang
echo "hang: told, and the picture came back"
end_case hang

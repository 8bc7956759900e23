#!/usr/bin/env bash
# The real ostrevin binary told by the emulated stick's decoder what the
# signal does: none for a while (told in the log's words of the notice, and
# cleared when it returns), a tape of the other field rate (told), and an
# unattended tape that ends during a recording with --stop-without-signal:
# the recording ends by itself about a minute later, whole, with the blank
# minute in it, and says why. (The window's tests check the notice, the
# switch and the blank fields themselves.)
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../support/x_session.sh"
e2e_session "$@"

# Waits up to $2 seconds for the log $1 to say $3.
log_says() {
  local log=$1 limit=$2 text=$3
  for _ in $(seq $((limit * 10))); do grep -qF "$text" "$log" && return 0; sleep 0.1; done
  return 1
}

end_case() {
  "$x_window" close "$(main_window)"
  wait_exit $pid || fail "$1: the window did not close"
  pid=""
}

# --- no signal from 4 s for 4 s: told on the input in use, then cleared
"$emulator" --no-signal=4:4 -- "$ostrevin" >"$work/none.log" 2>&1 &
pid=$!
main_window >/dev/null || fail "no signal: no main window"
log_says "$work/none.log" 30 "Ostrevin: No signal on Composite" || { cat "$work/none.log"; fail "no signal: not told"; }
log_says "$work/none.log" 30 "Ostrevin: The signal is back on Composite" ||
  { cat "$work/none.log"; fail "no signal: the notice did not clear"; }
echo "no signal: told, and cleared when the signal returned"
end_case "no signal"

# --- a 60 Hz tape with PAL set: told
"$emulator" --tape-rate=60 -- "$ostrevin" --standard pal >"$work/rate.log" 2>&1 &
pid=$!
main_window >/dev/null || fail "other rate: no main window"
log_says "$work/rate.log" 30 "Ostrevin: This tape is 60 Hz (NTSC or PAL-60); Ostrevin is set to PAL" ||
  { cat "$work/rate.log"; fail "other rate: not told"; }
end_case "other rate"
echo "other rate: told"

# --- the tape ends 20 s in; the recording stops a minute later by itself
"$emulator" --no-signal=20:3600 -- "$ostrevin" --record "$work/tape.avi" --stop-without-signal 1m \
  >"$work/tape.log" 2>&1 &
pid=$!
log_says "$work/tape.log" 150 "The recording stopped because there has been no signal for" ||
  { cat "$work/tape.log"; fail "end of tape: the recording did not stop by itself"; }
grep "The recording stopped because\|without a signal" "$work/tape.log"
grep -qE "The recording went 0:0(0:59|1:0[0-2]) without a signal" "$work/tape.log" ||
  fail "end of tape: the account does not say how long there was no signal"
"$x_window" list | grep -q "Ostrevin - recording stopped: no signal for" || fail "end of tape: the title does not say why"
expect_whole "end of tape" "$work/tape.avi"
seconds=$(ffprobe -v error -show_entries format=duration -of csv=p=0 "$work/tape.avi")
# A minute without a signal, and what came before it (less on a slow start).
python3 -c "import sys; s = float(sys.argv[1]); sys.exit(0 if 60 <= s <= 100 else 1)" "$seconds" ||
  fail "end of tape: the file holds $seconds s"
echo "end of tape: stopped by itself, the file whole with $seconds s, the blank minute in it"
end_case "end of tape"

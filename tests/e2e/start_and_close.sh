#!/usr/bin/env bash
# The real ostrevin binary against the emulated stick, under Xvfb, as a
# person meets it: without a stick the message and exit code 1; with one the
# window at PAL size, the stick programmed, and closing it exits 0.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../support/x_session.sh"
e2e_session "$@"

# --- no stick: the message over the visible window, then exit code 1
"$emulator" --no-device -- "$ostrevin" >"$work/nostick.log" 2>&1 &
pid=$!
box=$(wait_window Ostrevin dialog) || fail "no message box"
main=$(wait_window Ostrevin top) || fail "no main window behind the message"
read -r box_id _ box_parent <<<"$box"
read -r main_id _ <<<"$main"
[ "$box_parent" = "$main_id" ] || fail "the message box is not over the main window ($box_parent vs $main_id)"
"$x_window" close "$box_id"
wait_exit $pid || fail "the program did not end after the message"
pid=""
[ $exit_code -eq 1 ] || fail "exit code $exit_code without a stick, expected 1"
echo "no stick: message shown over the window, exit code 1"

# --- with the virtual stick: 768 x 628 (the picture, menus and sound meters), programmed, close exits 0
"$emulator" --log="$work/ops.txt" -- "$ostrevin" >"$work/stick.log" 2>&1 &
pid=$!
main=$(wait_window Ostrevin top) || fail "no main window"
read -r main_id size <<<"$main"
[ "$size" = 768x628 ] || fail "window is $size, expected 768x628"
sleep 1  # let the capture thread program the stick
# The first stream applies the stored preferences, which sets the window's
# flags again, and X gives the window a new id: look it up once more.
main=$(wait_window Ostrevin top) || fail "no main window after the first stream"
read -r main_id size <<<"$main"
"$x_window" close "$main_id"
wait_exit $pid || fail "the window did not close"
pid=""
[ $exit_code -eq 0 ] || { cat "$work/stick.log"; fail "exit code $exit_code after close, expected 0"; }
echo "virtual stick: window 768x628, close exits 0"
[ -s "$work/ops.txt" ] || fail "the emulator wrote no operation log"
grep -c decoder_write "$work/ops.txt" | { read -r n; [ "$n" -ge 54 ] || fail "only $n decoder writes"; }
echo "stick programmed: $(grep -c decoder_write "$work/ops.txt") decoder writes"
grep -q "^set_alternate 0 5 -> 0" "$work/ops.txt" || fail "the streaming alternate setting was never selected"
grep -q "^control 0x40 0x01 0x00b3 0x0100 0 -> 0" "$work/ops.txt" || fail "capture was never enabled"
echo "capture enabled on alternate setting 5"

# --- the window destroyed by another X client: the program ends too
"$emulator" -- "$ostrevin" >"$work/destroyed.log" 2>&1 &
pid=$!
main_window >/dev/null || fail "no main window"
sleep 1
"$x_window" destroy "$(main_window)"
wait_exit $pid || fail "the program ran on without its window"
pid=""
[ $exit_code -eq 0 ] || { cat "$work/destroyed.log"; fail "exit code $exit_code after the window was destroyed"; }
echo "window destroyed from outside: the program ended, exit code 0"

#!/usr/bin/env bash
# The real ostrevin binary against an emulated stick that is there but cannot
# be used, as users meet it on a desktop: each situation has its own message
# (also in the log) and ends with exit code 1, however the message is closed,
# and the stick is left as it was found.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../support/x_session.sh"
e2e_session "$@"

# $1: a name; $2: what the message says; the rest: emulator options.
expect_refusal() {
  local name=$1 text=$2 box box_id
  shift 2
  "$emulator" "$@" --log="$work/$name.ops" -- "$ostrevin" >"$work/$name.log" 2>&1 &
  pid=$!
  box=$(wait_window Ostrevin dialog) || { cat "$work/$name.log"; fail "$name: no message box"; }
  read -r box_id _ <<<"$box"
  "$x_window" close "$box_id"
  wait_exit $pid || fail "$name: the program did not end after the message"
  pid=""
  [ "$exit_code" -eq 1 ] || fail "$name: exit code $exit_code, expected 1"
  grep -qF "$text" "$work/$name.log" || { cat "$work/$name.log"; fail "$name: the message does not say \"$text\""; }
  echo "$name: \"$text\", exit code 1"
}

expect_refusal no_permission "is not allowed to use it" --no-permission
grep -q "^open" "$work/no_permission.ops" && fail "no_permission: the node was opened after all"
expect_refusal in_use "in use by another program" --interface-busy
grep -q "^detach_kernel_driver" "$work/in_use.ops" && fail "in_use: another program's claim was broken"
expect_refusal full_speed "must be plugged in to a USB 2.0 port" --full-speed
expect_refusal streaming "could not start its video stream" --refuse-alternate
# The refused stream leaves the stick with its video driver.
tail -n 2 "$work/streaming.ops" | grep -q "^attach_kernel_driver 0 -> 1" || fail "streaming: the video driver is not back"
expect_refusal configuration "did not accept" --unconfigured --refuse-configuration
expect_refusal interface "did not accept" --refuse-interface
expect_refusal no_stick "could not locate the EasyCap" --no-device

# The message closed from outside in other ways: its window destroyed, the
# main window destroyed behind it, a signal while it is open. The program
# still ends on the error (a signal names itself instead).
for how in destroy_message destroy_window HUP; do
  "$emulator" --interface-busy -- "$ostrevin" >"$work/in_use_$how.log" 2>&1 &
  pid=$!
  box=$(wait_window Ostrevin dialog) || { cat "$work/in_use_$how.log"; fail "in use, $how: no message box"; }
  case $how in
    destroy_message) "$x_window" destroy "${box%% *}" ;;
    destroy_window) "$x_window" destroy "$(main_window)" ;;
    HUP) kill -HUP "$(pgrep -P $pid)" ;;
  esac
  wait_exit $pid 30 || { "$x_window" list; fail "in use, $how: the program did not end"; }
  pid=""
  expected=1
  [ $how = HUP ] && expected=129
  [ "$exit_code" -eq $expected ] || { cat "$work/in_use_$how.log"; fail "in use, $how: exit code $exit_code, expected $expected"; }
  echo "in use, $how: exit code $exit_code"
done
echo "every stick that cannot be used says why"

#!/usr/bin/env bash
# The real ostrevin binary against the emulated stick as a Linux desktop hands
# it over (configured, the video driver on interface 0, the sound driver on 1
# and 2), and as some desktops differ: it streams without configuring the
# stick, gives the video driver its interface back on close and never touches
# the sound interfaces. A close while every transfer times out is prompt.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../support/x_session.sh"
e2e_session "$@"

# Runs the program with the emulator options given, lets it stream, closes
# its window; $1 names the case. The operation log is $work/$1.ops.
run_and_close() {
  local name=$1 main main_id
  shift
  "$emulator" "$@" --log="$work/$name.ops" -- "$ostrevin" >"$work/$name.log" 2>&1 &
  pid=$!
  main=$(wait_window Ostrevin top) || { cat "$work/$name.log"; fail "$name: no main window"; }
  sleep 2  # programmed and streaming; the first stream re-creates the window
  main=$(wait_window Ostrevin top) || fail "$name: no main window after the first stream"
  find_window Ostrevin dialog >/dev/null && { cat "$work/$name.log"; fail "$name: a message box"; }
  read -r main_id _ <<<"$main"
  "$x_window" close "$main_id"
  wait_exit $pid || fail "$name: the window did not close"
  pid=""
  [ "$exit_code" -eq 0 ] || { cat "$work/$name.log"; fail "$name: exit code $exit_code after close"; }
}

# Lines of the log that touch an interface other than the video one.
sound_interface_ops() {
  grep -E "^(claim_interface|release_interface|detach_kernel_driver|attach_kernel_driver) [12] |^set_alternate [12] " "$1"
}

run_and_close desktop
ops=$work/desktop.ops
grep -q "^set_alternate 0 5 -> 0" "$ops" || fail "desktop: never streamed"
grep -q "^set_configuration" "$ops" && fail "desktop: the configured stick was configured again"
[ "$(sed -n 2,3p "$ops" | tr '\n' ' ')" = "detach_kernel_driver 0 -> 0 claim_interface 0 -> 0 " ] ||
  fail "desktop: the video driver was not set aside for the claim: $(sed -n 2,3p "$ops")"
[ "$(tail -n 2 "$ops" | tr '\n' ' ')" = "release_interface 0 -> 0 attach_kernel_driver 0 -> 1 " ] ||
  fail "desktop: the video driver did not get the stick back: $(tail -n 2 "$ops")"
sound_interface_ops "$ops" && fail "desktop: the sound interfaces were touched"
echo "desktop: streamed without configuring, video driver back after close, sound interfaces untouched"

run_and_close no_video_driver --no-video-driver
grep -q "^detach_kernel_driver" "$work/no_video_driver.ops" && fail "no_video_driver: detached a driver"
echo "no video driver: claimed directly"

run_and_close no_sound_driver --no-sound-driver
sound_interface_ops "$work/no_sound_driver.ops" && fail "no_sound_driver: the sound interfaces were touched"
echo "no sound driver: the same open sequence"

run_and_close unconfigured --unconfigured
grep -q "^set_configuration 1 -> 0" "$work/unconfigured.ops" || fail "unconfigured: not configured"
echo "unconfigured: configured, then claimed"

# Every decoder write times out (5 s each, 54 a pass): the close must not
# wait for the pass.
"$emulator" --fail-register=0x200:TIMEOUT -- "$ostrevin" >"$work/timeout.log" 2>&1 &
pid=$!
main_window >/dev/null || fail "timeout: no main window"
sleep 2
start=$(date +%s)
"$x_window" close "$(main_window)"
wait_exit $pid 30 || { cat "$work/timeout.log"; "$x_window" list; fail "timeout: the close waited for the programming pass"; }
pid=""
[ "$exit_code" -eq 0 ] || fail "timeout: exit code $exit_code after close"
echo "timing-out stick: closed in $(($(date +%s) - start)) s"

#!/usr/bin/env bash
# The real ostrevin binary against the emulated stick, under Xvfb with a
# window manager (full screen is the window manager's to grant, as on a
# desktop): F11 fills the screen with the picture at its aspect between black
# bars, the keys still work with the menu bar hidden (Ctrl+S saves the
# picture), and Esc gives the window back its place and size. Before that,
# the sound meters under the picture show the stick's sound.
# Optional 4th argument: where to save the window's screenshot as PNG.
set -uo pipefail
keep_png=${4:+$(realpath -m "$4")}
here=$(cd "$(dirname "$0")" && pwd)
checker=$here/../tools/check_picture.py
source "$here/../support/x_session.sh"
e2e_session "$@"
command -v openbox >/dev/null || fail "openbox is not installed (scripts/install-deps.sh --for-tests)"

openbox >"$work/openbox.log" 2>&1 &
wm=$!
trap '[ -n "$pid" ] && kill $pid 2>/dev/null; kill $wm 2>/dev/null; rm -rf "$work"' EXIT
for _ in $(seq 100); do xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q window && break; sleep 0.1; done

# The client window (the window manager frames it), and its place: "X Y W H".
client() { xwininfo -root -tree 2>/dev/null | awk '/"Ostrevin": \(/ {print $1; exit}'; }
place() {
  xwininfo -id "$1" | awk '/Absolute upper-left X/ {x=$NF} /Absolute upper-left Y/ {y=$NF}
    /^ +Width/ {w=$NF} /^ +Height/ {h=$NF} END {print x, y, w, h}'
}
wait_place() {
  local want=$2
  for _ in $(seq 200); do [ "$(place "$1")" = "$want" ] && return 0; sleep 0.1; done
  echo "the window is at $(place "$1"), not $want" >&2
  return 1
}
screen=$(xwininfo -root | awk '/^ +Width/ {w=$NF} /^ +Height/ {h=$NF} END {print w, h}')

"$emulator" -- "$ostrevin" >"$work/ostrevin.log" 2>&1 &
pid=$!
id=""
for _ in $(seq 200); do id=$(client) && [ -n "$id" ] && break; sleep 0.1; done
[ -n "$id" ] || { cat "$work/ostrevin.log"; fail "no window"; }
sleep 3  # the first stream sets the window's size and flags
id=$(client)
before=$(place "$id")
echo "window: $before"

# Grabs the window into $1.ppm until the checker's remaining arguments
# pass on it (30 tries); prints what it said.
until_checked() {
  local shot=$work/$1.ppm
  shift
  for _ in $(seq 30); do
    "$x_window" grab "$id" "$shot" && python3 "$checker" "$@" >"$shot.check" && { cat "$shot.check"; return 0; }
    sleep 0.3
  done
  cat "$shot.check" >&2
  return 1
}

until_checked window --meters "$work/window.ppm" ${keep_png:+--png "$keep_png"} ||
  { cat "$work/ostrevin.log"; fail "the sound meters under the picture show no sound"; }

"$x_window" keys "$id" F11
wait_place "$id" "0 0 $screen" || fail "F11 did not give the window the whole screen ($screen)"
until_checked full --letterboxed "$work/full.ppm" 4:3 ||
  fail "the full-screen picture is not the test pattern at 4:3 between black bars"

# The menu bar is hidden; its keys work.
"$x_window" keys "$id" ctrl+s
shot=""
for _ in $(seq 100); do shot=$(ls "$HOME"/Pictures/ostrevin-*.png 2>/dev/null | head -1) && [ -n "$shot" ] && break; sleep 0.1; done
[ -n "$shot" ] || { cat "$work/ostrevin.log"; fail "Ctrl+S in full screen saved no picture"; }
size=$(python3 -c 'import struct,sys; d=open(sys.argv[1],"rb").read(24); print("%dx%d" % struct.unpack(">II", d[16:24]))' "$shot")
[ "$size" = 768x576 ] || fail "the saved picture is $size, not 768x576"
echo "saved: $(basename "$shot") $size"

"$x_window" keys "$id" Escape
wait_place "$id" "$before" || fail "Esc did not give the window back its place and size"
echo "back: $(place "$id")"

"$x_window" close "$id"
wait_exit $pid || fail "the window did not close"
pid=""
[ $exit_code -eq 0 ] || { cat "$work/ostrevin.log"; fail "exit code $exit_code after close"; }
echo "full screen as expected"

#!/usr/bin/env bash
# The real ostrevin binary against the emulated stick, under Xvfb: for each
# standard, aspect ratio and display mode stored in the preferences file, the
# window takes the picture's size and shows the stick's test pattern, colour
# bars on top, filling the area below the menu row.
# Optional 4th argument: where to save the first screenshot as PNG.
set -uo pipefail
keep_png=${4:+$(realpath -m "$4")}
here=$(cd "$(dirname "$0")" && pwd)
checker=$here/../tools/check_picture.py
source "$here/../support/x_session.sh"
e2e_session "$@"
# The window: the menu row, the picture, the sound meters' row.
chrome=$((20 + 32))
prefs_dir=$HOME/.local/share/ostrevin
mkdir -p "$prefs_dir"

# Nine bytes: s_video sixty_hz pal_60 widescreen easycap_audio always_on_top
# display_f2 display_interlaced display_field_blended.
write_preferences() {
  local bytes="" b
  for b in "$@"; do bytes+="\\x0$b"; done
  printf "$bytes" >"$prefs_dir/ostrevin_preferences"
}

# Prints the id of the top-level window titled Ostrevin once it is $1 (WxH).
wait_window_size() {
  local want=$1 id size transient name
  for _ in $(seq 200); do
    while read -r id size transient name; do
      [ "$name" = Ostrevin ] && [ "$transient" = 0x0 ] && [ "$size" = "$want" ] && { echo "$id"; return 0; }
    done < <("$x_window" list)
    sleep 0.1
  done
  "$x_window" list >&2
  return 1
}

first_png=$keep_png
# name sixty_hz widescreen f2 interlaced blended picture_w picture_h [mode in the second file]
run_case() {
  local name=$1 sixty=$2 wide=$3 f2=$4 inter=$5 blend=$6 pw=$7 ph=$8 mode=${9:-} id ok=""
  write_preferences 0 "$sixty" 0 "$wide" 1 0 "$f2" "$inter" "$blend"
  rm -f "$prefs_dir/ostrevin.ini"
  [ -z "$mode" ] || printf '[display]\nmode=%s\n' "$mode" >"$prefs_dir/ostrevin.ini"
  "$emulator" -- "$ostrevin" >"$work/$name.log" 2>&1 &
  pid=$!
  id=$(wait_window_size "${pw}x$((ph + chrome))") || { cat "$work/$name.log"; fail "$name: window never reached ${pw}x$((ph + chrome))"; }
  # The stick is programmed and streaming a moment after the window shows.
  for _ in $(seq 30); do
    sleep 0.3
    # The first stream applies the stored preferences and sets the window's
    # flags again, which gives it a new X window: look it up every time.
    id=$(wait_window_size "${pw}x$((ph + chrome))") || continue
    "$x_window" grab "$id" "$work/$name.ppm" || continue
    if python3 "$checker" "$work/$name.ppm" "$pw" "$ph" ${first_png:+--png "$first_png"} >"$work/$name.check"; then
      ok=1
      break
    fi
  done
  [ -n "$ok" ] || { cat "$work/$name.check" "$work/$name.log"; fail "$name: the picture is not the test pattern"; }
  echo "$name: $(cat "$work/$name.check")"
  first_png=""
  "$x_window" close "$id"
  wait_exit $pid || fail "$name: the window did not close"
  pid=""
  [ $exit_code -eq 0 ] || { cat "$work/$name.log"; fail "$name: exit code $exit_code after close"; }
}

run_case pal_4_3_f1                0 0 0 0 0 768 576
run_case ntsc_16_9_f1              1 1 0 0 0 640 360
run_case pal_4_3_interlaced        0 0 0 1 0 768 576
run_case pal_4_3_field_blended     0 0 0 0 1 768 576
run_case ntsc_4_3_f2               1 0 1 0 0 640 480
run_case pal_16_9_f2               0 1 1 0 0 768 432
run_case ntsc_16_9_field_blended   1 1 0 0 1 640 360
run_case ntsc_4_3_interlaced       1 0 0 1 0 640 480
echo "all live pictures as expected"

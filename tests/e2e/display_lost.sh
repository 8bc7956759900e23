#!/usr/bin/env bash
# The real ostrevin binary recording from the emulated stick when its display
# connection is killed (xkill, as an X server that dies or some logouts do):
# the recording is finished before the program ends, indexed and whole
# without a repair and without the note of an unfinished recording, and the
# exit code and a line on stderr say what happened.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../support/x_session.sh"
e2e_session "$@"

file=$work/display.avi
notes="$HOME/.local/share/ostrevin/unfinished recordings"
"$emulator" -- "$ostrevin" --record "$file" >"$work/display.log" 2>&1 &
pid=$!
main=$(main_window) || { cat "$work/display.log"; fail "no main window"; }
# A few frames in the file, and its note written.
for _ in $(seq 600); do
  [ "$(stat -c %s "$file" 2>/dev/null || echo 0)" -gt 3000000 ] && break
  sleep 0.1
done
[ "$(stat -c %s "$file" 2>/dev/null || echo 0)" -gt 3000000 ] || { cat "$work/display.log"; fail "the recording did not grow"; }
ls "$notes"/*.recording >/dev/null 2>&1 || fail "no note of the recording while it runs"

xkill -id "$(main_window)" >/dev/null || fail "xkill failed"
wait_exit $pid 60 || { cat "$work/display.log"; fail "the program did not end after its display connection was killed"; }
pid=""
[ "$exit_code" -eq 1 ] || { cat "$work/display.log"; fail "exit code $exit_code, expected 1"; }
grep -q "^ostrevin: the display connection was lost; the recording $file was finished, whole$" "$work/display.log" ||
  { cat "$work/display.log"; fail "stderr does not say the display connection was lost and the file finished"; }

# Whole as it was left: indexed, every packet decodes, nothing to repair.
ls "$notes"/*.recording >/dev/null 2>&1 && fail "the note of an unfinished recording stayed behind"
seconds=$(ffprobe -v error -show_entries format=duration -of csv=p=0 "$file")
[ -n "$seconds" ] && [ "$seconds" != N/A ] || fail "the file has no length (no index)"
ffmpeg -v error -nostdin -i "$file" -f null - 2>"$work/decode.err" || fail "the file does not decode"
[ -s "$work/decode.err" ] && { cat "$work/decode.err"; fail "decoding reported errors"; }
"$ostrevin" --repair "$file" >"$work/repair.out" || fail "--repair exit code $?"
grep -q "is whole" "$work/repair.out" || fail "--repair: $(cat "$work/repair.out")"
echo "display connection killed: exit code 1, $(cat "$work/repair.out")"

#!/usr/bin/env bash
# The real ostrevin binary recording from the emulated stick when it is ended
# from outside at an awkward moment. Its display connection killed (xkill, as
# an X server that dies or some logouts do): the recording is finished before
# the program ends, indexed and whole without a repair and without the note of
# an unfinished recording, and the exit code and a line on stderr say what
# happened. SIGTERM or SIGHUP while the close's question is open: the file is
# finished and the exit code names the signal.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../support/x_session.sh"
e2e_session "$@"

notes="$HOME/.local/share/ostrevin/unfinished recordings"
file=$work/display.avi
record_from_start "$file"
ls "$notes"/*.recording >/dev/null 2>&1 || fail "no note of the recording while it runs"
xkill -id "$(main_window)" >/dev/null || fail "xkill failed"
wait_exit $pid 60 || { cat "$file.log"; fail "the program did not end after its display connection was killed"; }
pid=""
[ "$exit_code" -eq 1 ] || { cat "$file.log"; fail "display lost: exit code $exit_code, expected 1"; }
grep -q "^ostrevin: the display connection was lost; the recording $file was finished, whole$" "$file.log" ||
  { cat "$file.log"; fail "stderr does not say the display connection was lost and the file finished"; }
# Whole as it was left: indexed, every packet decodes, nothing to repair.
ls "$notes"/*.recording >/dev/null 2>&1 && fail "display lost: the note of an unfinished recording stayed behind"
expect_whole "display lost, exit code 1" "$file"
"$ostrevin" --repair "$file" >"$work/repair.out" || fail "--repair exit code $?"
grep -q "is whole" "$work/repair.out" || fail "display lost: --repair says $(cat "$work/repair.out")"

# SIGTERM or SIGHUP while "Really close Ostrevin?" is open.
for signal in TERM HUP; do
  file=$work/question-$signal.avi
  record_from_start "$file"
  "$x_window" close "$(main_window)"
  wait_window Ostrevin dialog >/dev/null || { cat "$file.log"; fail "$signal: no question at the close"; }
  program=$(pgrep -P $pid) || fail "$signal: the program is not running"
  kill -$signal "$program"
  wait_exit $pid 30 || fail "$signal during the question: the program did not end"
  pid=""
  expected=$((128 + $(kill -l $signal)))
  [ "$exit_code" -eq "$expected" ] ||
    { cat "$file.log"; fail "$signal during the question: exit code $exit_code, expected $expected"; }
  expect_whole "SIG$signal during the question, exit code $exit_code" "$file"
done

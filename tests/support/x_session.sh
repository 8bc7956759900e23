# Shell helpers for the end-to-end tests: the real ostrevin binary against the
# emulated stick under Xvfb, acted on as a person would. Sourced.

# Takes the test's arguments (the ostrevin binary, the emulator, the tests' X
# client) and makes a scratch directory the home and working directory; it
# goes away at exit, with the program $pid names if it still runs.
e2e_session() {
  ostrevin=$(realpath "$1") emulator=$(realpath "$2") x_window=$(realpath "$3")
  work=$(mktemp -d)
  pid=""
  trap '[ -n "$pid" ] && kill $pid 2>/dev/null; rm -rf "$work"' EXIT
  export HOME=$work XDG_RUNTIME_DIR=$work/run
  mkdir -m 700 "$XDG_RUNTIME_DIR"
  cd "$work" || exit 1
}

fail() {
  echo "FAIL: $*"
  exit 1
}

# Prints the id and size of the first window titled $1 that matches the
# transient filter: "top" for a top-level window, "dialog" for one transient
# for another window (then also its parent's id). Fails when there is none.
# "Ostrevin" also finds the main window while its title tells a recording
# ("Ostrevin - recording ...").
find_window() {
  local title=$1 kind=$2 id size transient name
  while read -r id size transient name; do
    [ "$name" = "$title" ] || { [ "$title" = Ostrevin ] && [[ "$name" == "Ostrevin - "* ]]; } || continue
    if [ "$kind" = top ] && [ "$transient" = 0x0 ]; then echo "$id $size"; return 0; fi
    if [ "$kind" = dialog ] && [ "$transient" != 0x0 ]; then echo "$id $size $transient"; return 0; fi
  done < <("$x_window" list)
  return 1
}

# The same, waiting up to 20 s for the window.
wait_window() {
  for _ in $(seq 200); do
    find_window "$@" && return 0
    sleep 0.1
  done
  return 1
}

# Waits up to $2 seconds (default 20) for process $1, a child of this shell,
# to end and sets exit_code; fails if it is still running.
wait_exit() {
  local pid=$1 limit=${2:-20}
  for _ in $(seq $((limit * 10))); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  kill -0 "$pid" 2>/dev/null && return 1
  wait "$pid"
  exit_code=$?
}

# The id of the main window, looked up again (the first stream re-creates it).
main_window() {
  local main
  main=$(wait_window Ostrevin top) || return 1
  echo "${main%% *}"
}

# File -> Set capture file ..., the name $1 typed into the dialog, File ->
# Capture; waits until the file has begun.
start_recording() {
  local name=$1 main_id dialog
  main_id=$(main_window) || fail "no main window"
  "$x_window" keys "$main_id" alt+f f || fail "cannot type"
  dialog=$(wait_window "Set Capture File" dialog) || fail "no file dialog"
  "$x_window" keys "${dialog%% *}" ctrl+a "text:$name" Return
  for _ in $(seq 50); do find_window "Set Capture File" dialog >/dev/null || break; sleep 0.1; done
  "$x_window" keys "$main_id" alt+f c
  for _ in $(seq 100); do [ -s "$name.avi" ] && return 0; sleep 0.1; done
  fail "the recording did not start"
}

# The file $2 is whole: it has a length, and every packet decodes; $1 names
# the case.
expect_whole() {
  local what=$1 file=$2 seconds
  seconds=$(ffprobe -v error -show_entries format=duration -of csv=p=0 "$file")
  [ -n "$seconds" ] && [ "$seconds" != N/A ] || fail "$what: the file has no length (no index)"
  ffmpeg -v error -nostdin -i "$file" -f null - 2>"$work/decode.err" || fail "$what: the file does not decode"
  [ -s "$work/decode.err" ] && { cat "$work/decode.err"; fail "$what: decoding reported errors"; }
  echo "$what: whole file of $seconds s"
}

# Starts the program recording into $1 from the command line, with its
# output in $1.log, and waits until the file holds $2 bytes (default 3 MB);
# sets $pid.
record_from_start() {
  local file=$1 bytes=${2:-3000000}
  "$emulator" -- "$ostrevin" --record "$file" >"$file.log" 2>&1 &
  pid=$!
  for _ in $(seq 600); do
    [ "$(stat -c %s "$file" 2>/dev/null || echo 0)" -gt "$bytes" ] && return 0
    sleep 0.1
  done
  cat "$file.log"
  fail "the recording into $file did not grow"
}

# File -> Stop capture.
stop_recording() {
  "$x_window" keys "$(main_window)" alt+f s
}

#!/usr/bin/env bash
# The paced PAL recording through the window (recording_soak), on an idle
# machine and again with two busy loops (`yes > /dev/null`) holding both
# cores: fields lost, the frames' account, latency, CPU and memory.
#
# Usage: bench/live_path_soak.sh [BUILD_DIR] [SECONDS]   (build, 600)
# BEFORE_BUILD=dir also runs that build's recording_soak the same two ways
# first, for a comparison in one run.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath "${1:-$root/build}")
seconds=${2:-600}

run() {  # build, label, load
  local dir=$1 label=$2 load=$3 pids=()
  [ -x "$dir/bench/recording_soak" ] || { echo "live_path_soak: no $dir/bench/recording_soak" >&2; return 2; }
  echo "=== $label, $([ "$load" = 1 ] && echo "two busy loops holding both cores" || echo "idle machine"), ${seconds} s"
  if [ "$load" = 1 ]; then
    for _ in 1 2; do yes >/dev/null & pids+=($!); done
  fi
  xvfb-run -a -s "-screen 0 1280x1024x24 -noreset" \
    bash "$root/tests/support/with_pulse.sh" "$dir/bench/recording_soak" "$seconds" 2>&1 | grep -v "^  *[0-9]* s: RSS"
  [ ${#pids[@]} -gt 0 ] && kill "${pids[@]}" 2>/dev/null
  wait 2>/dev/null
}

if [ -n "${BEFORE_BUILD:-}" ]; then
  run "$(realpath "$BEFORE_BUILD")" before 0
  run "$(realpath "$BEFORE_BUILD")" before 1
fi
run "$build" after 0
run "$build" after 1

#!/usr/bin/env bash
# Sound against picture over a long recording: the end-to-end A/V check
# (tests/e2e/av_sync.sh) for 10 minutes, PAL, the stick's field clock
# 300 ppm fast. Prints the offset of every sync mark and the summary. A
# benchmark, not run by CTest.
#
# Usage: bench/av_sync_soak.sh [BUILD_DIR]   (default: build)
# Environment: AV_SECONDS (600), AV_CLOCK_PPM (300), AV_SPREAD_LIMIT_MS
# (10; none: only report), AV_KEEP (a path to keep the recording at).
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath "${1:-$root/build}")
for f in ostrevin ostrevin-virtual-stick tests/x_window tests/av_offsets; do
  [ -x "$build/$f" ] || { echo "av_sync_soak: no $build/$f (build first)" >&2; exit 2; }
done
export AV_SECONDS=${AV_SECONDS:-600} AV_CLOCK_PPM=${AV_CLOCK_PPM:-300} AV_SPREAD_LIMIT_MS=${AV_SPREAD_LIMIT_MS:-10}
exec xvfb-run -a -s "-screen 0 1280x1024x24 -noreset" env OSTREVIN_STICK_SOUND=emulated \
  bash "$root/tests/support/with_pulse.sh" \
  bash "$root/tests/e2e/av_sync.sh" "$build/ostrevin" "$build/ostrevin-virtual-stick" "$build/tests/x_window"

#!/usr/bin/env bash
# Sound against picture on a busy computer that loses fields: the end-to-end
# A/V check (tests/e2e/av_sync.sh) for 90 s, PAL, while two busy loops keep
# both cores of a 2-core machine busy and the program's thread that reaps
# the video transfers is held up for 150 ms at random moments, 3 s apart on
# average (the virtual stick's --reaper-stalls). The bus goes on meanwhile,
# so a stall longer than the transfers queued loses fields, and those must
# be repeated in their place: every click's offset stays within 20 ms of the
# first's. Prints the offset of every sync mark, the recording's account and
# the summary. A benchmark, not run by CTest.
#
# Usage: bench/av_sync_stalls.sh [BUILD_DIR]   (default: build)
# Environment: AV_SECONDS (90), AV_CLOCK_PPM (1000), AV_SPREAD_LIMIT_MS (20;
# none: only report), AV_STALL (150:3, as --reaper-stalls=MS:SECONDS),
# AV_BUSY_LOOPS (2), AV_KEEP (a path to keep the recording at).
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath "${1:-$root/build}")
for f in ostrevin ostrevin-virtual-stick tests/x_window tests/av_offsets; do
  [ -x "$build/$f" ] || { echo "av_sync_stalls: no $build/$f (build first)" >&2; exit 2; }
done
export AV_SECONDS=${AV_SECONDS:-90} AV_CLOCK_PPM=${AV_CLOCK_PPM:-1000} AV_SPREAD_LIMIT_MS=${AV_SPREAD_LIMIT_MS:-20}
stall=${AV_STALL:-150:3}

work=$(mktemp -d)
busy=()
cleanup() {
  for pid in "${busy[@]}"; do kill "$pid" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT
# The emulator with the stalls: av_sync.sh starts it with its own options.
cat >"$work/stick" <<EOF
#!/usr/bin/env bash
exec "$build/ostrevin-virtual-stick" --reaper-stalls=$stall "\$@"
EOF
chmod +x "$work/stick"
# The program, its output kept for the figures below.
cat >"$work/ostrevin" <<EOF
#!/usr/bin/env bash
exec "$build/ostrevin" "\$@" 2> >(tee -a "$work/ostrevin.log" >&2)
EOF
chmod +x "$work/ostrevin"

for _ in $(seq "${AV_BUSY_LOOPS:-2}"); do
  yes >/dev/null &
  busy+=($!)
done
echo "av_sync_stalls: ${AV_SECONDS} s, field clock at ${AV_CLOCK_PPM} ppm, reaper stalls $stall (ms:s)," \
  "${#busy[@]} busy loops"
xvfb-run -a -s "-screen 0 1280x1024x24 -noreset" env OSTREVIN_STICK_SOUND=emulated \
  bash "$root/tests/support/with_pulse.sh" \
  bash "$root/tests/e2e/av_sync.sh" "$work/ostrevin" "$work/stick" "$build/tests/x_window" "$build/tests/av_offsets"
status=$?
gaps=$(grep -c 'fields never came' "$work/ostrevin.log")
never=$(grep -o '[0-9]* fields never came' "$work/ostrevin.log" | awk '{ n += $1 } END { print n + 0 }')
echo "capture: $gaps gaps in time, $never fields that never came (numbered past them)"
grep -E "usb_(submit|reap)_async|fields lost|frames stopped coming|repeated in their place|sound (cut|padd)" \
  "$work/ostrevin.log" | tail -n 15
exit $status

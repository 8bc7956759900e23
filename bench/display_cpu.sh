#!/usr/bin/env bash
# What the program itself spends while it shows the virtual stick's PAL
# picture, in each display mode, and while it records in F1.
#
# The CPU is the ostrevin process's own: user + system time read from /proc
# over a stretch of seconds after a settling time, in all and for its GUI
# (main) thread, its render thread ("render"), its capture thread
# ("capture"), its recorder ("recorder") and Mesa's software rasterizer
# ("llvmpipe-N": on this machine the drawing runs on the CPU; a graphics
# card takes it). The emulator, which draws the stick's fields and answers
# its USB requests, is a process of its own and is left out; what crosses
# to it (umockdev's preload forwarding each ioctl, in the capture thread)
# is counted, as the kernel's usbfs would be on a real stick.
#
# Usage: bench/display_cpu.sh [BUILD_DIR] [SECONDS]   (build, 20)
# Needs an X display (run it under xvfb-run -a); with a sound server
# (tests/support/with_pulse.sh) the preview plays the stick's sound too.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath "${1:-$root/build}")
seconds=${2:-20}
settle=5
tick=$(getconf CLK_TCK)
[ -x "$build/ostrevin" ] && [ -x "$build/ostrevin-virtual-stick" ] || {
  echo "display_cpu: no ostrevin or ostrevin-virtual-stick in $build" >&2
  exit 2
}
[ -n "${DISPLAY:-}" ] || {
  echo "display_cpu: no X display; run it under xvfb-run -a" >&2
  exit 2
}

# Ticks of user + system time: the whole process, its main thread ("main"),
# or its threads whose names match the glob $2.
ticks() {  # pid [main | thread name glob]
  local pid=$1 name=${2:-} sum=0 task stat comm
  if [ -z "$name" ] || [ "$name" = main ]; then
    # The process, or its main thread (the GUI thread).
    read -r -a stat <"/proc/$pid/$([ "$name" = main ] && echo "task/$pid/")stat" || return 1
    echo $((stat[13] + stat[14]))
    return
  fi
  for task in /proc/"$pid"/task/*; do
    comm=$(cat "$task/comm" 2>/dev/null)
    # shellcheck disable=SC2053  # a glob, on purpose
    [[ $comm == $name ]] || continue
    read -r -a stat <"$task/stat" || continue
    sum=$((sum + stat[13] + stat[14]))
  done
  echo "$sum"
}

# ms of CPU per second of running, from two tick counts.
per_second() { awk -v a="$1" -v b="$2" -v t="$tick" -v s="$seconds" 'BEGIN { printf "%6.1f", (b - a) * 1000 / t / s }'; }

measure() {  # label mode [ostrevin arguments...]
  local label=$1 mode=$2 home pid emulator before=() after=()
  shift 2
  home=$(mktemp -d)
  mkdir -p "$home/.local/share/ostrevin"
  printf '\0\0\0\0\1\0\0\0\0' >"$home/.local/share/ostrevin/ostrevin_preferences"  # PAL, Composite, 4:3, F1
  printf '[display]\nmode=%s\n' "$mode" >"$home/.local/share/ostrevin/ostrevin.ini"
  HOME=$home XDG_DATA_HOME=$home/.local/share "$build/ostrevin-virtual-stick" -- "$build/ostrevin" "$@" \
    >"$home/run.log" 2>&1 &
  emulator=$!
  pid=""
  for _ in $(seq 100); do
    pid=$(pgrep -P "$emulator" -x ostrevin || true)
    [ -n "$pid" ] && break
    sleep 0.1
  done
  if [ -z "$pid" ]; then
    echo "display_cpu: $label: the program did not start" >&2
    kill "$emulator" 2>/dev/null
    wait "$emulator" 2>/dev/null
    rm -rf "$home"
    return 1
  fi
  sleep "$settle"
  for who in "" main render capture recorder "llvmpipe-*"; do before+=("$(ticks "$pid" "$who")"); done
  sleep "$seconds"
  for who in "" main render capture recorder "llvmpipe-*"; do after+=("$(ticks "$pid" "$who")"); done
  printf '%-24s' "$label"
  for i in 0 1 2 3 4 5; do printf ' %s' "$(per_second "${before[i]}" "${after[i]}")"; done
  printf '\n'
  kill -TERM "$pid" 2>/dev/null
  wait "$emulator" 2>/dev/null
  rm -rf "$home"
}

echo "# $build, PAL 4:3 at 768x576, $seconds s each after $settle s; ms of CPU per second"
printf '%-24s %6s %6s %6s %6s %6s %6s\n' "case" "all" "GUI" "render" "capture" "record" "llvmpipe"
for mode in f1 f2 interlaced field_blended deinterlaced; do measure "preview, $mode" "$mode"; done
recording=$(mktemp -d)
measure "recording, f1" f1 --record "$recording/bench.avi" --stop-after "$((settle + seconds + 30))s"
rm -rf "$recording"

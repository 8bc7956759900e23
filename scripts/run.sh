#!/usr/bin/env bash
# Installs what Ostrevin needs, builds it and starts it.
#   scripts/run.sh             with a real stick plugged in
#   scripts/run.sh --virtual   against the virtual stick (no hardware needed)
# Further arguments after --virtual go to the emulator (see its --help).
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "${OSTREVIN_SKIP_INSTALL:-0}" != 1 ]; then bash scripts/install-deps.sh; fi
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)"
if [ "${1:-}" = "--virtual" ]; then
  shift
  exec ./build/ostrevin-virtual-stick "$@" -- ./build/ostrevin
fi
exec ./build/ostrevin

#!/usr/bin/env bash
# Runs every test: the whole suite, then again under AddressSanitizer with
# UndefinedBehaviorSanitizer, then the threaded tests under ThreadSanitizer.
# Installs what it needs first (set OSTREVIN_SKIP_INSTALL=1 to skip that).
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)
if [ "${OSTREVIN_SKIP_INSTALL:-0}" != 1 ]; then bash scripts/install-deps.sh; fi
jobs=$(nproc)

build() {
  local dir=$1
  shift
  cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
  cmake --build "$dir" -j"$jobs"
}

echo "== tests"
build build -DCMAKE_BUILD_TYPE=RelWithDebInfo
(cd build && ctest --output-on-failure -j1)

echo "== tests under AddressSanitizer + UndefinedBehaviorSanitizer"
build build-asan -DCMAKE_BUILD_TYPE=Debug -DOSTREVIN_SANITIZE=address -DOSTREVIN_BENCH=OFF
(cd build-asan &&
  ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:halt_on_error=1" \
  LSAN_OPTIONS="suppressions=$top/tests/lsan.supp:print_suppressions=0" \
  UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
  ctest --output-on-failure -j1 -LE e2e)

echo "== threaded tests under ThreadSanitizer"
build build-tsan -DCMAKE_BUILD_TYPE=Debug -DOSTREVIN_SANITIZE=thread -DOSTREVIN_BENCH=OFF
(cd build-tsan &&
  TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$top/tests/tsan.supp" \
  ctest --output-on-failure -j1 -L threaded)

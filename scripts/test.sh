#!/usr/bin/env bash
# Runs every test: the whole suite, then again under AddressSanitizer with
# UndefinedBehaviorSanitizer, then the threaded tests under ThreadSanitizer.
# Installs what it needs first (set OSTREVIN_SKIP_INSTALL=1 to skip that).
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)
if [ "${OSTREVIN_SKIP_INSTALL:-0}" != 1 ]; then bash scripts/install-deps.sh --for-tests; fi
jobs=$(nproc)

build() {
  local dir=$1
  shift
  cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
  cmake --build "$dir" -j"$jobs"
}

echo "== formatting"
bash scripts/check-format.sh

echo "== fuzzing the field assembler (bounded)"
mkdir -p build/fuzz-corpus
clang++ -std=c++20 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined -I. \
  tests/fuzz/field_assembler_fuzz.cpp capture/field_assembler.cpp -o build/field_assembler_fuzz
build/field_assembler_fuzz -max_total_time="${OSTREVIN_FUZZ_SECONDS:-60}" -print_final_stats=1 \
  build/fuzz-corpus 2>&1 | tail -n 12

echo "== fuzzing the preferences reader (bounded)"
mkdir -p build/preferences-corpus
clang++ -std=c++20 -O1 -g -fPIC -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined -I. \
  tests/fuzz/preferences_fuzz.cpp app/preference_set.cpp $(pkg-config --cflags --libs Qt6Core) \
  -o build/preferences_fuzz
build/preferences_fuzz -max_total_time="${OSTREVIN_PREFERENCES_FUZZ_SECONDS:-15}" -print_final_stats=1 \
  build/preferences-corpus 2>&1 | tail -n 4

echo "== tests"
build build -DCMAKE_BUILD_TYPE=RelWithDebInfo
(cd build && ctest --output-on-failure -j1)

echo "== the Debian package, installed and run"
# cpack from build/, apt-get install (OSTREVIN_SKIP_PACKAGE_INSTALL=1: the
# package file only), the installed program's checks, removed afterwards.
bash tests/packaging/installed_package.sh build

# Slow end-to-end cases inside the test binaries, run in the plain pass only
# (a test's own --gtest_filter takes precedence over this).
once_only="-disk_space.*:minute_free.*"

echo "== tests under AddressSanitizer + UndefinedBehaviorSanitizer"
build build-asan -DCMAKE_BUILD_TYPE=Debug -DOSTREVIN_SANITIZE=address -DOSTREVIN_BENCH=OFF
(cd build-asan &&
  ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:halt_on_error=1" \
  LSAN_OPTIONS="suppressions=$top/tests/lsan.supp:print_suppressions=0" \
  UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
  GTEST_FILTER="$once_only" ctest --output-on-failure -j1 -LE e2e)

echo "== threaded tests under ThreadSanitizer"
# die_after_fork=0: tests start pactl, parec and ffprobe, whose children exec at once.
# The live path's stalls and 5 s freeze are a test of keeping up with the stick in
# real time, which this build cannot on a loaded 2-core machine (it falls
# behind by more than the recording's slots hold without any stall); the
# live path's threads are run here by its other case, and the stall in the
# plain and AddressSanitizer passes.
real_time_only="live_path.a_window_that_stalls_or_freezes_and_a_writer_that_stalls_lose_no_field"
build build-tsan -DCMAKE_BUILD_TYPE=Debug -DOSTREVIN_SANITIZE=thread -DOSTREVIN_BENCH=OFF
(cd build-tsan &&
  TSAN_OPTIONS="halt_on_error=1:die_after_fork=0:second_deadlock_stack=1:suppressions=$top/tests/tsan.supp" \
  GTEST_FILTER="$once_only:$real_time_only" ctest --output-on-failure -j1 -L threaded)

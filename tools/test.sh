#!/usr/bin/env bash
# Builds everything and runs the whole test suite twice: a normal build (whose Debian
# packages are then installed and removed on this machine, when run as root), then a
# second build under AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/deps.sh

jobs=$(nproc)
export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export LSAN_OPTIONS=suppressions=$PWD/tools/lsan.supp:print_suppressions=0

echo "== Release build (RelWithDebInfo) and tests"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build
ctest --test-dir build --output-on-failure -j "$jobs"

echo "== Debian packages of that build: install, run, remove, purge (as root only)"
tools/package-test.sh build

echo "== AddressSanitizer + UndefinedBehaviorSanitizer build and tests"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DHOSP_SANITIZE=ON -DHOSP_BUILD_BENCH=OFF
cmake --build build-asan
ctest --test-dir build-asan --output-on-failure -j "$jobs"

if [ -x tools/fuzz.sh ] && command -v clang++ >/dev/null; then
  echo "== Short fuzz runs"
  tools/fuzz.sh --short
fi
echo "All tests passed."

#!/usr/bin/env bash
# Runs one whole client session (start, login, refresh, approve, close) offscreen against a
# fresh hospd and reports any leak of ours; leaks inside system libraries are suppressed
# (tools/lsan.supp, tools/valgrind.supp).
#   tools/leakcheck.sh [--lsan]     under LeakSanitizer, in the sanitizer build build-asan
#   tools/leakcheck.sh --valgrind   under valgrind --leak-check=full, in the plain build build
# HOSP_LEAKCHECK_BUILD names another build folder.
set -euo pipefail
cd "$(dirname "$0")/.."

usage() {
  sed -n '2,8p' "$0" >&2
  exit 2
}

mode=${1:---lsan}
case "$mode" in
  --lsan) build=${HOSP_LEAKCHECK_BUILD:-build-asan}; sanitize=ON ;;
  --valgrind) build=${HOSP_LEAKCHECK_BUILD:-build}; sanitize=OFF ;;
  *) usage ;;
esac

export QT_QPA_PLATFORM=offscreen
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DHOSP_SANITIZE=$sanitize \
    -DHOSP_BUILD_BENCH=OFF >/dev/null
fi
cmake --build "$build" --target LeakSessionTest hospd

session=("$build/tests/app/LeakSessionTest")
log=$(mktemp)
trap 'rm -f "$log"' EXIT

echo "== Client session under ${mode#--}"
if [ "$mode" = --lsan ]; then
  if ! ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
      LSAN_OPTIONS=suppressions=$PWD/tools/lsan.supp:print_suppressions=1 \
      "${session[@]}" >"$log" 2>&1; then
    cat "$log"
    echo "leakcheck: the session failed or leaked (see above)" >&2
    exit 1
  fi
  # A clean run prints no report; the suppressed leaks, if any, are listed for the record.
  grep -A20 "Suppressions used" "$log" || echo "no leak at all, nothing suppressed"
else
  if ! valgrind --leak-check=full --show-leak-kinds=definite,indirect \
      --errors-for-leak-kinds=definite,indirect --error-exitcode=99 --num-callers=40 \
      --suppressions=tools/valgrind.supp "${session[@]}" >"$log" 2>&1; then
    cat "$log"
    echo "leakcheck: the session failed or leaked (see above)" >&2
    exit 1
  fi
  grep -E "definitely lost|indirectly lost|possibly lost|still reachable|suppressed:" "$log"
fi
grep -E "^\[  (PASSED|FAILED)" "$log"
echo "leakcheck: no leak of ours"

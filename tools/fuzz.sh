#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in build-fuzz and runs each on its seed corpus.
#   tools/fuzz.sh --short            a few seconds per target (part of tools/test.sh)
#   tools/fuzz.sh --long [SECONDS]   SECONDS per target (default 600), one target after another
#   tools/fuzz.sh --long SECONDS --parallel
#                                    all targets at once, at low priority
# New inputs are kept in build-fuzz/corpus/<target>; findings go to build-fuzz/findings/ and
# fail the run. The seed corpora under tests/fuzz/corpus are only read.
set -euo pipefail
cd "$(dirname "$0")/.."

usage() {
  sed -n '2,8p' "$0" >&2
  exit 2
}

mode=${1:-}
seconds=5
parallel=0
case "$mode" in
  --short) ;;
  --long)
    seconds=${2:-600}
    [[ "$seconds" =~ ^[0-9]+$ ]] || usage
    [ "${3:-}" = "--parallel" ] && parallel=1
    ;;
  *) usage ;;
esac

build="build-fuzz"
# Target, seed folder under tests/fuzz/corpus.
targets=(
  "json_reader_fuzz json"
  "json_differential_fuzz json"
  "comma_text_fuzz comma_text"
  "answer_reader_fuzz answer_reader"
  "data_server_fuzz data_server"
  "function_server_fuzz function_server"
)
names=()
for entry in "${targets[@]}"; do names+=("${entry%% *}"); done

echo "== Building the fuzz targets in $build"
if [ ! -f "$build/CMakeCache.txt" ]; then
  CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DHOSP_BUILD_FUZZ=ON -DHOSP_BUILD_APP=OFF -DHOSP_BUILD_BENCH=OFF >/dev/null
fi
cmake --build "$build" --target "${names[@]}"

# The server targets keep their demo folder in memory where they can; this run's folder goes
# away with it, also after a finding.
scratch_root=/tmp
[ -d /dev/shm ] && scratch_root=/dev/shm
scratch=$(mktemp -d "$scratch_root/hosp-fuzz-run.XXXXXX")
trap 'rm -rf "$scratch"' EXIT

mkdir -p "$build/findings" "$build/logs"

# Runs one target; prints one summary line, or the end of its log on a finding.
run_target() {
  local name=$1 seeds=tests/fuzz/corpus/$2 dict_name=${2}
  local work=$build/corpus/$name log=$build/logs/$name.log
  local options=(-max_total_time="$seconds" -timeout=30 -rss_limit_mb=2048 -max_len=65536
                 -print_final_stats=1 -artifact_prefix="$build/findings/$name-")
  [ -f "tests/fuzz/dict/$dict_name.dict" ] && options+=(-dict="tests/fuzz/dict/$dict_name.dict")
  mkdir -p "$work" "$scratch/$name"
  if TMPDIR="$scratch/$name" "$build/tests/fuzz/$name" "${options[@]}" "$work" "$seeds" \
      >"$log" 2>&1; then
    local runs
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    printf '%-22s %8s runs in %ss, no finding\n' "$name" "${runs:-?}" "$seconds"
  else
    echo "$name: FINDING (log $log, input in $build/findings/)" >&2
    tail -40 "$log" >&2
    return 1
  fi
}

echo "== Fuzzing, ${seconds}s per target"
status=0
if [ "$parallel" -eq 1 ]; then
  export build seconds scratch
  export -f run_target
  pids=()
  for entry in "${targets[@]}"; do
    # shellcheck disable=SC2086  # two words: target and seed folder
    nice -n 19 bash -c 'run_target "$@"' run_target $entry &
    pids+=($!)
  done
  for pid in "${pids[@]}"; do wait "$pid" || status=1; done
else
  for entry in "${targets[@]}"; do
    # shellcheck disable=SC2086  # two words: target and seed folder
    run_target $entry || status=1
  done
fi
exit $status

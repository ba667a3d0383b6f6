#!/usr/bin/env bash
# Runs every fuzz target (or the ones named) under libFuzzer with AddressSanitizer and UBSan for
# SECONDS each, starting from its seeds in tests/fuzz-seeds/<Target>/ and from what earlier runs
# kept in <build>/corpus/<Target>/. A crash, leak, sanitizer report or broken property fails the
# run and leaves the input in <build>/crashes/<Target>/: copy it into tests/fuzz-seeds/<Target>/
# as crash-<what> so that every test run replays it.
#   fuzz/run.sh SECONDS [Target...]
# Environment: FUZZ_BUILD_DIR (default build-fuzz), JOBS (compile jobs, default 2), CXX (a
# clang++; default clang++, else clang++-14).
set -euo pipefail
cd "$(dirname "$0")/.."

if [ $# -lt 1 ] || ! [[ "$1" =~ ^[0-9]+$ ]] || [ "$1" -lt 1 ]; then
  echo "usage: fuzz/run.sh SECONDS [Target...]" >&2
  exit 2
fi
seconds=$1
shift
build=${FUZZ_BUILD_DIR:-build-fuzz}
jobs=${JOBS:-2}
compiler=${CXX:-}
if [ -z "$compiler" ]; then
  compiler=clang++
  command -v clang++ >/dev/null 2>&1 || compiler=clang++-14
fi

cmake -S . -B "$build" -DCMAKE_CXX_COMPILER="$compiler" -DCMAKE_BUILD_TYPE=Release \
      -DVELDORAN_WERROR=ON -DVELDORAN_BUILD_FUZZ=ON -DVELDORAN_BUILD_TESTS=OFF \
      -DVELDORAN_BUILD_BENCH=OFF >/dev/null
if [ $# -gt 0 ]; then
  targets=("$@")
else
  targets=()
  for source in fuzz/*.cpp; do
    targets+=("$(basename "$source" .cpp)")
  done
fi
cmake --build "$build" -j "$jobs" --target "${targets[@]}"

failed=()
printf '%-20s %8s %12s %10s\n' target seconds executions "exec/s"
for target in "${targets[@]}"; do
  corpus="$build/corpus/$target"
  crashes="$build/crashes/$target"
  log="$build/logs/$target.log"
  mkdir -p "$corpus" "$crashes" "$(dirname "$log")"
  start=$(date +%s)
  status=0
  ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1} \
    "$build/fuzz/$target" -max_total_time="$seconds" -timeout=30 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$crashes/" "$corpus" "tests/fuzz-seeds/$target" \
    >"$log" 2>&1 || status=$?
  elapsed=$(( $(date +%s) - start ))
  executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  printf '%-20s %8s %12s %10s\n' "$target" "$elapsed" "${executions:-?}" "${rate:-?}"
  if [ "$status" -ne 0 ]; then
    failed+=("$target")
    echo "--- $target failed (status $status); end of $log:" >&2
    tail -n 40 "$log" >&2
    echo "--- inputs kept in $crashes/:" >&2
    ls "$crashes" >&2
  fi
done
if [ ${#failed[@]} -ne 0 ]; then
  echo "fuzz: findings in ${failed[*]}" >&2
  exit 1
fi

#!/usr/bin/env bash
# Runs the Google Benchmark program; each figure sits beside a memcpy of the same size.
set -euo pipefail
build_dir=${1:-build}
if [ -x "$build_dir/bench/veldoran_bench" ]; then
  "$build_dir/bench/veldoran_bench" --benchmark_counters_tabular=true
else
  echo "no benchmarks built"
fi
if [ -x "$build_dir/bench/veldoran_attachment_bench" ]; then
  "$build_dir/bench/veldoran_attachment_bench" --benchmark_counters_tabular=true
fi

#!/usr/bin/env bash
# Builds the benchmarks in Release and runs them all.
#   scripts/bench.sh            full runs (median of 5 repetitions each)
#   scripts/bench.sh --brief    each once, briefly, to check that they work (CI)
# Each benchmark runs in a fresh process. Where wall and CPU time are noisy
# (a shared machine), scripts/bench-callgrind.sh counts instructions.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DCOIL_BENCH=ON -DCOIL_TESTS=OFF >/dev/null
cmake --build build-bench -j "$(nproc 2>/dev/null || echo 2)"

args=(--benchmark_repetitions=5 --benchmark_report_aggregates_only=true)
if [[ "${1:-}" == "--brief" ]]; then
    args=(--benchmark_min_time=0.01)
fi
# Every benchmark in a process of its own, so none runs on the state or the
# caches another one left.
for bench in build-bench/bench/bench_*; do
    [[ -x "$bench" ]] || continue
    for name in $("$bench" --benchmark_list_tests); do
        echo "=== $(basename "$bench") $name"
        "$bench" --benchmark_filter="^${name}\$" "${args[@]}"
    done
done

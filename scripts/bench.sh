#!/usr/bin/env bash
# Builds the benchmarks (optimized, without tests) into build-bench/ and runs
# them: the native engine, libntfs-3g and the filesystem family side by side,
# then the formatter against mkntfs. Ends with a table of time and heap peak per
# workload, warm (one process) and then cold (a fresh process per measurement).
# --quick shrinks every workload for a smoke run; --warm-only, --cold-only and
# --cold-filter=TEXT pick views and cold rows; other arguments go to Google
# Benchmark (e.g. --benchmark_filter=enumerate). --mount [--quick]
# times volkit mount beside an ntfs-3g mount instead (scripts/bench_mount.sh).
set -euo pipefail
cd "$(dirname "$0")/.."

if [[ "${1:-}" == --mount ]]; then
  shift
  cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DVOLKIT_BUILD_TESTS=OFF -DVOLKIT_BUILD_BENCH=ON >/dev/null
  cmake --build build-bench -j "$(nproc 2>/dev/null || echo 2)" --target volkit_tool
  exec scripts/bench_mount.sh "$@"
fi

if [[ "${1:-}" == --quick ]]; then
  export VOLKIT_BENCH_QUICK=1
  shift
fi
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DVOLKIT_BUILD_TESTS=OFF -DVOLKIT_BUILD_BENCH=ON >/dev/null
cmake --build build-bench -j "$(nproc 2>/dev/null || echo 2)" --target volkit_bench volkit_tool
build-bench/bench/volkit_bench "$@"

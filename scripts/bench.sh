#!/usr/bin/env bash
# Builds and runs the benchmarks and prints their figures.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh -DKORVEX_BENCH=ON
for b in build/bench/bench_*; do
  [ -x "$b" ] || continue
  echo "== $(basename "$b")"
  "$b" 2>/dev/null || echo "(failed: $b)"
done
echo "== process_times.py"
python3 bench/process_times.py || echo "(failed: process_times.py)"
echo "== bench_soak at the real line rate"
build/bench/bench_soak --chips 100000 --interval-ms 5 --baud 1000000 2>/dev/null || echo "(failed: bench_soak paced)"

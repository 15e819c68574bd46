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
echo "== bench_station with 128 event-stream clients (as many as the station serves at once)"
build/bench/bench_station --parts c --clients 128 2>/dev/null || echo "(failed: bench_station 128 clients)"

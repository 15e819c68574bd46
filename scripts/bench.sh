#!/usr/bin/env bash
# Builds and runs the benchmarks and prints their figures.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh
for b in build/bench/bench_*; do
  [ -x "$b" ] || continue
  echo "== $(basename "$b")"
  "$b" 2>/dev/null || echo "(failed: $b)"
done

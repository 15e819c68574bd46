#!/usr/bin/env bash
# Installs what is needed, builds, and runs every test: the core and the
# window, both again under AddressSanitizer and UndefinedBehaviorSanitizer,
# the threaded serial tests under ThreadSanitizer, and every fuzz target for a
# short time (KORVEX_FUZZ_SECONDS each, 15 by default). The benchmarks are
# not built here (scripts/bench.sh builds and runs them), to keep a whole
# run on a fresh 2-core machine well under half an hour.
# KORVEX_QUICK=1 skips the sanitizer builds and the fuzzing.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh -DKORVEX_BENCH=OFF

if [ "${KORVEX_QUICK:-0}" != "1" ]; then
  echo "== AddressSanitizer + UndefinedBehaviorSanitizer"
  cmake -S . -B build-asan -G Ninja -DKORVEX_SANITIZE=ON -DKORVEX_BENCH=OFF > build-asan.log 2>&1 \
    || { cat build-asan.log; exit 1; }
  cmake --build build-asan -j2 --target core_tests gui_tests >> build-asan.log 2>&1 || { tail -50 build-asan.log; exit 1; }
  (cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ctest --output-on-failure)

  if ls tests/serial/*.cpp > /dev/null 2>&1; then
    echo "== ThreadSanitizer (serial transport)"
    cmake -S . -B build-tsan -G Ninja -DKORVEX_TSAN=ON -DKORVEX_GUI=OFF -DKORVEX_BENCH=OFF > build-tsan.log 2>&1 \
      || { cat build-tsan.log; exit 1; }
    cmake --build build-tsan -j2 --target core_tests_serial >> build-tsan.log 2>&1 || { tail -50 build-tsan.log; exit 1; }
    TSAN_OPTIONS=halt_on_error=1 build-tsan/tests/core_tests_serial --gtest_brief=1
  fi
fi

echo "== Tests"
cd build
# The tests run against real pseudo-terminals and timers; on a loaded machine
# a test binary that fails is run once more before the run counts as failed.
QT_QPA_PLATFORM=offscreen ctest --output-on-failure --repeat until-pass:2
cd ..

if [ "${KORVEX_QUICK:-0}" != "1" ]; then
  echo "== Fuzzing"
  scripts/fuzz.sh "${KORVEX_FUZZ_SECONDS:-15}"
fi

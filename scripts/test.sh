#!/usr/bin/env bash
# Installs what is needed, builds, and runs every test once, by name:
#   build/        the plain tree: every GoogleTest case and every window test
#                 function is a ctest test of its own, with the package, the
#                 manual pages, the udev rule and the bash completion;
#   build-asan/   the same tests under AddressSanitizer and
#                 UndefinedBehaviorSanitizer;
#   build-tsan/   the threaded parts (serial transport, record writer and
#                 forwarder) under ThreadSanitizer;
#   build-fuzz/   every fuzz target for KORVEX_FUZZ_SECONDS (15 by default),
#                 two at a time.
# No test is run again when it fails. The tests wait on pseudo-terminals and
# timers more than they compute, so each tree's tests run while the next tree
# builds, and ctest runs KORVEX_TEST_JOBS (3) tests at once.
# KORVEX_QUICK=1 builds and tests the plain tree only. The benchmarks are not
# built here (scripts/bench.sh builds and runs them).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
JOBS=${KORVEX_TEST_JOBS:-3}
QUICK=${KORVEX_QUICK:-0}
start=$SECONDS

# configure DIR ARGS...: a tree of its own, its output in DIR.log.
configure() {
  local dir=$1
  shift
  cmake -S . -B "$dir" -G Ninja -DKORVEX_BENCH=OFF "$@" > "$dir.log" 2>&1 || { cat "$dir.log"; return 1; }
}
# build DIR [TARGETS...]
build() {
  local dir=$1
  shift
  local targets=()
  [ $# -gt 0 ] && targets=(--target "$@")
  cmake --build "$dir" -j2 "${targets[@]}" >> "$dir.log" 2>&1 ||
    { grep -E 'error|Error' -A3 "$dir.log" | head -80; return 1; }
}
# tests DIR [ENV...]: every ctest test of the tree, each once.
tests() {
  local dir=$1
  shift
  echo "== Tests in $dir ($((SECONDS - start)) s)"
  (cd "$dir" && env QT_QPA_PLATFORM=offscreen "$@" ctest -j"$JOBS" --output-on-failure --timeout 600)
}
# Waits for a background step; its failure ends the run.
finish() {
  wait "$1" || { echo "== $2 failed"; exit 1; }
}

echo "== Building build/"
scripts/build.sh -DKORVEX_BENCH=OFF

if [ "$QUICK" = "1" ]; then
  tests build
  exit 0
fi

echo "== Building build-asan/ while the plain tree's tests run"
# Optimised a little and with line tables only: it compiles in half the time
# of -O2 -g, and the reports still name file and line.
(configure build-asan -DKORVEX_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g1" &&
  build build-asan core_tests gui_tests) &
asan=$!
tests build
finish $asan "the AddressSanitizer build"

echo "== Building build-tsan/ and the fuzz targets while the sanitizer tests run"
(configure build-tsan -DKORVEX_TSAN=ON -DKORVEX_GUI=OFF -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g1" &&
  build build-tsan core_tests_serial core_tests_records && scripts/fuzz.sh 0 > build-fuzz.log 2>&1) &
tsan=$!
tests build-asan ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1
finish $tsan "the ThreadSanitizer or the fuzz build (build-tsan.log, build-fuzz.log)"

echo "== ThreadSanitizer: serial transport, record writer and forwarder ($((SECONDS - start)) s)"
for t in serial records; do
  TSAN_OPTIONS=halt_on_error=1 build-tsan/tests/core_tests_$t --gtest_brief=1
done

echo "== Fuzzing ($((SECONDS - start)) s)"
scripts/fuzz.sh "${KORVEX_FUZZ_SECONDS:-15}"
echo "== All tests passed in $((SECONDS - start)) s"

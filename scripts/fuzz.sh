#!/usr/bin/env bash
# Builds the libFuzzer targets with clang into build-fuzz/ and runs each for
# SECONDS (default 30) over a working copy of its seed corpus:
#     scripts/fuzz.sh [SECONDS] [TARGET...]
# TARGET is hex, srec, bin, project, firmware, frames, device, int or logcfg
# (all when none is named). The committed seeds in fuzz/corpus/<target> are
# copied into build-fuzz/corpus-run/<target>, which keeps what earlier runs
# found; crash, leak and time-out inputs go to build-fuzz/artifacts/<target>/.
# Prints the executions per second and the executions of every target and
# exits non-zero when a target failed, naming the input that shows it.
# Two targets run at a time (KORVEX_FUZZ_JOBS), one core each. SECONDS 0
# only builds them.
set -uo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
BUILD=$ROOT/build-fuzz

SECONDS_EACH=30
if [ $# -gt 0 ] && [[ $1 =~ ^[0-9]+$ ]]; then
  SECONDS_EACH=$1
  shift
fi
ALL=(hex srec bin project firmware frames device int logcfg)
TARGETS=("$@")
[ ${#TARGETS[@]} -eq 0 ] && TARGETS=("${ALL[@]}")
for t in "${TARGETS[@]}"; do
  [[ " ${ALL[*]} " == *" $t "* ]] || { echo "unknown target: $t (one of: ${ALL[*]})" >&2; exit 2; }
done

# Largest input per target: room for the longest frames, runs and files the
# target is about; short for the number parser.
max_len() {
  case $1 in
    frames) echo 40000 ;;
    device) echo 20000 ;;
    firmware) echo 16384 ;;
    project) echo 12000 ;;
    int) echo 64 ;;
    logcfg) echo 2048 ;;
    *) echo 8192 ;;
  esac
}

# clang and its libFuzzer runtime.
have_fuzzer() {
  command -v clang >/dev/null && command -v clang++ >/dev/null &&
    compgen -G "/usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-*.a" >/dev/null
}
if ! have_fuzzer; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO=sudo
  echo "Installing clang and libclang-rt-14-dev"
  $SUDO apt-get update -qq || exit 1
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends clang libclang-rt-14-dev || exit 1
  have_fuzzer || { echo "clang's libFuzzer runtime is still missing" >&2; exit 1; }
fi

mkdir -p "$BUILD"
echo "Building the fuzz targets in $BUILD"
CC=clang CXX=clang++ cmake -S "$ROOT" -B "$BUILD" -G Ninja -DKORVEX_FUZZ=ON -DKORVEX_GUI=OFF -DKORVEX_TESTS=OFF \
  -DKORVEX_BENCH=OFF > "$BUILD/build.log" 2>&1 || { cat "$BUILD/build.log"; exit 1; }
build_targets=()
for t in "${TARGETS[@]}"; do build_targets+=("fuzz_$t"); done
cmake --build "$BUILD" -j2 --target "${build_targets[@]}" >> "$BUILD/build.log" 2>&1 ||
  { grep -E 'error|Error' -A3 "$BUILD/build.log" | head -80; exit 1; }

[ "$SECONDS_EACH" = "0" ] && exit 0

# run_target T: fuzzes T, then writes its summary line to $BUILD/fuzz-T.line
# and exits non-zero when it failed.
run_target() {
  local t=$1
  local corpus=$BUILD/corpus-run/$t
  local artifacts=$BUILD/artifacts/$t
  mkdir -p "$corpus" "$artifacts"
  [ -d "$ROOT/fuzz/corpus/$t" ] && cp -f "$ROOT/fuzz/corpus/$t"/* "$corpus"/ 2>/dev/null
  local log=$BUILD/fuzz-$t.log
  echo "== fuzz_$t: ${SECONDS_EACH} s, corpus $corpus"
  "$BUILD/fuzz/fuzz_$t" -max_total_time="$SECONDS_EACH" -rss_limit_mb=2048 -timeout=25 \
    -max_len="$(max_len "$t")" -print_final_stats=1 -artifact_prefix="$artifacts/" "$corpus" > "$log" 2>&1
  local rc=$?
  # The final statistics libFuzzer prints (-print_final_stats=1).
  local execs rate last cov line unit
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  # Without them (a crash before the end): the last status line.
  if [ -z "$execs" ]; then
    last=$(grep -E '^#[0-9]+' "$log" | tail -1)
    execs=$(sed -n 's/^#\([0-9]*\).*/\1/p' <<< "$last")
    rate=$(sed -n 's/.*exec\/s: \([0-9]*\).*/\1/p' <<< "$last")
  fi
  cov=$(grep -E '^#[0-9]+' "$log" | tail -1 | sed -n 's/.*cov: \([0-9]*\).*/\1/p')
  line=$(printf '%-14s %12s executions %9s exec/s  cov %s' "fuzz_$t" "${execs:-?}" "${rate:-?}" "${cov:-?}")
  if [ $rc -ne 0 ]; then
    unit=$(sed -n 's/.*Test unit written to \(.*\)$/\1/p' "$log" | tail -1)
    grep -E 'ERROR: |check failed|SUMMARY: |runtime error|ALARM|timeout' "$log" | head -8
    line="$line  FAILED (exit $rc): ${unit:-see $log}"
  fi
  echo "$line" > "$BUILD/fuzz-$t.line"
  return $rc
}

failed=0
pids=()
for t in "${TARGETS[@]}"; do
  run_target "$t" &
  pids+=($!)
  # At most KORVEX_FUZZ_JOBS at once: wait for the oldest.
  if [ ${#pids[@]} -ge "${KORVEX_FUZZ_JOBS:-2}" ]; then
    wait "${pids[0]}" || failed=1
    pids=("${pids[@]:1}")
  fi
done
for p in "${pids[@]}"; do wait "$p" || failed=1; done
summary=()
for t in "${TARGETS[@]}"; do summary+=("$(cat "$BUILD/fuzz-$t.line")"); done

echo
echo "Summary (${SECONDS_EACH} s per target):"
printf '%s\n' "${summary[@]}"
exit $failed

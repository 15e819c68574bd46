#!/usr/bin/env bash
# Checks the bash completion of korvex-cli and korvex-sim: sources
# packaging/korvex200.bash-completion, completes command lines against the
# programs of a build folder (and against a stand-in korvex-cli whose --help
# has the CLI11 layout and no operations section) and compares the offered
# words with the expected ones.
# Usage: completion_test.sh BUILD_DIR
set -eo pipefail
BUILD=$(cd "${1:-build}" && pwd)
SRC=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=/dev/null
source "$SRC/packaging/korvex200.bash-completion"
T=$(mktemp -d)
trap 'rm -rf "$T"' EXIT
mkdir -p "$T/work/sub" "$T/ports" "$T/cli11"
touch "$T/work/demo.hex" "$T/work/demo.s19" "$T/ports/COM1" "$T/ports/COM2"
export KORVEX_SERIAL_DIR=$T/ports
cat > "$T/cli11/korvex-cli" << 'EOF'
#!/bin/sh
cat << 'HELP'
Runs the Korvex200 gang programmer without a window
Usage: korvex-cli [OPTIONS] OPERATION [OPERANDS...]

Positionals:
  OPERATION TEXT REQUIRED     the operation
  OPERANDS TEXT ...           its operands

Options:
  -h,--help                   Print this help message and exit
  -q, --quiet                 less output
  -c,--chip TEXT              choose a chip from the catalogue
  --speed TEXT:{slow,fast} [fast]
                              programming speed
  --reset TEXT:{low->0,off->1,pulse->2}
                              reset line
  --option-bytes Excludes: --no-option-bytes
                              write the option bytes
  --no-option-bytes Excludes: --option-bytes
  -f, --file TEXT REQUIRED    load an object file
  -v                          more output
HELP
EOF
chmod +x "$T/cli11/korvex-cli"

failures=0
# check WANT COMMAND-WORDS...: completes the last word. WANT lists the words
# that must be offered; "!word" one that must not be.
check() {
    local want=$1
    shift
    COMP_WORDS=("$@")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMPREPLY=()
    _korvex200_complete
    local got=" ${COMPREPLY[*]} " w
    for w in $want; do
        if [[ $w == !* ]]; then
            [[ $got != *" ${w#!} "* ]] && continue
        else
            [[ $got == *" $w "* ]] && continue
        fi
        echo "FAIL: '${*:2}': expected $w, got:$got"
        failures=$((failures + 1))
    done
}

cd "$T/work"
CLI=$BUILD/korvex-cli SIM=$BUILD/korvex-sim
#     offered words                    command line
check "--chip --chips !--file"         "$CLI" --ch
check "auto !blank-check"              "$CLI" au
check "read-flash read-id read-address" "$CLI" --sim 2 read-
check "--file --firmware"              "$CLI" auto --f
check "3.3 5.0"                        "$CLI" --voltage ""
check "fast !slow"                     "$CLI" --speed f
check "continue abort"                 "$CLI" --on-mismatch ""
check "demo.hex demo.s19 sub !auto"    "$CLI" --file ""
check "demo.hex !demo.s19"             "$CLI" --project = demo.h
check "demo.hex demo.s19"              "$CLI" -o demo
check "demo.hex !auto"                 "$CLI" --chip X convert ""
check "!demo.hex !auto"                "$CLI" --timeout ""
check "$T/ports/COM1 $T/ports/COM2"    "$CLI" --port "$T/ports/C"
check "SC32F5232JV1G"                  "$CLI" --chip SC32F52
check "--units --uid --upgrade-version" "$SIM" --u
check "sub !demo.hex"                  "$SIM" --dir ""
check "--chip --quiet --no-option-bytes" "$T/cli11/korvex-cli" --""
check "slow fast"                      "$T/cli11/korvex-cli" --speed ""
check "low off pulse"                  "$T/cli11/korvex-cli" --reset ""
check "auto !demo.hex"                 "$T/cli11/korvex-cli" -q --chip X --option-bytes au
check "demo.hex"                       "$T/cli11/korvex-cli" --file = demo
check "demo.hex demo.s19"              "$T/cli11/korvex-cli" -f ""
check "-c -f -q -v"                    "$T/cli11/korvex-cli" -
check "auto"                           "$T/cli11/korvex-cli" -v -c X au
if ((failures)); then
    echo "$failures completion checks failed"
    exit 1
fi
echo "bash completion: all checks passed"

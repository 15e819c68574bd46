#!/usr/bin/env bash
# Runs the README's korvex-cli examples as written, in a folder laid out like
# the build folder (../docs beside it), each to a zero exit status. The ones
# that need real adapters (with "…" in them) are left out.
set -uo pipefail
src=$1 build=$2
work=$(mktemp -d /tmp/kvx-readme.XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir "$work/build"
ln -s "$src/docs" "$work/docs"
ln -s "$build/korvex-cli" "$work/build/korvex-cli"
export KORVEX_HOME="$work/home" KORVEX_SERIAL_DIR="$work/no-ports"
mkdir -p "$KORVEX_SERIAL_DIR"
cd "$work/build"
failed=0 ran=0
while IFS= read -r line; do
    command=${line#      }
    ran=$((ran + 1))
    if ! bash -c "set -o pipefail; $command" > out.txt 2>&1; then
        echo "FAILED: $command"
        cat out.txt
        failed=$((failed + 1))
    fi
done < <(grep -E '^      (\./korvex-cli|cat .*\./korvex-cli)' "$src/README.md" | grep -v '…')
echo "$ran examples, $failed failed"
[ "$ran" -ge 10 ] && [ "$failed" -eq 0 ]

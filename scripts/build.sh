#!/usr/bin/env bash
# Configures and builds everything into build/ (Release with debug info).
set -euo pipefail
cd "$(dirname "$0")/.."
EXTRA=()
[ "${CI:-}" = "true" ] && EXTRA+=(-DKORVEX_WERROR=ON)
cmake -S . -B build -G Ninja "${EXTRA[@]}" "$@" > build.log 2>&1 || { cat build.log; exit 1; }
cmake --build build -j2 >> build.log 2>&1 || { grep -E 'error|Error' -A3 build.log | head -80; exit 1; }

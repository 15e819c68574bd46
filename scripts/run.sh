#!/usr/bin/env bash
# Installs what is needed, builds, starts four emulated programmer units and
# runs the program against them: the window when there is a display, the
# headless front end otherwise (plus a screenshot of the window under Xvfb).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh
B=build
SIMDIR=$(mktemp -d /tmp/korvex-ports.XXXXXX)
SIM_PID=""
cleanup() { [ -n "$SIM_PID" ] && kill "$SIM_PID" 2>/dev/null; wait 2>/dev/null; rm -rf "$SIMDIR"; }
trap cleanup EXIT
if [ -x $B/korvex-sim ]; then
  $B/korvex-sim --units 4 --dir "$SIMDIR" &
  SIM_PID=$!
  for _ in $(seq 50); do [ -e "$SIMDIR/COM4" ] && break; sleep 0.1; done
  export KORVEX_SERIAL_DIR="$SIMDIR"
  echo "Emulated programmer units: $(ls "$SIMDIR" | tr '\n' ' ')(KORVEX_SERIAL_DIR=$SIMDIR)"
fi
if [ -n "${DISPLAY:-}" ]; then
  exec $B/korvex200 "$@"
fi
if [ -x $B/korvex-cli ] && [ -e docs/sample/demo.hex ]; then
  $B/korvex-cli --sim 4 --chip SC32F5264LF1G --file docs/sample/demo.hex auto || true
fi
echo "No display: running the window under Xvfb and saving a screenshot to build/screenshot.png"
xvfb-run -a -s "-screen 0 1024x768x24" $B/korvex200 --screenshot build/screenshot.png --quit-after 3000 "$@"
echo "Saved build/screenshot.png"

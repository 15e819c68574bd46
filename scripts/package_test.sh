#!/usr/bin/env bash
# Builds the Debian package from a build folder, unpacks it into a temporary
# root and runs the installed front end against two emulated units from the
# installed files.
set -euo pipefail
BUILD=${1:-build}
SRC=$(cd "$(dirname "$0")/.." && pwd)
cd "$BUILD"
rm -f korvex200_*.deb
cpack -G DEB > cpack.log 2>&1 || { cat cpack.log; exit 1; }
DEB=$(ls korvex200_*.deb | head -1)
ROOT=$(mktemp -d)
trap 'rm -rf "$ROOT"' EXIT
dpkg-deb -x "$DEB" "$ROOT"
for f in usr/bin/korvex200 usr/bin/korvex-cli usr/bin/korvex-sim usr/share/applications/korvex200.desktop \
         usr/share/icons/hicolor/scalable/apps/korvex200.svg usr/lib/udev/rules.d/60-korvex200.rules \
         usr/share/man/man1/korvex-cli.1 usr/share/doc/korvex200/demo.hex; do
  [ -e "$ROOT/$f" ] || { echo "missing in the package: $f"; exit 1; }
done
dpkg-deb -f "$DEB" Depends | grep -q libqt6widgets6 || { echo "the package does not depend on Qt"; exit 1; }
export XDG_DATA_HOME="$ROOT/data"
"$ROOT/usr/bin/korvex-cli" --sim 2 --chip SC32F5232JV1G --file "$ROOT/usr/share/doc/korvex200/demo.hex" auto
[ -d "$XDG_DATA_HOME/korvex200" ] || { echo "the installed program did not use the data folder"; exit 1; }
echo "package $DEB: installed files present; korvex-cli from the package programmed 2 emulated units"

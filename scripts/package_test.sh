#!/usr/bin/env bash
# Builds the Debian package from a build folder, checks it with lintian and
# for the files and fields it must carry, unpacks it into a temporary root and
# runs the installed front end against two emulated units from the installed
# files.
#
# lintian must report no error and no warning. What it still reports, as
# information only (with --display-info), is about build flags, not about the
# package: the project compiles with its own flags rather than those of
# dpkg-buildflags, so the programs are built without -D_FORTIFY_SOURCE=2
# (hardening-no-fortify-functions) and without -Wl,-z,now
# (hardening-no-bindnow).
set -euo pipefail
BUILD=${1:-build}
SRC=$(cd "$(dirname "$0")/.." && pwd)
cd "$BUILD"
rm -f korvex200_*.deb
cpack -G DEB > cpack.log 2>&1 || { cat cpack.log; exit 1; }
DEB=$(ls korvex200_*.deb | head -1)
fail() { echo "package $DEB: $*"; exit 1; }

command -v lintian > /dev/null || fail "lintian is not installed (scripts/setup.sh installs it)"
lintian --fail-on error,warning --display-info "$DEB" 2> >(grep -v 'running with root privileges' >&2) ||
  fail "lintian reports errors or warnings"

ROOT=$(mktemp -d)
trap 'rm -rf "$ROOT"' EXIT
dpkg-deb -x "$DEB" "$ROOT"
DOC=usr/share/doc/korvex200
for f in usr/bin/korvex200 usr/bin/korvex-cli usr/bin/korvex-sim usr/share/applications/korvex200.desktop \
         usr/share/icons/hicolor/scalable/apps/korvex200.svg usr/lib/udev/rules.d/60-korvex200.rules \
         usr/share/man/man1/korvex200.1.gz usr/share/man/man1/korvex-cli.1.gz usr/share/man/man1/korvex-sim.1.gz \
         usr/share/mime/packages/korvex200.xml \
         usr/share/bash-completion/completions/korvex-cli usr/share/bash-completion/completions/korvex-sim \
         $DOC/changelog.gz $DOC/copyright $DOC/demo.hex; do
  [ -e "$ROOT/$f" ] || fail "missing in the package: $f"
done
dpkg-deb -f "$DEB" Depends | grep -q libqt6widgets6 || fail "no dependency on Qt"
dpkg-deb -f "$DEB" Recommends | grep -q fonts-wqy-microhei || fail "no recommended CJK font"
dpkg-deb -f "$DEB" Recommends | grep -q libpq5 || fail "no recommended libpq5 (opened for a records server)"
zcat "$ROOT/$DOC/changelog.gz" | head -1 | grep -qF "korvex200 ($(dpkg-deb -f "$DEB" Version))" ||
  fail "the newest changelog entry is not the package's version"
dpkg-deb -I "$DEB" postinst | grep -q 'udevadm trigger' || fail "postinst does not apply the udev rule"
bash "$SRC/scripts/udev_rule_test.sh" "$ROOT/usr/lib/udev/rules.d/60-korvex200.rules" > /dev/null ||
  fail "the packaged udev rule fails its check"

# The desktop entry opens the MIME type the package defines for *.pmw.
grep -qx 'MimeType=application/x-korvex200-project;' "$ROOT/usr/share/applications/korvex200.desktop" ||
  fail "the desktop entry does not declare the project type"
if command -v desktop-file-validate > /dev/null; then
  desktop-file-validate "$ROOT/usr/share/applications/korvex200.desktop" || fail "invalid desktop entry"
fi
if command -v update-mime-database > /dev/null; then
  mkdir -p "$ROOT/mime/packages"
  cp "$ROOT/usr/share/mime/packages/korvex200.xml" "$ROOT/mime/packages/"
  update-mime-database "$ROOT/mime" > /dev/null 2>&1 || fail "update-mime-database refuses the MIME definition"
  grep -qx 'application/x-korvex200-project:\*\.pmw' <(cut -d: -f2- "$ROOT/mime/globs2") ||
    fail "the MIME definition does not map *.pmw to application/x-korvex200-project"
fi

# The installed completion, driven by the installed korvex-cli.
# shellcheck source=/dev/null
got=$(source "$ROOT/usr/share/bash-completion/completions/korvex-cli"
      COMP_WORDS=("$ROOT/usr/bin/korvex-cli" --ch) COMP_CWORD=1
      _korvex200_complete; echo "${COMPREPLY[*]}")
[[ " $got " == *" --chip "* ]] || fail "the installed bash completion does not offer --chip (got: $got)"

export XDG_DATA_HOME="$ROOT/data" XDG_CONFIG_HOME="$ROOT/config" XDG_STATE_HOME="$ROOT/state"
"$ROOT/usr/bin/korvex-cli" --sim 2 --chip SC32F5232JV1G --file "$ROOT/$DOC/demo.hex" auto
[ -d "$XDG_DATA_HOME/korvex200" ] || [ -d "$XDG_CONFIG_HOME/korvex200" ] || [ -d "$XDG_STATE_HOME/korvex200" ] ||
  fail "the installed program used none of the XDG data, configuration and state folders"
echo "package $DEB: lintian clean, installed files present; korvex-cli from the package programmed 2 emulated units"

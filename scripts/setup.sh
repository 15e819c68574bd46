#!/usr/bin/env bash
# Installs every Debian package the build, the tests, the window and the
# emulator need. Idempotent: when everything is there it only checks.
set -euo pipefail
PKGS=(build-essential cmake ninja-build pkg-config
      qt6-base-dev qt6-qpa-plugins libgl-dev
      libgtest-dev libgmock-dev libbenchmark-dev
      fonts-wqy-microhei xvfb xauth xdotool srecord
      nlohmann-json3-dev python3-jsonschema libcli11-dev lintian
      libsqlite3-dev sqlite3 libpq-dev postgresql desktop-file-utils
      libcpp-httplib-dev prometheus chromium chromium-driver python3-selenium)
missing=()
for p in "${PKGS[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO=sudo
  echo "Installing: ${missing[*]}"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

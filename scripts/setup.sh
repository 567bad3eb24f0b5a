#!/bin/sh
# Installs what the build, the tests and the fuzz targets need on Debian 12.
set -e
packages="build-essential cmake ninja-build clang libclang-rt-14-dev qt6-base-dev libxkbcommon-dev
  nlohmann-json3-dev libdw-dev libgl-dev fonts-liberation libgtest-dev libgmock-dev libbenchmark-dev
  xvfb xauth dpkg-dev file
  qt6-translations-l10n libqt6svg6 desktop-file-utils appstream python3 xdotool openbox imagemagick
  debhelper help2man lintian"
if [ "$(id -u)" -ne 0 ]; then
  SUDO=sudo
fi
missing=""
for p in $packages; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends $missing
fi

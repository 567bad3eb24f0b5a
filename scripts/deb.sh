#!/bin/sh
# Builds the Debian packages described in debian/ into build/deb: the workbench
# with pkginfo, the run-time libraries librtl1 and libtoolkit2, the SDK
# package-workbench-dev, and their debug symbols. It is dpkg-buildpackage as
# usual, except that the results stay in the tree rather than in its parent.
set -e
cd "$(dirname "$0")/.."
out=build/deb
rm -rf "$out"
mkdir -p "$out"
WB_DEB_DIR=$out DEB_BUILD_OPTIONS="nocheck terse ${DEB_BUILD_OPTIONS:-}" dpkg-buildpackage -b -us -uc \
  --buildinfo-option=-u$out --buildinfo-file=$out/package-workbench.buildinfo \
  --changes-option=-u$out --changes-file=$out/package-workbench.changes

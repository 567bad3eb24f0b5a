#!/bin/sh
# Starts the workbench from the folder of the demo packages, so that its open
# dialog starts there.
set -e
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build/default"
if [ -z "$DISPLAY" ] && [ -z "$WAYLAND_DISPLAY" ] && [ -z "$QT_QPA_PLATFORM" ]; then
  echo "No display found: run it under a virtual one with: xvfb-run -a $0" >&2
  exit 1
fi
cd "$build/packages"
exec "$build/bin/workbench"

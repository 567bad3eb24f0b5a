#!/bin/bash
# Takes the module inspector's picture from the real program under Xvfb: the program
# is started, LoadPack is given the demo package stdreg through the open dialog, the
# inspector is opened and the package selected, all with the mouse and keyboard.
#
#   xvfb-run -a -s "-screen 0 1024x768x24" tests/inspector/screenshot.sh <build dir> <png>
#
# Needs xdotool and imagemagick. The program is copied into a short folder first, so
# that the picture shows the paths of an installed program, not of a build tree.
set -euo pipefail
build=$(realpath "$1")
out=$(realpath -m "$2")
stage=${STAGE:-/tmp/workbench}

rm -rf "$stage"
mkdir -p "$stage/bin" "$stage/lib" "$stage/packages"
cp "$build/bin/workbench" "$stage/bin/"
cp "$build/lib/librtl.so.0" "$build/lib/libtoolkit.so.0" "$stage/lib/"
cp "$build/packages/libstdreg.so" "$stage/packages/"

LD_LIBRARY_PATH="$stage/lib" "$stage/bin/workbench" &
program=$!
trap 'kill $program 2>/dev/null || true' EXIT

window() {
  for _ in $(seq 50); do
    if id=$(xdotool search --name "^$1\$" 2>/dev/null | head -1) && [ -n "$id" ]; then
      echo "$id"
      return
    fi
    sleep 0.2
  done
  echo "no window $1" >&2
  exit 1
}

main=$(window Form1)
sleep 1
# LoadPack, then the path typed into the open dialog.
xdotool mousemove --window "$main" 37 36 click 1
window Open > /dev/null
sleep 1
xdotool type --delay 10 "$stage/packages/libstdreg.so"
xdotool key Return
sleep 1
# "Посмотреть подключенные модули".
xdotool mousemove --window "$main" 430 36 click 1
inspector=$(window Form2)
sleep 1
# The package loaded last heads the module list, so it is the first item.
xdotool mousemove --window "$inspector" 100 25 click 1
sleep 1
import -window "$inspector" "$out"
echo "saved $out"

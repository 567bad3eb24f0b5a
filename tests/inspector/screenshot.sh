#!/bin/bash
# Takes the README's pictures from the real program under Xvfb, with a window manager
# so that the windows wear real frames: the workbench is started on the demo package
# stdreg with its registration procedure, as a package author starts it, and its box
# answered; then the module inspector is opened and the package selected, all with
# the mouse and keyboard.
#
#   xvfb-run -a -s "-screen 0 1024x768x24" tests/inspector/screenshot.sh <build dir> <docs dir>
#
# Needs xdotool, imagemagick and openbox (scripts/setup.sh installs them). The program
# is copied into a short folder first, so that the pictures show the paths of an
# installed program, not of a build tree.
set -euo pipefail
build=$(realpath "$1")
docs=$(realpath -m "$2")
stage=${STAGE:-/tmp/workbench}

rm -rf "$stage"
mkdir -p "$stage/bin" "$stage/lib" "$stage/packages"
cp "$build/bin/workbench" "$stage/bin/"
cp "$build/lib/librtl.so.1" "$build/lib/libtoolkit.so.2" "$stage/lib/"
cp "$build/packages/libstdreg.so" "$stage/packages/"

openbox >/dev/null 2>&1 &
manager=$!
cd "$stage/packages"
LD_LIBRARY_PATH="$stage/lib" "$stage/bin/workbench" libstdreg.so '@Stdreg@Register$qqrv' &
program=$!
trap 'kill $program $manager 2>/dev/null || true' EXIT

window() {
  for _ in $(seq 50); do
    if id=$(xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | head -1) && [ -n "$id" ]; then
      echo "$id"
      return
    fi
    sleep 0.2
  done
  echo "no window $1" >&2
  exit 1
}

main=$(window Form1)
# The registration run's "BRRRRR", answered with a key the box has the focus for.
# (A key sent to a window by id that closes it leaves that key held down: xdotool
# sends its release to the window, which is gone by then.)
box=$(window workbench)
sleep 1
xdotool windowactivate --sync "$box" key Return
sleep 1
# Both windows, frames included, on the empty desktop around them.
import -window root -trim +repage "$docs/workbench.png"
echo "saved $docs/workbench.png"

# "Посмотреть подключенные модули".
xdotool mousemove --window "$main" 430 36 click 1
inspector=$(window Form2)
sleep 1
# The package loaded last heads the module list, so it is the first item.
xdotool mousemove --window "$inspector" 100 25 click 1
sleep 1
import -frame -window "$inspector" "$docs/inspector.png"
echo "saved $docs/inspector.png"

#!/bin/sh
# The main job: builds the programs and starts the window. Without a display the window is
# started on a virtual one for a few seconds and a screenshot is left in out/window.png.
set -eu
cd "$(dirname "$0")/.."
BUILD_DIR=${BUILD_DIR:-build}
cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$BUILD_DIR" -j2 --target reflectivity
mkdir -p out
if [ -n "${DISPLAY:-}" ]; then
    cd out && exec "../$BUILD_DIR/app/reflectivity" "$@"
fi
cd out
xvfb-run -a -s "-screen 0 1400x700x24" sh -c "
    ../$BUILD_DIR/app/reflectivity & pid=\$!
    sleep 4
    import -window root window.png
    kill \$pid"
echo "No display: the window ran on a virtual screen; screenshot in out/window.png, log under out/log/"

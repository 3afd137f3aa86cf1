#!/bin/sh
# The main job: builds the programs, generates the default sample flight once (into
# ./sample-flight, which git ignores) and converts it to reflectance with reflectivity-batch,
# using the panel images and their QR code. Results go to ./sample-flight-results.
#
#   scripts/run.sh          process the sample flight without a display
#   scripts/run.sh --gui    start the window instead (on a virtual screen when there is no display)
set -eu
cd "$(dirname "$0")/.."
ROOT=$(pwd)
BUILD_DIR=${BUILD_DIR:-build}
cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$BUILD_DIR" -j2 --target reflectivity reflectivity-batch reflectivity-sample

if [ "${1:-}" = "--gui" ]; then
    mkdir -p out
    cd out
    if [ -n "${DISPLAY:-}" ]; then
        exec "$ROOT/$BUILD_DIR/app/reflectivity"
    fi
    xvfb-run -a -s "-screen 0 1400x700x24" sh -c "
        '$ROOT/$BUILD_DIR/app/reflectivity' & pid=\$!
        sleep 4
        import -window root window.png
        kill \$pid"
    echo "No display: the window ran on a virtual screen; screenshot in out/window.png"
    exit 0
fi

FLIGHT=$ROOT/sample-flight
RESULTS=$ROOT/sample-flight-results
if [ ! -f "$FLIGHT/truth.json" ]; then
    echo "Generating the sample flight into $FLIGHT ..."
    "$ROOT/$BUILD_DIR/tools/reflectivity-sample" "$FLIGHT" >/dev/null
fi
# The new board's panel capture (the flight also holds an old board's).
PANELS=""
for f in "$FLIGHT"/panel/IMG_0000_*.tif; do PANELS="$PANELS --panel $f"; done
mkdir -p "$RESULTS"
cd "$RESULTS"
echo "Processing $FLIGHT/flight ..."
# Progress is one line on the terminal (standard error); the log goes to $RESULTS/log and the
# summary, with the path of the run report, to standard output. The script's exit status is the
# batch command's (0, or 1 for a failed run or bands to look at, 2 for bad arguments).
# shellcheck disable=SC2086
exec "$ROOT/$BUILD_DIR/app/reflectivity-batch" --raw "$FLIGHT/flight" --out "$RESULTS" $PANELS --log-dir "$RESULTS/log"

#!/bin/sh
# Speed and peak memory of a whole reflectance run over the default sample flight (8 captures x 6
# bands, 1280 x 960), without and with band registration.
# Usage: bench/whole_run.sh [BUILD_DIR]   (default: build)
set -eu
cd "$(dirname "$0")/.."
BUILD=${1:-build}
FLIGHT=${FLIGHT:-sample-flight}
[ -f "$FLIGHT/truth.json" ] || "$BUILD/tools/reflectivity-sample" "$FLIGHT" >/dev/null
PANELS=""
for f in "$FLIGHT"/panel/IMG_0000_*.tif; do PANELS="$PANELS --panel $f"; done
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
for mode in none common; do
    # shellcheck disable=SC2086
    /usr/bin/time -v "$BUILD/app/reflectivity-batch" --raw "$FLIGHT/flight" --out "$WORK/$mode" $PANELS \
        --registration "$mode" --log-dir "$WORK/log" >"$WORK/out.txt" 2>"$WORK/err.txt" || {
        echo "run failed ($mode)"; tail -5 "$WORK/err.txt"; exit 1; }
    images=$(grep -o 'Converted images: [0-9]*' "$WORK/out.txt" | grep -o '[0-9]*$')
    wall=$(grep 'Elapsed (wall clock)' "$WORK/err.txt" | sed 's/.*: //')
    cpu_user=$(grep 'User time' "$WORK/err.txt" | sed 's/.*: //')
    cpu_sys=$(grep 'System time' "$WORK/err.txt" | sed 's/.*: //')
    rss=$(grep 'Maximum resident set size' "$WORK/err.txt" | sed 's/.*: //')
    rate=$(grep -o 'Run time: .*' "$WORK/out.txt")
    echo "registration=$mode images=$images wall=$wall user=${cpu_user}s sys=${cpu_sys}s peak_rss=${rss}kB ($rate)"
done

#!/bin/sh
# Time and peak memory of the registration step alone (reflectivity-batch --register-only) over the
# radiance outputs of a generated flight (1280 x 960, 6 bands), in per-group and in common mode.
# Usage: bench/registration_run.sh [BUILD_DIR] [CAPTURES]   (defaults: build, 8 = the default flight)
set -eu
cd "$(dirname "$0")/.."
BUILD=${1:-build}
CAPTURES=${2:-8}
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
"$BUILD/tools/reflectivity-sample" "$WORK/flight" --captures "$CAPTURES" --no-panels --no-jpg >/dev/null
"$BUILD/app/reflectivity-batch" --raw "$WORK/flight/flight" --out "$WORK/converted" --radiance \
    --registration none --no-self-calibration --log-dir "$WORK/log" >/dev/null 2>&1 || {
    echo "conversion failed"; exit 1; }
for mode in per-group common; do
    rm -rf "$WORK/$mode"
    cp -r "$WORK/converted" "$WORK/$mode"
    /usr/bin/time -v "$BUILD/app/reflectivity-batch" --register-only "$WORK/$mode" --registration "$mode" \
        --log-dir "$WORK/log" >"$WORK/out.txt" 2>"$WORK/err.txt" || {
        echo "registration failed ($mode)"; tail -5 "$WORK/err.txt"; exit 1; }
    merged=$(find "$WORK/$mode" -name '*_Multi.tif' | wc -l)
    wall=$(grep 'Elapsed (wall clock)' "$WORK/err.txt" | sed 's/.*: //')
    cpu_user=$(grep 'User time' "$WORK/err.txt" | sed 's/.*: //')
    rss=$(grep 'Maximum resident set size' "$WORK/err.txt" | sed 's/.*: //')
    echo "registration=$mode captures=$CAPTURES merged=$merged wall=$wall user=${cpu_user}s peak_rss=${rss}kB"
done

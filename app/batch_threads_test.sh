#!/bin/sh
# A whole run (lens self-calibration, conversion, band registration) writes byte-identical
# files with --threads 1 and --threads 4. When they differ, a run without registration tells
# whether the conversion (with the self-calibrated lenses) or the registration differs.
# Usage: batch_threads_test.sh SAMPLE_PROGRAM BATCH_PROGRAM
set -u
SAMPLE=$(readlink -f "$1")
BATCH=$(readlink -f "$2")
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
fail() { echo "FAIL: $*"; exit 1; }
cd "$WORK" || exit 1

# A camera that is self-calibrated (not type 6), small images, three captures (the fewest the
# self-calibration takes). A radiance run: panels this small are not recognised.
"$SAMPLE" gen --type 3 --size 360x480 --captures 3 --no-jpg --no-panels >/dev/null 2>&1 \
    || fail "sample flight not generated"

# run NAME THREADS [ARGS...]: one whole run into NAME.
run() {
    name=$1 threads=$2
    shift 2
    "$BATCH" --raw gen/flight --out "$name" --radiance --threads "$threads" --log-dir "logs-$name" "$@" \
        >"$name.out" 2>"$name.err" || fail "run $name (--threads $threads) exit $?: $(tail -3 "$name.err")"
}
# differing A B: the files below A that are missing below B or differ from it.
differing() {
    (cd "$1" && find . -type f | sort) >"$1.list"
    (cd "$2" && find . -type f | sort) >"$2.list"
    cmp -s "$1.list" "$2.list" || echo "(different file lists)"
    while read -r f; do
        # The run report holds times and the thread count of its run.
        case "$f" in */report.html | report.html | */report/* | report/*) continue ;; esac
        cmp -s "$1/$f" "$2/$f" || echo "$f"
    done <"$1.list"
}

run one 1
run four 4
count=$(find one -name '*_Multi.tif' | wc -l)
[ "$count" -eq 3 ] || fail "expected 3 merged captures, found $count"
grep -aq "SfM Calibration finished" logs-one/*/*.txt || fail "the self-calibration did not run"
diff=$(differing one four)
if [ -n "$diff" ]; then
    # Which phase differs: the adjusted lenses, the converted band files, the merged captures.
    # Bands are calibrated in parallel: their lines are compared in band order.
    lenses() { grep -ah "bundleAdjust: \"\|SfM Calibration: band" "$1"/*/*.txt | sed 's/^[^]]*]: //' | sort; }
    lenses logs-one >one.lenses
    lenses logs-four >four.lenses
    cmp -s one.lenses four.lenses || { echo "self-calibration, 1 thread:"; cat one.lenses;
                                       echo "self-calibration, 4 threads:"; cat four.lenses; }
    run one-converted 1 --registration none
    run four-converted 4 --registration none
    converted=$(differing one-converted four-converted)
    [ -z "$converted" ] || fail "converted band files differ between 1 and 4 threads: $converted"
    fail "merged captures differ between 1 and 4 threads (band registration): $diff"
fi
echo "batch threads: $(wc -l <one.list) files byte-identical with 1 and 4 threads"

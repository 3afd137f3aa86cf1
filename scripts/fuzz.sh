#!/bin/sh
# Builds the fuzz targets with clang, AddressSanitizer and UndefinedBehaviorSanitizer in build-fuzz
# and runs each with libFuzzer, one after the other, each as a single process (one core).
# Usage: scripts/fuzz.sh [seconds-per-target] [target...]   (default 180 s, every target)
# Seeds come from <folder>/fuzz_seeds/<target>/; what libFuzzer adds to them stays in
# build-fuzz/corpus/<target>/ and crash inputs in build-fuzz/findings/<target>/.
set -eu
cd "$(dirname "$0")/.."
SECONDS_TO_RUN=${1:-180}
[ $# -gt 0 ] && shift
ALL="fuzz_raw_tiff fuzz_xmp_calibration fuzz_exif_tags_xmp fuzz_panel_code fuzz_file_names fuzz_jpg_description fuzz_bal"
TARGETS=${*:-$ALL}
BUILD=build-fuzz

folder_of() {
    case "$1" in
        fuzz_raw_tiff | fuzz_xmp_calibration) echo metadata ;;
        fuzz_exif_tags_xmp) echo registration ;;
        fuzz_panel_code) echo panel ;;
        fuzz_file_names) echo app ;;
        fuzz_jpg_description) echo radiometry ;;
        fuzz_bal) echo bench ;;
        *) echo "unknown fuzz target: $1" >&2; exit 2 ;;
    esac
}

for t in $TARGETS; do folder_of "$t" >/dev/null; done

CC=clang CXX=clang++ cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DREFLECTIVITY_FUZZ=ON -DREFLECTIVITY_BUILD_TESTS=OFF -DREFLECTIVITY_BUILD_BENCH=ON \
    -DREFLECTIVITY_BUILD_MORX32=OFF \
    -DCMAKE_CXX_FLAGS="-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer -fsanitize=fuzzer-no-link"
cmake --build "$BUILD" -j2 --target $TARGETS

status=0
for t in $TARGETS; do
    folder=$(folder_of "$t")
    mkdir -p "$BUILD/corpus/$t" "$BUILD/findings/$t"
    echo "== $t: $SECONDS_TO_RUN s"
    "$BUILD/$folder/$t" -max_total_time="$SECONDS_TO_RUN" -max_len=12000 -timeout=10 -rss_limit_mb=2048 \
        -close_fd_mask=3 -print_final_stats=1 -artifact_prefix="$BUILD/findings/$t/" \
        "$BUILD/corpus/$t" "$folder/fuzz_seeds/$t" || status=1
done
exit $status

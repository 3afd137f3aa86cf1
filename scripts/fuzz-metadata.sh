#!/bin/sh
# Builds the metadata readers with clang, AddressSanitizer and UndefinedBehaviorSanitizer and fuzzes
# them with libFuzzer. Usage: scripts/fuzz-metadata.sh [seconds]   (default 300)
set -eu
cd "$(dirname "$0")/.."
SECONDS_TO_RUN=${1:-300}
BUILD=build-fuzz
CC=clang CXX=clang++ cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DREFLECTIVITY_FOLDERS=metadata -DREFLECTIVITY_FUZZ=ON -DREFLECTIVITY_BUILD_TESTS=OFF \
    -DREFLECTIVITY_BUILD_MORX32=OFF \
    -DCMAKE_CXX_FLAGS="-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer -fsanitize=fuzzer-no-link"
cmake --build "$BUILD" -j2 --target fuzz_metadata
mkdir -p "$BUILD/corpus"
# Seeds: small hand-made band files and XMP packets.
"$BUILD/metadata/fuzz_metadata" -max_total_time="$SECONDS_TO_RUN" -max_len=12000 -timeout=10 -close_fd_mask=2 \
    -print_final_stats=1 "$BUILD/corpus" metadata/fuzz_seeds

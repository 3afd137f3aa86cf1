#!/bin/sh
# Builds the libraries and their tests with AddressSanitizer and UndefinedBehaviorSanitizer and runs
# the tests that finish in reasonable time under them: the cases labelled `slow` (whole generated
# flights), the long accuracy, end-to-end and benchmark reference checks run in the plain build of
# scripts/test.sh. Any sanitizer report fails the run.
set -eu
cd "$(dirname "$0")/.."
BUILD_DIR=${BUILD_DIR:-build-asan}
FLAGS="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
# Memory errors and undefined behaviour stop the test that meets them (the test discovery at build
# time runs the tests too). Leak checking is off: the Qt platform objects of the widget tests live
# until exit and the stacks through Qt are too short to tell them from ours.
export ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DREFLECTIVITY_BUILD_BENCH=OFF \
    -DREFLECTIVITY_BUILD_MORX32=OFF \
    -DCMAKE_C_FLAGS="$FLAGS" -DCMAKE_CXX_FLAGS="$FLAGS" \
    -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" \
    -DCMAKE_SHARED_LINKER_FLAGS="-fsanitize=address,undefined"
cmake --build "$BUILD_DIR" -j2
cd "$BUILD_DIR"
ctest --output-on-failure -j2 --timeout 900 \
    -LE "slow|registration_accuracy|e2e|scipy|tools|morx32"

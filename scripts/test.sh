#!/bin/sh
# Builds everything and runs the whole test suite. Exits non-zero when a test fails.
#
#   scripts/test.sh                        tests that read ../shared skip themselves without it
#   scripts/test.sh --require-shared-data  they fail instead (CI, where ../shared is always there)
set -eu
cd "$(dirname "$0")/.."
BUILD_DIR=${BUILD_DIR:-build}
REQUIRE_SHARED=OFF
case "${1:-}" in
    --require-shared-data) REQUIRE_SHARED=ON ;;
    "") ;;
    *) echo "usage: scripts/test.sh [--require-shared-data]" >&2; exit 2 ;;
esac
cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DREFLECTIVITY_REQUIRE_SHARED_DATA=$REQUIRE_SHARED
cmake --build "$BUILD_DIR" -j2
cd "$BUILD_DIR"
ctest --output-on-failure -j2 --timeout 900

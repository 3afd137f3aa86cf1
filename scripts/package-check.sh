#!/bin/sh
# The Debian package as a user gets it: cpack builds reflectivity_<version>_amd64.deb from the
# build folder (after scripts/test.sh), lintian must report no error, and the packaged batch
# command, unpacked into a temporary root, processes a small generated flight.
set -eu
cd "$(dirname "$0")/.."
BUILD_DIR=$(readlink -f "${BUILD_DIR:-build}")
(cd "$BUILD_DIR" && cpack -G DEB >/dev/null)
DEB=$(ls "$BUILD_DIR"/reflectivity_*_amd64.deb)
echo "package: $DEB"
dpkg-deb --field "$DEB" Package Version Depends
lintian --fail-on error "$DEB"
ROOT=$(mktemp -d)
trap 'rm -rf "$ROOT"' EXIT
dpkg-deb -x "$DEB" "$ROOT/root"
cd "$ROOT"
root/usr/bin/reflectivity-sample gen --type 6 --size 640x480 --captures 2 --no-jpg --no-old-panel >/dev/null
root/usr/bin/reflectivity-batch --raw gen/flight --panel gen/panel --out out --log-dir log
test -s out/report.html
test "$(ls out/flight/*_Multi.tif | wc -l)" -eq 2
echo "package check: the packaged batch command merged 2 captures and wrote out/report.html"

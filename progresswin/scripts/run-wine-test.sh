#!/bin/sh
# Runs the morx32 Wine test headless: a fresh Wine prefix under /tmp inside a private Xvfb display.
# Exits 0 only when the test host reports "N passed, 0 failed".
#
#   run-wine-test.sh --dir32 DIR [--dir64 DIR] [--screenshot FILE.png]
#
# DIR holds morx32.dll and morx32_wine_test.exe. The 32-bit build is tested with 32-bit Wine. Where
# the kernel cannot execute 32-bit programs at all (some virtual machines), 32-bit Wine cannot start
# and the 64-bit build of the same sources (--dir64) is tested with 64-bit Wine instead.
# With --screenshot the window is also shown with coloured labels and the screen is saved.
set -u

dir32= dir64= shot=
while [ $# -gt 0 ]; do
    case $1 in
        --dir32) dir32=$2; shift 2 ;;
        --dir64) dir64=$2; shift 2 ;;
        --screenshot) shot=$2; shift 2 ;;
        *) echo "usage: $0 --dir32 DIR [--dir64 DIR] [--screenshot FILE]" >&2; exit 2 ;;
    esac
done
[ -n "$dir32" ] || { echo "run-wine-test: --dir32 is required" >&2; exit 2; }

if [ "${MORX32_IN_XVFB:-}" != 1 ]; then
    export MORX32_IN_XVFB=1
    set -- --dir32 "$dir32"
    [ -n "$dir64" ] && set -- "$@" --dir64 "$dir64"
    [ -n "$shot" ] && set -- "$@" --screenshot "$shot"
    exec xvfb-run -a -s "-screen 0 1024x768x24" sh "$0" "$@"
fi

# Choose the Wine to run.
if wine --version >/dev/null 2>&1; then
    loader=wine arch=win32 bin_dir=$dir32
else
    wine64=$(command -v wine64 || echo /usr/lib/wine/wine64)
    if [ -z "$dir64" ] || ! "$wine64" --version >/dev/null 2>&1; then
        echo "run-wine-test: 32-bit Wine cannot start here and no 64-bit Wine or 64-bit build is available" >&2
        exit 1
    fi
    echo "run-wine-test: this kernel cannot execute 32-bit programs; testing the 64-bit build with 64-bit Wine"
    loader=$wine64 arch=win64 bin_dir=$dir64
    export WINELOADER="$wine64"
fi
echo "run-wine-test: $arch, binaries from $bin_dir"

prefix=$(mktemp -d /tmp/morx32-wine.XXXXXX) || exit 1
export WINEPREFIX="$prefix" WINEARCH=$arch WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
cleanup() {
    wineserver -k >/dev/null 2>&1
    rm -rf "$prefix"
}
trap cleanup EXIT

started=$(date +%s)
# Unmanaged windows: without this every closed box stalls for two seconds under Xvfb.
if ! "$loader" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1; then
    echo "run-wine-test: could not set up the Wine prefix $prefix" >&2
    exit 1
fi
prepared=$(date +%s)

work="$prefix/drive_c/morx32"
mkdir -p "$work"
cp "$bin_dir/morx32.dll" "$bin_dir/morx32_wine_test.exe" "$work/" || exit 1
cd "$work" || exit 1

timeout -k 5 150 "$loader" morx32_wine_test.exe >host.log 2>&1
host_rc=$?
tr -d '\r' <host.log
finished=$(date +%s)
echo "run-wine-test: prefix set-up $((prepared - started)) s, test $((finished - prepared)) s"

failed=0
if [ $host_rc -ne 0 ]; then
    echo "run-wine-test: test host exited with $host_rc" >&2
    failed=1
fi
if ! tr -d '\r' <host.log | grep -Eq '^[0-9]+ passed, 0 failed$'; then
    echo "run-wine-test: no clean \"N passed, 0 failed\" summary" >&2
    failed=1
fi
# The profile path c:\win.dir lands in the prefix.
if ! tr -d '\r' <"$prefix/drive_c/win.dir" 2>/dev/null | grep -qi '^Dir=c:\\windows$'; then
    echo "run-wine-test: $prefix/drive_c/win.dir lacks Dir=C:\\windows" >&2
    failed=1
fi

if [ -n "$shot" ]; then
    "$loader" morx32_wine_test.exe --showcase 6 >showcase.log 2>&1 &
    show_pid=$!
    for _ in $(seq 1 100); do
        grep -q 'showcase ready' showcase.log 2>/dev/null && break
        sleep 0.2
    done
    sleep 1
    if import -window root "$shot"; then
        echo "run-wine-test: screenshot saved to $shot"
    else
        echo "run-wine-test: screenshot failed" >&2
    fi
    wait $show_pid
fi

exit $failed

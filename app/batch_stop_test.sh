#!/bin/sh
# Stopping reflectivity-batch with Ctrl-C (SIGINT) in each phase leaves only complete files under
# final names and no scratch files; a run killed with SIGKILL in the pool phase and started again
# gives the outputs of an uninterrupted run. Raw files are never changed.
# Usage: batch_stop_test.sh SAMPLE_PROGRAM BATCH_PROGRAM
set -u
SAMPLE=$(readlink -f "$1")
BATCH=$(readlink -f "$2")
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
fail() { echo "FAIL: $*"; exit 1; }
cd "$WORK" || exit 1

# A keyed flight (no self-calibration for that camera) and a pinhole-free type-0 flight (calibrated).
"$SAMPLE" small --type 6 --size 640x480 --captures 6 --no-jpg --no-old-panel >/dev/null 2>&1 \
    || fail "keyed flight not generated"
"$SAMPLE" wide --captures 5 --no-panels --no-jpg >/dev/null 2>&1 || fail "type-0 flight not generated"
sums() { find "$@" -type f -exec sha256sum {} + | sort -k2; }
sums small wide >raw.sha

# Starts the batch in the background and sends SIGNAL once PATTERN shows in its error output.
# Sets STATUS to the exit status and CAUGHT to 1 when the signal was sent before the run ended.
run_and_signal() {
    signal=$1
    pattern=$2
    shift 2
    "$BATCH" "$@" --log-dir logs >out.txt 2>err.txt &
    pid=$!
    CAUGHT=0
    i=0
    while kill -0 "$pid" 2>/dev/null && [ $i -lt 3000 ]; do
        if grep -q "$pattern" err.txt 2>/dev/null; then
            kill "-$signal" "$pid" 2>/dev/null && CAUGHT=1
            break
        fi
        sleep 0.05
        i=$((i + 1))
    done
    wait "$pid"
    STATUS=$?
}

# No scratch files (hidden partial files, writer temporaries) and every TIFF opens completely.
check_clean() {
    folder=$1
    [ -d "$folder" ] || return 0
    leftovers=$(find "$folder" -name '.*' -o -name '*.tif.??????' -o -name '*.part' -o -name '*.partial*')
    [ -z "$leftovers" ] || fail "$2: scratch files left: $leftovers"
    for f in $(find "$folder" -name '*.tif'); do
        tiffinfo -D "$f" >/dev/null 2>&1 || fail "$2: incomplete file under a final name: $f"
    done
}

no_run_folder() {
    left=$(find "$(dirname "$BATCH")/temp_reg" -maxdepth 1 -name "run-$1-*" 2>/dev/null)
    [ -z "$left" ] || fail "$2: registration scratch folder left: $left"
}

# 1. Pool phase.
run_and_signal INT "^progress: [1-9][0-9]*% 预处理中" --raw small/flight --out out-pool --radiance \
    --registration none
[ "$CAUGHT" -eq 1 ] || fail "pool finished before the stop could be sent"
[ "$STATUS" -ne 0 ] || fail "stopped run exited 0"
grep -q "run stopped" err.txt || fail "pool stop not reported: $(tail -3 err.txt)"
check_clean out-pool "pool stop"

# 2. Registration phase (per-group).
run_and_signal INT "结果生成中" --raw small/flight --out out-reg --radiance --registration per-group
[ "$CAUGHT" -eq 1 ] || fail "registration finished before the stop could be sent"
[ "$STATUS" -ne 0 ] || fail "stopped registration exited 0"
check_clean out-reg "registration stop"
no_run_folder "$pid" "registration stop"

# 3. Self-calibration phase: no pool and no outputs follow.
run_and_signal INT "SfM相机标定中" --raw wide/flight --out out-cal --radiance --registration none
[ "$CAUGHT" -eq 1 ] || fail "calibration finished before the stop could be sent"
[ "$STATUS" -ne 0 ] || fail "stopped calibration exited 0"
outputs=$(find out-cal -name '*.tif' 2>/dev/null | wc -l)
[ "$outputs" -eq 0 ] || fail "calibration stop still wrote $outputs files"

# 4. SIGKILL in the pool, then the same run again: the outputs of an uninterrupted run.
"$BATCH" --raw small/flight --out out-ref --radiance --registration none --log-dir logs \
    >/dev/null 2>&1 || fail "reference run failed"
run_and_signal KILL "^progress: [1-9][0-9]*% 预处理中" --raw small/flight --out out-kill --radiance \
    --registration none
[ "$CAUGHT" -eq 1 ] || fail "pool finished before the kill could be sent"
"$BATCH" --raw small/flight --out out-kill --radiance --registration none --log-dir logs \
    >/dev/null 2>&1 || fail "run after the kill failed"
# Only the outputs count: a killed process cannot remove its hidden scratch file, and no scan of
# this program reads hidden files.
(cd out-ref && find . -name '*.tif' ! -name '.*' -exec sha256sum {} + | sort -k2) >ref.sha
(cd out-kill && find . -name '*.tif' ! -name '.*' -exec sha256sum {} + | sort -k2) >kill.sha
[ -s ref.sha ] || fail "reference run wrote nothing"
cmp -s ref.sha kill.sha || fail "outputs after the kill differ: $(diff ref.sha kill.sha | head -5)"

sums small wide >raw-after.sha
cmp -s raw.sha raw-after.sha || fail "raw files changed"
echo "batch stop: all checks passed"

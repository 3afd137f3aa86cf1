#!/bin/sh
# The Slurm recipe for real: a one-node Slurm cluster on this machine (slurm-local.sh), a small
# generated flight submitted with slurm-submit.sh (a prepare job and a dependent 3-task array),
# waited for, and its result folder compared byte for byte with one process run from the same
# flight state. Skips (exit 77) where the daemons cannot run (not root, packages missing).
# Usage: slurm_local_test.sh SAMPLE_PROGRAM BATCH_PROGRAM
set -u
SAMPLE=$1
BATCH=$2
HERE=$(cd "$(dirname "$0")" && pwd)
WORK=$(mktemp -d /tmp/reflectivity-slurm-XXXXXX)
cleanup() {
    "$HERE/slurm-local.sh" stop "$WORK/cluster"
    rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 1' INT TERM
fail() {
    echo "FAIL: $*"
    for f in "$WORK"/out.logs/*.out "$WORK"/cluster/log/slurmctld.log; do
        [ -f "$f" ] && { echo "--- $f"; tail -5 "$f"; }
    done
    exit 1
}

started=$(date +%s)
"$SAMPLE" "$WORK/flight" --type 6 --size 320x240 --captures 3 --no-jpg --no-panels >/dev/null 2>&1 ||
    fail "sample flight not generated"

setup=$("$HERE/slurm-local.sh" start "$WORK/cluster")
rc=$?
if [ $rc -eq 77 ]; then
    echo "SKIP: no local Slurm cluster on this machine (see the line above)"
    exit 77
fi
[ $rc -eq 0 ] || fail "slurm-local.sh start exit $rc"
eval "$setup"
echo "slurm cluster up after $(($(date +%s) - started)) s"

# Prepare job + array of 3 + merge job, waited for.
REFLECTIVITY_BATCH=$BATCH SLURM_WAIT=1 "$HERE/slurm-submit.sh" "$WORK/flight/flight" "$WORK/out" 3 \
    --radiance --registration common >"$WORK/submit.txt" 2>&1 || fail "array ended with an error: $(cat "$WORK/submit.txt")"
echo "slurm jobs done after $(($(date +%s) - started)) s"
cat "$WORK/submit.txt"

[ -s "$WORK/out.state.json" ] || fail "the prepare job wrote no flight state"
for i in 0 1 2; do
    grep -q "^Shard $i/3: 1 of 3 captures" "$WORK"/out.logs/shard-$i-*.out || fail "no end line of shard $i"
    ls "$WORK"/out.logs/shard-$i/*/log_*.txt >/dev/null 2>&1 || fail "no log of shard $i"
done

# One process from the same state: the same files, byte for byte.
"$BATCH" --raw "$WORK/flight/flight" --out "$WORK/one" --radiance --registration common \
    --state "$WORK/out.state.json" --log-dir "$WORK/one.logs" >"$WORK/one.txt" 2>&1 || fail "single run failed"
count=0
for f in "$WORK"/one/flight/*.tif; do
    cmp -s "$f" "$WORK/out/flight/$(basename "$f")" || fail "$(basename "$f") differs between the array and one run"
    count=$((count + 1))
done
[ "$count" -eq 3 ] || fail "expected 3 merged captures, found $count"
[ "$(ls "$WORK"/out/flight/*.tif | wc -l)" -eq 3 ] || fail "the array's result folder holds other images"
# The merge job's report of the whole flight.
grep -q "^Shard reports merged: 3 of 3" "$WORK"/out.logs/merge-*.out || fail "no merge job output"
grep -q 'data-shards="3" data-missing="0"' "$WORK/out/report.html" || fail "the merged report does not cover 3 shards"
[ "$(grep -c 'class="capture"' "$WORK/out/report.html")" -eq 3 ] || fail "the merged report does not show 3 captures"
echo "slurm recipe: 3 shards through Slurm equal one run ($count files), $(($(date +%s) - started)) s in all"

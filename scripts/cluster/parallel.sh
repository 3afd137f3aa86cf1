#!/bin/sh
# One big machine: the prepare step, then SHARDS shards as parallel processes with GNU parallel,
# then their reports merged into OUT_DIR/report.html.
#
#   parallel.sh RAW_DIR OUT_DIR SHARDS [reflectivity-batch options...]
#
# The same as this one line (for 4 shards):
#   reflectivity-batch --raw R --prepare-only --save-state S OPTS && \
#   parallel reflectivity-batch --raw R --out O --state S --shard {}/4 --log-dir L/shard-{} OPTS ::: 0 1 2 3; \
#   reflectivity-batch --merge-reports O --log-dir L/merge
set -eu
if [ $# -lt 3 ]; then
    echo "usage: $0 RAW_DIR OUT_DIR SHARDS [reflectivity-batch options...]" >&2
    exit 2
fi
RAW=$1
OUT=$2
SHARDS=$3
shift 3
BATCH=${REFLECTIVITY_BATCH:-reflectivity-batch}
STATE=${OUT%/}.state.json
LOGS=${OUT%/}.logs
mkdir -p "$LOGS"
"$BATCH" --raw "$RAW" --prepare-only --save-state "$STATE" --log-dir "$LOGS/prepare" "$@"
rc=0
seq 0 $((SHARDS - 1)) | parallel --line-buffer --tagstring 'shard {}' \
    "$BATCH" --raw "$RAW" --out "$OUT" --state "$STATE" --shard "{}/$SHARDS" --log-dir "$LOGS/shard-{}" "$@" || rc=$?
# The flight's report, also when a shard failed (it names the shard); the worse exit code wins.
"$BATCH" --merge-reports "$OUT" --log-dir "$LOGS/merge" || { m=$?; [ $m -gt $rc ] && rc=$m; }
exit $rc

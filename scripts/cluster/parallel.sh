#!/bin/sh
# One big machine: the prepare step, then SHARDS shards as parallel processes with GNU parallel.
#
#   parallel.sh RAW_DIR OUT_DIR SHARDS [reflectivity-batch options...]
#
# The same as this one line (for 4 shards):
#   reflectivity-batch --raw R --prepare-only --save-state S OPTS && \
#   parallel --halt now,fail=1 reflectivity-batch --raw R --out O --state S --shard {}/4 --log-dir L/shard-{} OPTS ::: 0 1 2 3
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
seq 0 $((SHARDS - 1)) | parallel --halt now,fail=1 --line-buffer --tagstring 'shard {}' \
    "$BATCH" --raw "$RAW" --out "$OUT" --state "$STATE" --shard "{}/$SHARDS" --log-dir "$LOGS/shard-{}" "$@"

#!/bin/sh
# Submits a flight to Slurm: one prepare job, then a job array of SHARDS tasks that starts when the
# prepare job has succeeded (--dependency=afterok), then a merge job that combines the shards'
# reports into OUT_DIR/report.html once every task has ended (--dependency=afterany). Prints the
# three job ids.
#
#   slurm-submit.sh RAW_DIR OUT_DIR SHARDS [reflectivity-batch options...]
#
# The options go to every job (for example --panel FILE ... --registration common); the flight
# state is written to OUT_DIR.state.json, logs go to OUT_DIR.logs/. Environment:
#   REFLECTIVITY_BATCH  the batch command (default: reflectivity-batch on the PATH of the nodes)
#   SBATCH_OPTIONS      extra sbatch options for both jobs (partition, account, time limit ...)
#   SLURM_WAIT=1        wait until the merge job has ended; the exit code is then its own (1 when a
#                       shard failed or left no report, or bands need a look)
set -eu
if [ $# -lt 3 ]; then
    echo "usage: $0 RAW_DIR OUT_DIR SHARDS [reflectivity-batch options...]" >&2
    exit 2
fi
HERE=$(cd "$(dirname "$0")" && pwd)
RAW=$(cd "$1" && pwd)
mkdir -p "$2"
OUT=$(cd "$2" && pwd)
SHARDS=$3
shift 3
case $SHARDS in
    ''|*[!0-9]*) echo "$0: SHARDS must be a number" >&2; exit 2 ;;
esac
[ "$SHARDS" -ge 1 ] || { echo "$0: SHARDS must be at least 1" >&2; exit 2; }
STATE=$OUT.state.json
LOGS=$OUT.logs
mkdir -p "$LOGS"
export REFLECTIVITY_BATCH="${REFLECTIVITY_BATCH:-reflectivity-batch}"

# shellcheck disable=SC2086
prepare=$(sbatch --parsable ${SBATCH_OPTIONS:-} --output="$LOGS/prepare-%j.out" \
    "$HERE/slurm-prepare.sbatch" "$RAW" "$STATE" "$LOGS" "$@")
prepare=${prepare%%;*}
# shellcheck disable=SC2086
array=$(sbatch --parsable ${SBATCH_OPTIONS:-} --dependency="afterok:$prepare" --kill-on-invalid-dep=yes \
    --array="0-$((SHARDS - 1))" --output="$LOGS/shard-%a-%A.out" \
    "$HERE/slurm-shard.sbatch" "$RAW" "$OUT" "$STATE" "$LOGS" "$SHARDS" "$@")
array=${array%%;*}
echo "prepare job: $prepare"
echo "shard array: $array (tasks 0-$((SHARDS - 1)))"
wait_flag=
[ "${SLURM_WAIT:-0}" = 1 ] && wait_flag=--wait
rc=0
# shellcheck disable=SC2086
merge=$(sbatch --parsable $wait_flag ${SBATCH_OPTIONS:-} --dependency="afterany:$array" \
    --output="$LOGS/merge-%j.out" "$HERE/slurm-merge.sbatch" "$OUT" "$LOGS") || rc=$?
echo "merge job: ${merge%%;*}"
exit $rc

#!/bin/sh
# A flight state of flight A used on flight B of the same camera: B's merged captures registered as
# well as by B's own run (registration_quality.csv of both), and the time it takes.
#
#   bench/flight_state_reuse.sh [BUILD_DIR] [TYPE] [CAPTURES] [SIZE]
#
# Generates flight A and flight B (same camera and seed, so the same lenses and band misalignment;
# B flown with another overlap over another stretch of ground), then runs, in common mode:
#   1. B's own run (panel, self-calibration where the camera type has it, conversion, matrices);
#   2. A --prepare-only --save-state A.json (what a survey company does once per camera);
#   3. B with --state A.json (B's own panel images; lenses and matrices from A).
# and prints wall and CPU times and the registration quality of both B results. Defaults: type 0
# (1280 x 960, self-calibrated), 6 captures. Work files go to a temporary folder (WORK=DIR keeps them).
set -eu
BUILD=${1:-build}
TYPE=${2:-0}
CAPTURES=${3:-6}
SIZE=${4:-}
SAMPLE=$BUILD/tools/reflectivity-sample
BATCH=$(cd "$(dirname "$BUILD/app/reflectivity-batch")" && pwd)/reflectivity-batch
[ -x "$SAMPLE" ] && [ -x "$BATCH" ] || { echo "build reflectivity-sample and reflectivity-batch in $BUILD first" >&2; exit 2; }
if [ -n "${WORK:-}" ]; then
    mkdir -p "$WORK"
else
    WORK=$(mktemp -d)
    trap 'rm -rf "$WORK"' EXIT
fi
size=
[ -n "$SIZE" ] && size="--size $SIZE"
# shellcheck disable=SC2086
"$SAMPLE" "$WORK/A" --type "$TYPE" $size --captures "$CAPTURES" --no-jpg --no-old-panel >/dev/null
# shellcheck disable=SC2086
"$SAMPLE" "$WORK/B" --type "$TYPE" $size --captures "$CAPTURES" --overlap 0.6 --strips 2 --no-jpg --no-old-panel >/dev/null
panels() { for f in "$1"/panel/*.tif; do printf ' --panel %s' "$f"; done; }

# Runs the batch command, prints "<label>: wall s, CPU s (user + system)"; output in WORK/<label>.txt.
timed() {
    label=$1
    shift
    /usr/bin/time -f "%e %U %S %M" -o "$WORK/$label.time" "$BATCH" "$@" --log-dir "$WORK/logs" >"$WORK/$label.txt" 2>&1 ||
        echo "($label exited $?: bands to look at, or see $WORK/$label.txt)"
    awk -v l="$label" '{printf "%-28s wall %7.1f s   CPU %7.1f s   peak %5.0f MB\n", l, $1, $2 + $3, $4 / 1024}' "$WORK/$label.time"
}

echo "flights: type $TYPE, $CAPTURES captures${SIZE:+, $SIZE}; machine: $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
# shellcheck disable=SC2046
timed "B, own run" --raw "$WORK/B/flight" --out "$WORK/b-own" $(panels "$WORK/B") --registration common
# shellcheck disable=SC2046
timed "A, prepare-only" --raw "$WORK/A/flight" $(panels "$WORK/A") --prepare-only --save-state "$WORK/A.json" \
    --registration common
# shellcheck disable=SC2046
timed "B, with A's state" --raw "$WORK/B/flight" --out "$WORK/b-state" $(panels "$WORK/B") --state "$WORK/A.json" \
    --registration common

python3 - "$WORK/b-own" "$WORK/b-state" <<'EOF'
import csv, glob, statistics, sys

def rows(folder):
    out = {}
    for path in glob.glob(folder + "/**/registration_quality*.csv", recursive=True):
        for r in csv.DictReader(open(path, encoding="utf-8")):
            out[(r["capture"], r["band"])] = r
    return out

own, state = rows(sys.argv[1]), rows(sys.argv[2])
def figures(name, rs):
    verdicts = {}
    for r in rs.values():
        verdicts[r["verdict"]] = verdicts.get(r["verdict"], 0) + 1
    med = [float(r["residual_median_px"]) for r in rs.values() if r["residual_median_px"] not in ("", "nan")]
    p90 = [float(r["residual_p90_px"]) for r in rs.values() if r["residual_p90_px"] not in ("", "nan")]
    print(f"{name:28s} bands {len(rs)}: " + ", ".join(f"{k} {v}" for k, v in sorted(verdicts.items())) +
          (f"; residual median of medians {statistics.median(med):.3f} px, worst median {max(med):.3f} px,"
           f" worst p90 {max(p90):.3f} px" if med else "; nothing measured"))
figures("B, own run", own)
figures("B, with A's state", state)
worse = []
for key, r in sorted(state.items()):
    o = own.get(key)
    if not o or r["residual_median_px"] in ("", "nan") or o["residual_median_px"] in ("", "nan"):
        continue
    if float(r["residual_median_px"]) > float(o["residual_median_px"]) + 0.1:
        worse.append(f"{key[0]} {key[1]}: {o['residual_median_px']} -> {r['residual_median_px']} px")
rank = {"unregistered": 0, "poor": 1, "unmeasured": 2, "good": 3, "reference": 4}
downgraded = [f"{k[0]} {k[1]}: {own[k]['verdict']} -> {r['verdict']}" for k, r in sorted(state.items())
              if k in own and rank.get(r["verdict"], 0) < rank.get(own[k]["verdict"], 0)]
print("bands worse by more than 0.1 px with the state: " + (", ".join(worse) or "none"))
print("bands with a worse verdict with the state: " + (", ".join(downgraded) or "none"))
EOF

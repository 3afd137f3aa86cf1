#!/bin/sh
# Flight state and capture shards as a user runs them: one run against --prepare-only and three
# shards as parallel processes (the same files, byte for byte), a state used on another flight of
# the same camera, and bad input (exit 2, nothing written).
# Usage: cluster_cli_test.sh SAMPLE_PROGRAM BATCH_PROGRAM
set -u
SAMPLE=$1
BATCH=$2
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
trap 'exit 1' INT TERM
fail() { echo "FAIL: $*"; exit 1; }
cd "$WORK" || exit 1

# Flight A and flight B of one camera (B flown with another overlap); C: another camera of the type.
"$SAMPLE" A --type 6 --size 640x480 --captures 4 --no-jpg --no-old-panel >/dev/null 2>&1 || fail "flight A"
"$SAMPLE" B --type 6 --size 640x480 --captures 3 --overlap 0.6 --no-jpg --no-old-panel >/dev/null 2>&1 ||
    fail "flight B"
"$SAMPLE" C --type 6 --size 640x480 --captures 1 --serial CW2401D0099 --no-jpg --no-panels >/dev/null 2>&1 ||
    fail "flight C"
# D: flight A's first capture with one band named otherwise.
mkdir -p D/flight
for f in A/flight/IMG_0001_*; do cp "$f" "D/flight/$(basename "$f" | sed 's/450nm/460nm/')"; done
PA=$(for f in A/panel/*.tif; do printf ' --panel %s' "$f"; done)
PB=$(for f in B/panel/*.tif; do printf ' --panel %s' "$f"; done)

# One run, and --prepare-only + 3 shards as parallel processes into one folder.
# shellcheck disable=SC2086
"$BATCH" --raw A/flight --out one $PA --log-dir logs >one.txt 2>&1 || fail "one run: $(tail -3 one.txt)"
# shellcheck disable=SC2086
"$BATCH" --raw A/flight $PA --prepare-only --save-state A.json --log-dir logs >prepare.txt 2>&1 ||
    fail "prepare: $(tail -3 prepare.txt)"
grep -q "^Flight state written: $WORK/A.json" prepare.txt || fail "prepare summary"
grep -q "common matrices: 5 bands" prepare.txt || fail "no common matrices in the state"
[ "$(ls)" = "$(printf 'A\nA.json\nB\nC\nD\nlogs\none\none.txt\nprepare.txt')" ] || fail "prepare wrote more: $(ls)"
pids=
for i in 0 1 2; do
    "$BATCH" --raw A/flight --out shards --state A.json --shard $i/3 --log-dir logs/shard-$i >shard$i.txt 2>&1 &
    pids="$pids $!"
done
i=0
for pid in $pids; do
    wait "$pid" || fail "shard $i exit $?: $(tail -3 shard$i.txt)"
    i=$((i + 1))
done
grep -q "^Shard 0/3: 2 of 4 captures (0001 0004), 2 merged" shard0.txt || fail "shard 0 line: $(grep Shard shard0.txt)"
grep -q "^Shard 2/3: 1 of 4 captures (0003), 1 merged" shard2.txt || fail "shard 2 line"
for i in 0 1 2; do grep -q "BatchFlight: shard .$i/3" logs/shard-$i/*/log_*.txt || fail "no log of shard $i"; done
# Reports and quality tables describe their own run; everything else must be equal.
results() { (cd "$1" && find . -type f ! -name 'report*.html' ! -name 'report_shard-*.json' ! -name '*.csv' | sort); }
results one >one.list
results shards >shards.list
cmp -s one.list shards.list || fail "different files: $(diff one.list shards.list)"
[ "$(wc -l <one.list)" -eq 4 ] || fail "expected 4 merged captures"
while read -r f; do cmp -s "one/$f" "shards/$f" || fail "$f differs"; done <one.list

# Each shard wrote its own report, which says which shard it was; --merge-reports makes the
# flight's report.html of them: every capture, every band's quality row, every shard.
[ ! -e shards/report.html ] || fail "a shard wrote report.html"
for i in 0 1 2; do
    grep -q "data-shard=\"$i/3\"" shards/report_shard-$i-of-3.html || fail "report of shard $i does not say so"
    grep -q "^Report: $WORK/shards/report_shard-$i-of-3.html" shard$i.txt || fail "shard $i summary: report path"
done
grep -c 'class="capture"' shards/report_shard-0-of-3.html | grep -qx 2 || fail "shard 0 report: not its 2 captures"
"$BATCH" --merge-reports shards --log-dir logs >merge.txt 2>&1 || fail "merge-reports: $(cat merge.txt)"
grep -q "^Shard reports merged: 3 of 3" merge.txt || fail "merge summary: $(cat merge.txt)"
grep -q "^Merged captures: 4 of 4" merge.txt || fail "merge summary captures"
m=shards/report.html
grep -q 'data-shards="3" data-missing="0"' $m || fail "merged report: shards"
[ "$(grep -c 'class="shard"' $m)" -eq 3 ] || fail "merged report: shard table"
[ "$(grep -c 'class="capture"' $m)" -eq 4 ] || fail "merged report: previews"
[ "$(grep -c 'class="capture-point"' $m)" -eq 4 ] || fail "merged report: positions"
[ "$(grep -c '<tr class="q-' one/report.html)" -eq "$(grep -c '<tr class="q-' $m)" ] || fail "merged report: quality rows"
grep -q 'data-outcome="completed"' $m || fail "merged report: outcome"
grep -q 'id="panel-source"' $m || fail "merged report: panel values from the state"
# A missing shard: the report says so, exit 1; no shard reports or another run's: exit 2, nothing written.
mkdir part && cp shards/report_shard-[01]-of-3.* part/
"$BATCH" --merge-reports part --log-dir logs >merge.txt 2>&1
[ $? -eq 1 ] || fail "merge with a shard missing: not exit 1"
grep -q "no report from shard 2/3" merge.txt || fail "merge: missing shard not named"
grep -q 'data-outcome="incomplete"' part/report.html || fail "merged report: not incomplete"
mkdir none
"$BATCH" --merge-reports none --log-dir logs >merge.txt 2>&1
[ $? -eq 2 ] && [ ! -e none/report.html ] || fail "merge of no reports"
grep -q "no shard reports in" merge.txt || fail "merge of no reports: message"
mkdir mixed && cp shards/report_shard-0-of-3.json mixed/ &&
    sed 's/"count": 3/"count": 4/' shards/report_shard-1-of-3.json >mixed/report_shard-1-of-4.json
"$BATCH" --merge-reports mixed --log-dir logs >merge.txt 2>&1
[ $? -eq 2 ] && [ ! -e mixed/report.html ] || fail "merge of two runs"
grep -q "come from different runs: report_shard-0-of-3.json and report_shard-1-of-4.json differ in their shard count" \
    merge.txt || fail "merge of two runs: message $(cat merge.txt)"

# Flight A's state on flight B: lens and matrices from A, the panel measured on B's own images.
# shellcheck disable=SC2086
"$BATCH" --raw B/flight --out b $PB --state A.json --log-dir logs >b.txt 2>&1 || fail "B with A's state: $(tail -3 b.txt)"
grep -q "another flight, panel values from this flight's panel images" b.txt || fail "B: state line"
grep -q "^Merged captures: 3" b.txt || fail "B: merged"
# ... and with A's panel values when asked for (no panel images then).
"$BATCH" --raw B/flight --out b2 --state A.json --reuse-panel --registration none --log-dir logs >b2.txt 2>&1 ||
    fail "B with A's panel values: $(tail -3 b2.txt)"
[ "$(grep '^Panel value per band' b2.txt)" = "$(grep '^Panel value per band' one.txt)" ] || fail "A's panel values not used"

# Bad input: exit 2, a message, no result folder and no state written.
expect2() {
    what=$1
    shift
    "$BATCH" "$@" --out bad --save-state bad.json --log-dir logs >bad.txt 2>&1
    rc=$?
    [ $rc -eq 2 ] || fail "$what: exit $rc ($(tail -2 bad.txt))"
    [ ! -e bad ] && [ ! -e bad.json ] || fail "$what: something was written"
    grep -q "^reflectivity-batch: " bad.txt || fail "$what: no message"
}
expect2 "another camera" --raw C/flight --radiance --state A.json
grep -q "it is of another camera (type 6, serial CW2401D0098; this flight: type 6, serial CW2401D0099)" bad.txt ||
    fail "camera message: $(cat bad.txt)"
expect2 "other bands" --raw D/flight --radiance --state A.json
grep -q "its bands are" bad.txt || fail "bands message"
head -c 700 A.json >cut.json
expect2 "truncated" --raw A/flight --state cut.json
grep -q "cut.json: not a complete JSON text" bad.txt || fail "truncated message"
sed '0,/"darkLevel": /s//"darkLevel": 1/' A.json >edited.json
cmp -s A.json edited.json && fail "edit made no change"
expect2 "edited" --raw A/flight --state edited.json
grep -q "checksum" bad.txt || fail "edited message"
expect2 "shard out of range" --raw A/flight --state A.json --shard 3/3
grep -q "shard index must be" bad.txt || fail "shard message"
expect2 "shard text" --raw A/flight --state A.json --shard one/3
expect2 "no panel for another flight" --raw B/flight --state A.json
grep -q "give this flight's panel images with --panel" bad.txt || fail "panel message"
echo "flight state and shards: all checks passed"

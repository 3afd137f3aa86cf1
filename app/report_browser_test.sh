#!/bin/sh
# The run report as a person sees it: a small generated flight goes through reflectivity-batch,
# chromium (headless) renders report.html to a PNG and dumps its DOM, and the sections and
# figures are checked against the run. Then the terminal progress line, under a pseudo-terminal.
# Usage: report_browser_test.sh SAMPLE_PROGRAM BATCH_PROGRAM [KEEP_DIR]
# KEEP_DIR receives report.png, report.html and the summary for a look afterwards.
set -u
SAMPLE=$(readlink -f "$1")
BATCH=$(readlink -f "$2")
KEEP=${3:-}
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
fail() { echo "FAIL: $*"; exit 1; }
cd "$WORK" || exit 1
command -v chromium >/dev/null || fail "chromium is not installed (scripts/setup-debian.sh installs it)"

"$SAMPLE" gen --type 6 --size 640x480 --captures 2 --no-jpg --no-old-panel >/dev/null 2>&1 \
    || fail "sample flight not generated"

# A reflectance run; the panel images are given as their folder.
"$BATCH" --raw gen/flight --out out --panel gen/panel --log-dir logs >out.txt 2>err.txt \
    || fail "run exit $?: $(tail -3 err.txt)"
grep -q '^\[' out.txt && fail "log lines on standard output: $(grep -m1 '^\[' out.txt)"
grep -q "^Merged captures: 2$" out.txt || fail "summary: $(cat out.txt)"
grep -q "^Converted images: 12$" out.txt || fail "summary: $(cat out.txt)"
grep -q "^Files not converted: 0$" out.txt || fail "summary: $(cat out.txt)"
grep -q "^Bands to look at: " out.txt || fail "summary: $(cat out.txt)"
report=$(sed -n 's/^Report: //p' out.txt)
[ "$report" = "$WORK/out/report.html" ] || fail "report path printed: '$report'"
grep -q 'src="http\|<script' "$report" && fail "the report loads something from outside"

chromium --headless --no-sandbox --disable-gpu --hide-scrollbars --window-size=1280,4200 \
    --screenshot="$WORK/report.png" "file://$report" >/dev/null 2>&1 || fail "chromium could not render the report"
[ -s report.png ] || fail "no screenshot"
chromium --headless --no-sandbox --disable-gpu --dump-dom "file://$report" >dom.html 2>/dev/null \
    || fail "chromium could not load the report"

count() { grep -o "$1" dom.html | wc -l; }
for section in run panel calibration registration previews positions; do
    grep -q "<section id=\"$section\"" dom.html || fail "section $section missing"
done
grep -q 'data-outcome="completed"' dom.html || fail "run state"
grep -q '<tr id="run-merged"><td>Merged captures</td><td><span data-count="2">' dom.html || fail "merged count"
[ "$(count '<figure class="panel-image">')" -eq 6 ] || fail "panel images: $(count '<figure class="panel-image">')"
grep -q 'data:image/jpeg;base64' dom.html || fail "no inlined picture"
[ "$(count 'class="false-colour"')" -eq 2 ] || fail "false-colour previews"
[ "$(count 'class="ndvi"')" -eq 2 ] || fail "NDVI previews"
[ "$(count 'class="capture-point"')" -eq 2 ] || fail "capture positions"
[ "$(count '<tr class="phase">')" -ge 3 ] || fail "phase times"
[ "$(count '<tr class="lens ')" -eq 6 ] || fail "lens rows"
# Registration figures come from registration_quality.csv when the run measured them.
if ls out/flight/registration_quality.csv >/dev/null 2>&1; then
    rows=$(($(wc -l <out/flight/registration_quality.csv) - 1))
    grep -q "data-measured=\"yes\" data-rows=\"$rows\"" dom.html || fail "registration rows"
    [ "$(count '<tr class="q-')" -ge "$rows" ] || fail "registration table"
else
    grep -q 'id="registration-not-measured"' dom.html || fail "registration: not measured"
fi

# A stopped run writes its report too, and says so (stopped as soon as the pool starts).
"$BATCH" --raw gen/flight --out stopped --radiance --registration none --log-dir logs >out2.txt 2>err2.txt &
pid=$!
i=0
while ! grep -q "^progress: " err2.txt 2>/dev/null && [ $i -lt 600 ]; do sleep 0.05; i=$((i + 1)); done
kill -INT $pid 2>/dev/null
wait $pid
[ -f stopped/report.html ] || fail "no report after a stop"
grep -q 'data-outcome="stopped"\|data-outcome="completed"' stopped/report.html || fail "stopped report state"

# On a terminal: one updating line (carriage returns, a bar), no "progress:" lines.
script -qec "'$BATCH' --raw gen/flight --out tty --radiance --registration none --log-dir logs" tty.txt \
    >/dev/null 2>&1 || fail "run under a terminal: $(tail -c 400 tty.txt)"
grep -q "progress: " tty.txt && fail "progress lines on a terminal"
tr '\r' '\n' <tty.txt | grep -q '\[#*-*\] 100% ' || fail "no progress bar: $(tail -c 400 tty.txt)"

if [ -n "$KEEP" ]; then
    mkdir -p "$KEEP"
    cp report.png "$report" out.txt "$KEEP"/
fi
echo "run report: all checks passed"

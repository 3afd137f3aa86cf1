#!/bin/sh
# reflectivity-batch as a user runs it: exit codes, "TITLE: TEXT" lines, progress lines, outputs.
# Usage: batch_cli_test.sh SAMPLE_PROGRAM BATCH_PROGRAM
set -u
SAMPLE=$1
BATCH=$2
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

"$SAMPLE" "$WORK/flight" --type 6 --size 640x480 --captures 2 --no-jpg --no-old-panel >/dev/null 2>&1 \
    || fail "sample flight not generated"
cd "$WORK" || exit 1

# A radiance run without registration: exit 0, progress to 100 %, every band converted.
"$BATCH" --raw flight/flight --out "结果 目录" --radiance --registration none --log-dir logs \
    >out.txt 2>err.txt || fail "radiance run exit $?: $(grep -v '^\[' err.txt | tail -3)"
grep -q "^progress: 100% " err.txt || fail "no final progress line"
converted=$(ls "结果 目录/flight"/*_Correct.tif | wc -l)
[ "$converted" -eq 12 ] || fail "expected 12 corrected bands, found $converted"
grep -q "^Converted images: 12" out.txt || fail "summary missing"
ls logs/*/log_*.txt >/dev/null 2>&1 || fail "no log file under --log-dir"

# A reflectance run without panel images is refused with the window's message and a non-zero exit.
if "$BATCH" --raw flight/flight --out out2 --registration none >out.txt 2>err.txt; then
    fail "run without panels succeeded"
fi
grep -q "^提醒: 请确认标定板影像文件已经添加完成！" err.txt || fail "refusal text missing: $(tail -2 err.txt)"

# An incomplete panel group is refused before the run.
if "$BATCH" --raw flight/flight --out out3 --panel flight/panel/IMG_0000_1_450nm.tif >out.txt 2>err.txt; then
    fail "incomplete panel group accepted"
fi
grep -q "^提示: 普通影像数量应为6的整数倍（最多18个）！" err.txt || fail "panel count text missing"

# Bad arguments.
"$BATCH" --out x >/dev/null 2>&1 && fail "missing --raw accepted"
"$BATCH" --raw flight/flight --out x --registration sideways >/dev/null 2>&1 && fail "bad mode accepted"
echo "batch command: all checks passed"

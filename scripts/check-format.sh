#!/bin/sh
# Checks that the C++ lines changed since BASE follow .clang-format; exits 1 and prints the changes
# clang-format wants when they do not.
#
#   scripts/check-format.sh [BASE]        BASE: a commit or branch, default main (compared from the
#                                         merge base, with uncommitted changes included)
#   scripts/check-format.sh --fix [BASE]  formats those lines in place
#
# Only changed lines are checked: about 120 of the 280 C++ files predate .clang-format, and
# formatting them all at once would collide with every branch in flight. They come into line as they
# are touched.
set -eu
cd "$(dirname "$0")/.."
FIX=0
if [ "${1:-}" = "--fix" ]; then
    FIX=1
    shift
fi
BASE=$(git merge-base "${1:-main}" HEAD)
if [ "$FIX" = 1 ]; then
    # --force: the files may have unstaged changes; only the changed lines are rewritten.
    git clang-format --force --quiet "$BASE" -- '*.cpp' '*.h' >/dev/null
    exit 0
fi
DIFF=$(git clang-format --diff "$BASE" -- '*.cpp' '*.h')
case "$DIFF" in
    "" | "no modified files to format" | "clang-format did not modify any files") exit 0 ;;
esac
printf '%s\n' "$DIFF"
echo "check-format: the lines above do not follow .clang-format (scripts/check-format.sh --fix)" >&2
exit 1

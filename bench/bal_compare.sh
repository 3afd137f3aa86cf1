#!/bin/sh
# Runs bal-solve and SciPy's least_squares on the same BAL problem, one after the other,
# and prints each program's JSON line followed by its wall and CPU seconds.
# usage: bal_compare.sh BAL-SOLVE-BINARY FILE [--loss linear|huber] [--threads N] [--runs N]
set -eu
bin=$1
file=$2
shift 2
loss=linear
threads=2
runs=1
while [ $# -gt 0 ]; do
    case $1 in
    --loss) loss=$2; shift 2 ;;
    --threads) threads=$2; shift 2 ;;
    --runs) runs=$2; shift 2 ;;
    *) echo "bal_compare.sh: unknown option $1" >&2; exit 2 ;;
    esac
done
here=$(dirname "$0")
i=0
while [ "$i" -lt "$runs" ]; do
    /usr/bin/time -f "bal-solve wall %e s, cpu %U s user + %S s sys" \
        "$bin" "$file" --loss "$loss" --threads "$threads"
    /usr/bin/time -f "scipy wall %e s, cpu %U s user + %S s sys" \
        /usr/bin/python3 "$here/bal_scipy.py" "$file" --loss "$loss"
    i=$((i + 1))
done

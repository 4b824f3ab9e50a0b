#!/bin/sh
# What two threads can give on this machine, next to what they give: the
# Wiener stage alone on one thread, then two one-thread calls in two
# processes at once (no shared work, no waiting on each other), then one call
# on two threads.
#
#   bench/two_cores.sh [--bench PATH] [--runs N] SIZE...
#
# SIZE is the side of the square workload (default: 512 1024). When both
# cores are busy each runs slower than alone (they share the last cache and
# the memory bus, and a virtual machine's two cores may share more), so
# 2 x alone / side-by-side is the most two threads can give here: the
# ceiling. The engine's own loss is the speed-up's distance below it.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
bench="$here/../build/bench/sorvik_bench"
runs=3
sizes=""
while [ $# -gt 0 ]; do
    case "$1" in
    --bench) bench=$2; shift 2 ;;
    --runs) runs=$2; shift 2 ;;
    -h|--help) sed -n '2,13p' "$0"; exit 0 ;;
    -*) echo "two_cores.sh: unknown option $1" >&2; exit 2 ;;
    *) sizes="$sizes $1"; shift ;;
    esac
done
[ -n "$sizes" ] || sizes="512 1024"
[ -x "$bench" ] || { echo "two_cores.sh: no $bench (cmake --build build --target sorvik_bench)" >&2; exit 2; }
[ "$(nproc)" -ge 2 ] || { echo "two_cores.sh: needs two processors, this machine has $(nproc)" >&2; exit 2; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The median wall seconds that sorvik_bench --calls-only prints last.
seconds() { tail -n 1 "$1" | sed -n 's/^size [0-9]*: \([0-9.]*\) s,.*/\1/p'; }

echo "| size | alone s | side by side s (each) | ceiling | 2 threads s | speed-up | of the ceiling |"
echo "|---|---|---|---|---|---|---|"
for size in $sizes; do
    run() { "$bench" --sizes "$size" --runs "$runs" --calls-only "$@"; }
    run --threads 1 > "$work/alone"
    run --threads 1 > "$work/a" & first=$!
    run --threads 1 > "$work/b"
    wait "$first"
    run --threads 2 > "$work/two"
    awk -v size="$size" -v alone="$(seconds "$work/alone")" -v a="$(seconds "$work/a")" \
        -v b="$(seconds "$work/b")" -v two="$(seconds "$work/two")" 'BEGIN {
        ceiling = 2 * alone / ((a + b) / 2); speedup = alone / two
        printf "| %s | %.3f | %.3f, %.3f | %.2f x | %.3f | %.2f x | %.0f %% |\n",
               size, alone, a, b, ceiling, two, speedup, 100 * speedup / ceiling }'
done

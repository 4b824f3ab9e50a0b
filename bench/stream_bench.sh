#!/bin/sh
# Time (wall-clock and CPU) and peak memory of `sorvik denoise` on large
# 16-bit grey images, streamed within the default memory budget against the
# whole image in memory, and whether both give the same pixels.
#
#   bench/stream_bench.sh [--tool PATH] [--work DIR] [--threads N] [--modes "stream memory"] SIZE...
#
# SIZE is the side of a square image (default: 4000 16000). Each image is the
# bundled photograph mirrored and tiled to the size, plus Gaussian noise of
# sigma 20 of 255 from a fixed seed (oiiotool makes it; the image library's
# own tool). Outputs are compared pixel by pixel (their headers hold the
# time they were written). The in-memory run gets --memory 20G: a 16000 x
# 16000 image takes several gigabytes that way. Needs /usr/bin/time (GNU
# time) for the peak.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
tool="$here/../build/cli/sorvik"
work="${TMPDIR:-/tmp}/sorvik-stream-bench"
threads=2
modes="stream memory"
sizes=""
while [ $# -gt 0 ]; do
    case "$1" in
    --tool) tool=$2; shift 2 ;;
    --work) work=$2; shift 2 ;;
    --threads) threads=$2; shift 2 ;;
    --modes) modes=$2; shift 2 ;;
    -h|--help) sed -n '2,15p' "$0"; exit 0 ;;
    -*) echo "stream_bench.sh: unknown option $1" >&2; exit 2 ;;
    *) sizes="$sizes $1"; shift ;;
    esac
done
[ -n "$sizes" ] || sizes="4000 16000"
mkdir -p "$work"

# The photograph and its mirror images make a 1024 x 1024 tile whose copies
# join without a seam; 16 x 16 of them cover 16000 x 16000.
make_image() {
    side=$1 out=$2
    [ -f "$out" ] && return 0
    copies=$(( (side + 1023) / 1024 ))
    dups=""
    n=1
    while [ $n -lt $(( copies * copies )) ]; do dups="$dups --dup"; n=$((n + 1)); done
    # shellcheck disable=SC2086
    oiiotool "$here/../data/camera.png" --ch 0 -d float \
        --dup --flop --mosaic 2x1 --dup --flip --mosaic 1x2 \
        $dups --mosaic "${copies}x${copies}" --cut "${side}x${side}+0+0" \
        --noise:type=gaussian:mean=0:stddev=0.0784313725:seed=1 \
        -d uint16 --compression none -o "$out"
}

printf "%-8s %-8s %10s %12s %12s %s\n" size mode seconds "CPU seconds" "max RSS MB" "same pixels"
for side in $sizes; do
    image="$work/noisy-$side.tif"
    make_image "$side" "$image"
    first=""
    for mode in $modes; do
        out="$work/out-$side-$mode.tif"
        memory=""
        [ "$mode" = memory ] && memory="--memory 20G"
        # shellcheck disable=SC2086
        /usr/bin/time -f '%e %U %S %M' -o "$work/time-$side-$mode" \
            "$tool" denoise "$image" -o "$out" --threads "$threads" --max-pixels 0 --quiet $memory
        read -r seconds user system kb < "$work/time-$side-$mode"
        same=""
        if [ -n "$first" ]; then
            if oiiotool -q --diff "$first" "$out" >/dev/null 2>&1; then same=yes; else same=NO; fi
        fi
        [ -n "$first" ] || first=$out
        cpu=$(echo "$user $system" | awk '{ printf "%.1f", $1 + $2 }')
        printf '%-8s %-8s %10s %12s %12s %s\n' "$side" "$mode" "$seconds" "$cpu" "$((kb / 1024))" "$same"
    done
done

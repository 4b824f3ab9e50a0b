#!/usr/bin/env bash
# Builds the libFuzzer harnesses (fuzz/) with clang, AddressSanitizer and
# UndefinedBehaviorSanitizer in a tree of their own, and runs each for a
# bounded time, starting from its seed corpus in fuzz/corpus/<harness>/.
# New inputs go to <build>/corpus/<harness>/, never into the repository; a
# crash leaves its input as <build>/<harness>-crash-* and fails the script.
# Usage: bash scripts/fuzz.sh [build-dir] [seconds-per-harness]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-fuzz}
seconds=${2:-60}
instrument="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_FLAGS="$instrument" -DCMAKE_CXX_FLAGS="$instrument" \
  -DSORVIK_FUZZ=ON -DSORVIK_WITH_I386=OFF -DSORVIK_OCTAVE=OFF \
  -DSORVIK_BUILD_CLI=OFF -DSORVIK_BUILD_PYTHON=OFF -DSORVIK_WERROR=ON
cmake --build "$build" -j2 --target filter_fuzz host_fuzz image_fuzz
for harness in filter host image; do
  work="$build/corpus/$harness"
  mkdir -p "$work"
  echo "== ${harness}_fuzz for ${seconds}s"
  # One process; -timeout catches a call that hangs, -rss_limit_mb one that
  # allocates without bound.
  "$build/fuzz/${harness}_fuzz" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=4096 \
    -print_final_stats=1 -artifact_prefix="$build/${harness}-" "$work" "fuzz/corpus/$harness"
done

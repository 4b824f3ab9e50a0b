#!/usr/bin/env bash
# Installs what the build needs, builds everything and runs every test.
# Usage: bash scripts/test-all.sh [build-dir]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
bash .ci/install-deps
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DPython3_EXECUTABLE=/usr/bin/python3 -DSORVIK_OCTAVE=ON -DSORVIK_WERROR=ON
cmake --build "$build" -j2
ctest --test-dir "$build" --output-on-failure -j2
# Every C++ test again under AddressSanitizer and UndefinedBehaviorSanitizer,
# the threaded tests under ThreadSanitizer, then the fuzz harnesses for a
# minute each; each in a tree of its own.
bash scripts/sanitize.sh "$build-asan"
bash scripts/tsan.sh "$build-tsan"
bash scripts/fuzz.sh "$build-fuzz" 60

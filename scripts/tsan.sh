#!/usr/bin/env bash
# Builds the filter's tests with ThreadSanitizer in a tree of its own and runs
# the tests that use threads: every thread count against one thread (spectra
# computed ahead among them), the progress reports, plans made on first use
# by helpers, helpers that cannot be had, the several-frame walk of stacks,
# and the noise models measured side by side. Only the filter's and the
# denoiser's tests are built; the modules and front ends add no threads of
# their own.
# Usage: bash scripts/tsan.sh [build-dir]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-tsan}
sanitizers="-fsanitize=thread -fno-omit-frame-pointer"
CC=gcc CXX=g++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_FLAGS="$sanitizers" -DCMAKE_CXX_FLAGS="$sanitizers" \
  -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=thread" \
  -DSORVIK_WITH_I386=OFF -DSORVIK_OCTAVE=OFF -DSORVIK_BUILD_PYTHON=OFF -DSORVIK_WERROR=ON
cmake --build "$build" -j2 --target filter_tests denoise_tests
# The address-space test is left out: the sanitizer's shadow memory does not
# fit under its limit.
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
  "$build/tests/filter/filter_tests" \
  --gtest_filter='Exactness.OutputIsTheSameForEveryThreadCount:Exactness.SpectraComputedAhead*:Exactness.EveryThreadCount*:Exactness.GroupLengthsPlannedOnFirstUse:GroupPlans.PlanFailureOnFirstUseIsReported:Exactness.ProfiledThreads*:Threads.*:Channels.*:GroupedThreshold.*'
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
  "$build/tests/denoise/denoise_tests" --gtest_filter='Stack.SameBitsForAnyThreadCountAndBothPilots:NoiseModel.SameModelAndSameRefusalOnAnyThreadCount'

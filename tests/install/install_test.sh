#!/usr/bin/env bash
# `cmake --install` into a fresh prefix, then what each kind of user does
# with it: another CMake project finds and links the filter library; the
# MATLAB/Octave folder holds the MEX modules with their help files and Octave
# runs them from there; Python imports the package from the prefix.
# Usage: install_test.sh BUILD_DIR SOURCE_DIR [OCTAVE] [PYTHON]
set -euo pipefail
build=$1 source=$2 octave=${3:-} python=${4:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" > "$work/install.log"

cmake -S "$source/tests/install/consumer" -B "$work/consumer" -DCMAKE_PREFIX_PATH="$prefix" > /dev/null
cmake --build "$work/consumer" > /dev/null
"$work/consumer/consumer"

matlab=$prefix/share/sorvik/matlab
for f in sorvik.mexa64 sorvik.m sorvik_denoise.m; do
  [ -f "$matlab/$f" ] || { echo "missing $matlab/$f"; exit 1; }
done
[ -f "$prefix/include/sorvik/sorvik.h" ] && [ -f "$prefix/share/sorvik/data/camera.png" ]
if [ -x "$build/cli/sorvik" ]; then [ -x "$prefix/bin/sorvik" ]; fi

if [ -n "$octave" ]; then
  "$octave" --no-gui --no-window-system --norc --no-history --quiet --eval "
    addpath ('$matlab');
    assert (! isempty (strfind (which ('sorvik_denoise'), '$matlab')));
    assert (! isempty (strfind (evalc ('help sorvik_denoise'), 'imread')));
    J = sorvik_denoise (uint8 (128 + 20 * randn (64, 64)), 20);
    assert (class (J), 'uint8');"
fi
if [ -n "$python" ]; then
  site=$(find "$prefix" -type d -name sorvik -path '*-packages/*' | head -n 1)
  [ -n "$site" ] || { echo "no Python package in $prefix"; exit 1; }
  (cd "$work" && PYTHONPATH=$(dirname "$site") "$python" -c "
import numpy as np, sorvik
assert sorvik.__file__.startswith('$prefix'), sorvik.__file__
out = sorvik.denoise((128 + 20 * np.random.default_rng(1).standard_normal((64, 64))).clip(0, 255).astype(np.uint8), 20)
assert out.dtype == np.uint8")
fi
echo "installed and used from $prefix"

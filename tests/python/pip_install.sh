#!/usr/bin/env bash
# The Python package as a user installs it: a copy of the source tree,
# `pip install --no-build-isolation` into a virtual environment that sees
# Debian's packages, then an import and a call from outside the tree.
# Usage: pip_install.sh PYTHON SOURCE_DIR
set -euo pipefail
python=$1 source=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/src"
tar -C "$source" --exclude='./build*' --exclude=./.git -cf - . | tar -C "$work/src" -xf -
# Without cmake and a compiler on the PATH, the build names the packages.
if message=$(cd "$work/src" && PATH=/nonexistent "$python" setup.py -q build_ext 2>&1); then
  echo "the build succeeded without cmake"; exit 1
fi
grep -q "apt-get install cmake g++" <<<"$message" || { echo "$message"; exit 1; }
"$python" -m venv --system-site-packages "$work/venv"
"$work/venv/bin/python" -m pip install --quiet --no-build-isolation --no-index "$work/src"
cd "$work"
"$work/venv/bin/python" - <<'PY'
import numpy as np
import sorvik

assert "/venv/" in sorvik.__file__, sorvik.__file__
rng = np.random.default_rng(1)
clean = np.tile(np.linspace(0.2, 0.8, 48), (48, 1))
noisy = clean + 0.05 * rng.standard_normal(clean.shape)
estimate = sorvik.wiener(noisy, sorvik.basic_estimate(noisy, 0.05), 0.05)
assert estimate.shape == clean.shape and estimate.dtype == np.float32
assert np.abs(estimate - clean).mean() < np.abs(noisy - clean).mean() / 2
print("installed", sorvik.__version__, "from", sorvik.__file__)
PY

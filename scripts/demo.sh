#!/usr/bin/env bash
# Installs what the build needs, builds the command-line tool and runs its
# demo on the bundled colour photograph (data/astronaut.png): noise of sigma
# 25 of 255 added, denoised in one call, PSNRs printed. Extra arguments go to
# `sorvik demo`.
# Usage: bash scripts/demo.sh [--output-dir DIR] [--image FILE] [--sigma S] [--seed N]
set -euo pipefail
cd "$(dirname "$0")/.."
bash .ci/install-deps
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DPython3_EXECUTABLE=/usr/bin/python3
cmake --build build -j2 --target sorvik_cli
if [ "$#" -eq 0 ]; then
  set -- --output-dir demo-out
fi
build/cli/sorvik demo "$@"

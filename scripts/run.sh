#!/usr/bin/env bash
# Builds the system and runs its main job.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake -S . -B build -DVORN_TESTS=OFF -DVORN_BENCH=OFF >/dev/null
cmake --build build -j"$(nproc)"
exec build/bin/vorndemo "${@}"

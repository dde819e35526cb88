#!/usr/bin/env bash
# Builds everything and runs every test.
#   scripts/test.sh [BUILD_DIR]   (VORN_SANITIZE=address,undefined or thread to sanitize;
#                                  CTEST_ARGS to select tests, e.g. "-R server_";
#                                  VORN_WERROR=ON to fail on warnings)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
dir=${1:-build}
cmake -S . -B "$dir" -DVORN_TESTS=ON -DVORN_BENCH=ON -DVORN_SANITIZE="${VORN_SANITIZE:-}" \
  -DVORN_WERROR="${VORN_WERROR:-OFF}" >/dev/null
cmake --build "$dir" -j"$(nproc)"
# shellcheck disable=SC2086
ctest --test-dir "$dir" --output-on-failure -j"$(nproc)" ${CTEST_ARGS:-}

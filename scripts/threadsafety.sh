#!/usr/bin/env bash
# Compiles the server with clang's thread-safety analysis as errors: every member a mutex
# guards (GUARDED_BY) is reached with that mutex held, every REQUIRES is met.
#   scripts/threadsafety.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh clang
dir=${1:-build-tsa}
CC=clang CXX=clang++ cmake -S . -B "$dir" -DVORN_THREAD_SAFETY=ON -DVORN_TESTS=OFF \
  -DVORN_BENCH=OFF >/dev/null
cmake --build "$dir" -j"$(nproc)" --target vornserver
echo "thread safety: clean"

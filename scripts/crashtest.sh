#!/usr/bin/env bash
# Kills the server under writing clients ROUNDS times (default 100) and checks after each
# crash that the file is sound and that nothing acknowledged was lost.
#   scripts/crashtest.sh [ROUNDS] [BUILD_DIR]
# VORN_SERVER=path/to/vornserv tests another build of the server with the same clients
# (without the durable-mode rounds, which it may not know).
set -euo pipefail
cd "$(dirname "$0")/.."
rounds=${1:-100}
dir=${2:-build}
cmake -S . -B "$dir" -DVORN_TESTS=ON >/dev/null
cmake --build "$dir" -j"$(nproc)" --target vornserv server_crash
VORN_CRASH_ROUNDS=$rounds "$dir/bin/server_crash"

#!/usr/bin/env bash
# The format check and clang-tidy over the project's sources.
#   scripts/lint.sh [BUILD_DIR]   (BUILD_DIR gets a configure with compile_commands.json)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh clang clang-format clang-tidy
dir=${1:-build-lint}

# Every C and C++ file in the tree, formatted as .clang-format says.
mapfile -t all < <(git ls-files '*.c' '*.cpp' '*.h')
clang-format --dry-run -Werror "${all[@]}"

# clang-tidy reads the compile commands of a configured build; only generated headers are built.
cmake -S . -B "$dir" -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DVORN_TESTS=OFF -DVORN_BENCH=OFF >/dev/null
# The project's own sources; tests and benchmarks follow their frameworks' idioms, and the
# Win32 side needs the MinGW headers.
mapfile -t srcs < <(git ls-files '*.c' '*.cpp' | grep -v -e '^tests/' -e '^bench/' -e '/win32/' -e '^fuzz/')
run-clang-tidy -quiet -p "$dir" -j"$(nproc)" "${srcs[@]}" >"$dir/clang-tidy.log" 2>&1 || {
  grep -E '(error|warning):' "$dir/clang-tidy.log" || cat "$dir/clang-tidy.log"
  exit 1
}
echo "lint: clean"

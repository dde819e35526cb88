#!/usr/bin/env bash
# Builds the Windows programs with MinGW-w64 into their own build folder (default build-win):
# bin/vornlink.dll (import library lib/vornlink.lib), bin/vornserv.exe, bin/install.exe, the
# operators' tools and, with VORN_TESTS=ON (the default), the test programs.
#   scripts/build-windows.sh [BUILD_DIR]
# Installs the cross compiler, Wine and the GoogleTest sources when they are missing (Debian).
set -euo pipefail
cd "$(dirname "$0")/.."
pkgs=(cmake make g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine wine64 googletest)
missing=()
for p in "${pkgs[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -q
  $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
dir=${1:-build-win}
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
cmake -S . -B "$dir" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DVORN_TESTS="${VORN_TESTS:-ON}" \
  -DVORN_BENCH=OFF "${launcher[@]}" >/dev/null
cmake --build "$dir" -j"$(nproc)"

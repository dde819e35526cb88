#!/usr/bin/env bash
# Installs clang and its tools (format, tidy) when missing (Debian): the lint and the
# thread-safety build need them.
set -euo pipefail
pkgs=(clang clang-format clang-tidy)
missing=()
for p in "${pkgs[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -q
  $SUDO apt-get install -y -q "${missing[@]}"
fi

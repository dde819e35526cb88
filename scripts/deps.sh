#!/usr/bin/env bash
# Installs what building and testing need, when it is missing (Debian).
set -euo pipefail
pkgs=(cmake g++ make libgtest-dev libsqlite3-dev liblmdb-dev)
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

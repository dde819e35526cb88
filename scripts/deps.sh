#!/usr/bin/env bash
# Installs what building and testing need, when it is missing (Debian). Packages given as
# arguments are installed too (scripts/fuzz.sh adds clang's).
set -euo pipefail
# systemd: its systemd-analyze checks the units that install writes.
pkgs=(cmake g++ make libgtest-dev libsqlite3-dev liblmdb-dev pkg-config systemd "$@")
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

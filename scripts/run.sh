#!/usr/bin/env bash
# Builds the system and starts the database server in the foreground on a demo database.
#   scripts/run.sh [vornserv options]
# Without options the server listens on 127.0.0.1:2000 and also writes its events to
# demo/vornserv.log. Its working directory is demo/, where demo.vdb (made by vorn demo when
# missing) and the status interface's audit log vornaudt.log live. Ctrl-C stops it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake -S . -B build -DVORN_TESTS=OFF -DVORN_BENCH=OFF >/dev/null
cmake --build build -j"$(nproc)"
mkdir -p demo
if [ ! -f demo/demo.vdb ]; then
  (cd demo && ../build/bin/vorn demo demo.vdb >/dev/null)
  echo "made the demo database demo/demo.vdb"
fi
if [ $# -eq 0 ]; then
  set -- --listen 127.0.0.1:2000 --event-log vornserv.log
fi
cd demo
exec ../build/bin/vornserv "$@"

#!/usr/bin/env bash
# Builds the Windows programs and tests them under Wine, against the Linux build:
#   1. the engine, library and Windows test programs (ctest in the Windows build folder);
#   2. interoperation: one operation sequence (tests/interop/vornseq.c) run four ways, the
#      Linux library and the Windows DLL each against the Linux server and against
#      vornserv.exe --foreground under Wine, gives four byte-identical files, each of which
#      passes the integrity check and reads back on both systems;
#   3. the service: install.exe registers vornserv.exe with Wine's service manager, "net
#      start" starts it, the status pipe answers a Windows client, a Linux client works
#      through it, pause, continue, interrogate and stop go through the service manager, and
#      the stop leaves the client's open file closed and sound.
#   scripts/test-windows.sh [WINDOWS_BUILD_DIR [LINUX_BUILD_DIR]]   (build-win, build)
# Installs MinGW-w64 and Wine when they are missing. Wine runs with WINEDEBUG=-all in a
# prefix inside the Windows build folder; its wineserver is ended at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
win=$root/${1:-build-win}
linux=$root/${2:-build}

scripts/build-windows.sh "${1:-build-win}"
scripts/deps.sh
# Configure again when the folder exists, so that targets added since its last build are known.
if [ -f "$linux/CMakeCache.txt" ]; then
  cmake -S . -B "$linux" >/dev/null
else
  cmake -S . -B "$linux" -DVORN_BENCH=OFF >/dev/null
fi
cmake --build "$linux" -j"$(nproc)" --target vornserv vornlink vorn vornseq

export WINEDEBUG=-all WINEPREFIX=$win/wineprefix
wbin=$win/bin
lbin=$linux/bin
work=$win/wintest
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wine sc delete VORNService >/dev/null 2>&1 || true
  wineserver -k 2>/dev/null || true
}
trap cleanup EXIT
fail() {
  echo "test-windows: FAILED: $*" >&2
  exit 1
}
step() { echo "== $*"; }

# One wineserver for the whole run (starting one per program costs seconds each).
mkdir -p "$WINEPREFIX"
wineserver -p
wine cmd /c exit >/dev/null 2>&1 || true # fills the prefix on the first run

step "unit tests under Wine"
# Now and then Wine fails to start a program at all (no output, at once); a test that really
# fails does so on its second run too.
ctest --test-dir "$win" --output-on-failure -j1 --repeat until-pass:2

# ---- helpers ---------------------------------------------------------------------------------
# Waits until FILE holds a "listening on" line and prints its port.
portof() {
  for _ in $(seq 150); do
    if grep -q 'listening on' "$1" 2>/dev/null; then
      sed -n 's/.*listening on [0-9.]*:\([0-9]*\).*/\1/p' "$1" | tr -d '\r'
      return 0
    fi
    sleep 0.2
  done
  cat "$1" >&2
  return 1
}
# A TCP port nobody listens on.
freeport() {
  local p
  for _ in $(seq 50); do
    p=$((20000 + RANDOM % 40000))
    if ! (exec 3<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null; then
      echo "$p"
      return 0
    fi
  done
  return 1
}
# Starts a server of the given kind (linux or windows) in DIR; sets port and serverpid.
startserver() {
  local kind=$1 dir=$2
  mkdir -p "$dir"
  if [ "$kind" = linux ]; then
    (cd "$dir" && exec "$lbin/vornserv" --listen 127.0.0.1:0 --pipe "vornlx$$" >server.out 2>&1) &
    serverpid=$!
  else
    mkfifo "$dir/control"
    (cd "$dir" && exec timeout 300 wine "$wbin/vornserv.exe" --foreground --listen 127.0.0.1:0 \
      --pipe "vornwin$$" --event-log events.log <control >server.out 2>&1) &
    serverpid=$!
    exec 7>"$dir/control" # held open: the server reads its control words from it
  fi
  pids+=("$serverpid")
  port=$(portof "$dir/server.out") || fail "$kind server in $dir did not start"
}
stopserver() {
  local kind=$1
  if [ "$kind" = linux ]; then
    kill -TERM "$serverpid"
  else
    # Every control word once before the stop; the event log shows each report (below).
    printf 'pause\npause\ncontinue\ninterrogate\nstop\n' >&7
    exec 7>&-
  fi
  wait "$serverpid" || fail "$kind server did not stop cleanly"
}
# The reports of a console server's life, in order, as its event log file has them.
expectedreports='Start pending, check point 1
Start pending, check point 2
Running
Service started successfully.
Pause pending, check point 1
Paused
Paused
Continue pending, check point 1
Running
Running
Stop pending, check point 1
Stop Service
Stopped'
reportsof() { sed -n 's/.*: \(Service status: \)\{0,1\}//p' "$1" | tr -d '\r'; }
runseq() { # runseq linux|windows ARGS...
  local kind=$1
  shift
  if [ "$kind" = linux ]; then "$lbin/vornseq" "$@"; else wine "$wbin/vornseq.exe" "$@"; fi
}
check() { # check linux|windows FILE
  if [ "$1" = linux ]; then
    "$lbin/vorn" check "$2" >/dev/null
  else
    wine "$wbin/vorn.exe" check "$2" >/dev/null
  fi
}

# ---- interoperation ----------------------------------------------------------------------------
step "interoperation: one sequence, four ways"
rm -rf "$work"
mkdir -p "$work"
for server in linux windows; do
  for client in linux windows; do
    dir=$work/$client-to-$server
    startserver "$server" "$dir"
    (cd "$dir" && runseq "$client" write "127.0.0.1:$port" interop.vdb) ||
      fail "$client client against the $server server"
    stopserver "$server"
    echo "$client client -> $server server: done"
  done
done
reference=$work/linux-to-linux/interop.vdb
for dir in "$work"/*-to-*; do
  cmp "$reference" "$dir/interop.vdb" || fail "$dir/interop.vdb differs from $reference"
  for side in linux windows; do
    check "$side" "$dir/interop.vdb" || fail "$side integrity check of $dir/interop.vdb"
    (cd "$dir" && runseq "$side" read interop.vdb >/dev/null) || fail "$side read of $dir"
  done
done
echo "four byte-identical files, sound and readable on both systems"
for dir in "$work"/*-to-windows; do
  [ "$(reportsof "$dir/events.log")" = "$expectedreports" ] ||
    fail "reports of $dir: $(reportsof "$dir/events.log")"
done
echo "the console servers reported every state, check point and control in order"

# ---- the service -------------------------------------------------------------------------------
step "the service under Wine's service manager"
svc=$work/service
mkdir -p "$svc"
# Wine ends services when no other program runs: this one keeps it company.
wine "$wbin/vornwinctl.exe" hold 600 >/dev/null 2>&1 &
pids+=($!)
wine sc delete VORNService >/dev/null 2>&1 || true
svcport=$(freeport) || fail "no free port"
exe="$(winepath -w "$wbin/vornserv.exe") --listen 127.0.0.1:$svcport --event-log $(winepath -w "$svc")\\events.log"
out=$(wine "$wbin/install.exe" VORNService "VORN Service" "$exe" | tr -d '\r')
[ "$out" = $'Starting...\nService installed\nEnding...' ] || fail "install.exe said: $out"
set +e
out=$(wine "$wbin/install.exe" VORNService "VORN Service" "$exe" | tr -d '\r')
rc=$?
set -e
[ "$out" = $'Starting...\nIn CreateService\nError number: 1073' ] || fail "second install said: $out"
[ "$rc" -eq $((1073 % 256)) ] || fail "second install exited with $rc" # a shell sees 8 bits
wine net start VORNService | tr -d '\r' || fail "net start"
ctl() { wine "$wbin/vornwinctl.exe" "$@" | tr -d '\r'; }
ctl wait VORNService 4 20 >/dev/null || fail "the service is not running"

step "status pipe from a Windows client"
ctl pipe vorn || fail "status pipe"
# The service's working directory is where its audit log appeared.
audit=$(find "$WINEPREFIX/drive_c" -maxdepth 3 -name vornaudt.log | head -n 1)
[ -n "$audit" ] || fail "no audit log"
svcdir=$(dirname "$audit")
grep -q 'msg=TOTAL' "$audit" || fail "audit log without the TOTAL request"

step "a Linux client through the service; pause, continue, interrogate"
rm -f "$svcdir"/svc*.vdb
mkfifo "$svc/hold"
(cd "$svcdir" && exec "$lbin/vornseq" write "127.0.0.1:$svcport" svc1.vdb hold <"$svc/hold" >"$svc/held.out") &
heldpid=$!
pids+=("$heldpid")
exec 8>"$svc/hold"
for _ in $(seq 100); do grep -q held "$svc/held.out" && break; sleep 0.2; done
grep -q held "$svc/held.out" || fail "the Linux client did not get through"
[ "$(ctl control VORNService pause)" = "state 7" ] || fail "pause"
[ "$(ctl control VORNService pause)" = "state 7" ] || fail "a second pause"
# While paused no new connection is served: this client's sequence waits for the continue.
(cd "$svcdir" && exec "$lbin/vornseq" write "127.0.0.1:$svcport" svc2.vdb) &
waitingpid=$!
pids+=("$waitingpid")
sleep 2
kill -0 "$waitingpid" 2>/dev/null || fail "a client was served while the service was paused"
[ "$(ctl control VORNService continue)" = "state 4" ] || fail "continue"
wait "$waitingpid" || fail "the client held during the pause failed after the continue"
[ "$(ctl control VORNService continue)" = "state 4" ] || fail "a continue while running"
[ "$(ctl control VORNService interrogate)" = "state 4" ] || fail "interrogate"

step "stop through the service manager closes every file"
ctl control VORNService stop >/dev/null || fail "stop"
ctl wait VORNService 1 20 >/dev/null || fail "the service did not stop"
# svc1.vdb was still open for the held client: the stop wrote and closed it.
for f in svc1 svc2; do
  check linux "$svcdir/$f.vdb" || fail "$f.vdb after the stop"
  (cd "$svcdir" && runseq linux read "$f.vdb" >/dev/null) || fail "$f.vdb contents"
done
exec 8>&-
wait "$heldpid" || true
grep -q 'Service started successfully' "$svc/events.log" || fail "no start event"
grep -q 'Stop Service' "$svc/events.log" || fail "no stop event"
rm -f "$svcdir"/svc*.vdb "$audit"
echo "test-windows: all passed"

#!/usr/bin/env bash
# Installs the build tree under a scratch prefix, builds the README's example client against
# the installed tree twice (pkg-config, and CMake's find_package(vorn)), and runs both
# against the installed vornserv serving the demo database made by the installed vorn.
#   tests/package_install.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1
src=$2
work=$(mktemp -d)
server=""
cleanup() {
  [ -n "$server" ] && kill "$server" 2>/dev/null && wait "$server" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

root=$work/root
cmake --install "$build" --prefix "$root" >/dev/null
pcdir=$(dirname "$(find "$root" -name vornlink.pc)")
libdir=$(dirname "$(find "$root" -name 'libvornlink.so.*' | head -n1)")

# The demo database and a server for it, on a free port.
mkdir "$work/srv"
(cd "$work/srv" && "$root/bin/vorn" demo demo.vdb >/dev/null)
(cd "$work/srv" && exec "$root/bin/vornserv" --listen 127.0.0.1:0 --pipe "vornpkg$$") \
  >"$work/srv.out" 2>&1 &
server=$!
for _ in $(seq 200); do
  grep -q '^vornserv listening on' "$work/srv.out" && break
  sleep 0.1
done
port=$(sed -n 's/^vornserv listening on .*:\([0-9]*\)$/\1/p' "$work/srv.out")
[ -n "$port" ] || { echo "vornserv did not start"; cat "$work/srv.out"; exit 1; }

# The example client exactly as the README shows it, pointed at that port.
sed -n '/^\/\* list.c \*\//,/^```/p' "$src/README.md" | sed '$d' |
  sed "s/127.0.0.1:2000/127.0.0.1:$port/" >"$work/list.c"
grep -q "127.0.0.1:$port" "$work/list.c" || { echo "no example client in the README"; exit 1; }

expect_listing() {  # program
  libs=$(ldd "$1")  # not piped into grep -q, whose early exit would break the pipe
  grep -q "$libdir/libvornlink.so.0" <<<"$libs" || { echo "$1 does not use the installed library"; exit 1; }
  out=$(cd "$work" && "$1") || { echo "$1 failed:"; echo "$out"; exit 1; }
  grep -q '^10000001 Alan Turing' <<<"$out" || { echo "unexpected listing from $1:"; echo "$out"; exit 1; }
}

# 1. pkg-config
cc "$work/list.c" $(PKG_CONFIG_PATH=$pcdir pkg-config --cflags --libs vornlink) \
  -Wl,-rpath,"$libdir" -o "$work/list-pkgconfig"
expect_listing "$work/list-pkgconfig"

# 2. find_package(vorn) -> vorn::vornlink
mkdir "$work/app"
cp "$work/list.c" "$work/app/"
cat >"$work/app/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.20)
project(list C)
find_package(vorn 0.1 REQUIRED)
add_executable(list list.c)
target_link_libraries(list PRIVATE vorn::vornlink)
CMAKE
cmake -S "$work/app" -B "$work/app/build" -DCMAKE_PREFIX_PATH="$root" \
  -DCMAKE_BUILD_RPATH="$libdir" >/dev/null
cmake --build "$work/app/build" >/dev/null
expect_listing "$work/app/build/list"
echo "the README's client builds and runs against the installed tree both ways"

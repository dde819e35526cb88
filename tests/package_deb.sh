#!/usr/bin/env bash
# Makes the Debian package with cpack, unpacks it into a scratch root, and runs the packaged
# programs from there: vorn create and vorn info on a new file, vornserv --help.
#   tests/package_deb.sh BUILD_DIR
set -euo pipefail
build=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/pkg" >/dev/null
deb=$(ls "$work"/pkg/*.deb)
[ "$(dpkg-deb --field "$deb" Package)" = vorn ]
dpkg-deb --contents "$deb" >"$work/contents"
for f in ./usr/bin/vorn ./usr/bin/vornserv ./usr/bin/vorn-install ./usr/include/vornlink.h \
  ./usr/lib/libvornlink.so.0 ./usr/lib/pkgconfig/vornlink.pc ./usr/lib/cmake/vorn/vornConfig.cmake \
  ./usr/share/man/man1/vorn.1 ./usr/share/man/man3/vornlink.3 ./usr/share/man/man8/vornserv.8 \
  ./usr/share/man/man8/vorn-install.8 ./usr/share/doc/vorn/DUMP.md; do
  grep -q " $f\( \|$\)" "$work/contents" || { echo "the package lacks $f"; exit 1; }
done

root=$work/root
dpkg -x "$deb" "$root"
"$root/usr/bin/vorn" create "$work/new.vdb" >/dev/null
info=$("$root/usr/bin/vorn" info "$work/new.vdb")
grep -q '^xlate spacing 20$' <<<"$info"
help=$("$root/usr/bin/vornserv" --help)
grep -q '^usage: vornserv' <<<"$help"
echo "the package installs and its programs run"

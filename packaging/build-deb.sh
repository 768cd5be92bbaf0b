#!/usr/bin/env bash
# Builds the Debian package the Debian way (debhelper, dpkg-buildpackage -b)
# from a copy of the source tree, with packaging/debian as its debian/
# directory, then checks it with lintian.
# Usage: packaging/build-deb.sh [out-dir]   (default: build-deb/)
# Leaves out-dir/tnmibd_<version>_<arch>.deb; fails on a lintian error.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
out=$(mkdir -p "${1:-$here/build-deb}" && cd "${1:-$here/build-deb}" && pwd)
src=$out/tnmibd
rm -rf "$src" "$out"/*.deb "$out"/*.ddeb "$out"/*.changes "$out"/*.buildinfo
mkdir -p "$src"
# debian/rules builds only the agent: no tests, simulator or benchmarks.
tar -C "$here" --exclude=./.git --exclude='./build*' --exclude="./${out#"$here"/}" \
  --exclude=node_modules -cf - . |
  tar -C "$src" -xf -
cp -a "$here"/packaging/debian "$src"/debian
(cd "$src" && DEB_BUILD_OPTIONS="parallel=$(nproc) ${DEB_BUILD_OPTIONS:-}" \
  dpkg-buildpackage -b -us -uc >"$out"/build.log 2>&1) || {
  tail -40 "$out"/build.log >&2
  exit 1
}
deb=$(ls "$out"/tnmibd_*.deb)
lintian --fail-on error --tag-display-limit 0 "$deb"
echo "$deb"

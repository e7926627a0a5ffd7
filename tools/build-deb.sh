#!/usr/bin/env bash
# Builds the Debian packages (libsysfsreader1, libsysfsreader-dev,
# iscsi-inventory and their -dbgsym) from this checkout with dpkg-buildpackage
# and checks them with lintian: no error, no warning.
#
# dpkg-buildpackage writes its results into the parent of the source
# directory, so the sources as they stand (uncommitted changes included,
# build directories and git's data left out) are copied to OUT/src first and
# everything lands in OUT (default build-deb/): the .deb files, .buildinfo,
# .changes and lintian's report lintian.txt.  Missing build dependencies
# (debian/control) are installed with apt.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$top/build-deb}
mkdir -p "$out"
out=$(cd "$out" && pwd)
case "$out/" in "$top/") echo "build-deb.sh: OUT must not be the checkout itself" >&2; exit 2;; esac
src=$out/src
rm -rf "$src" "$out"/*.deb "$out"/*.changes "$out"/*.buildinfo "$out"/lintian.txt
mkdir -p "$src"

if git -C "$top" rev-parse --git-dir >/dev/null 2>&1; then
  # What git tracks or would track: .gitignore keeps the build directories out.
  git -C "$top" ls-files -z --cached --others --exclude-standard |
    (cd "$top" && while IFS= read -r -d '' f; do [ -e "$f" ] && printf '%s\0' "$f"; done) |
    tar -C "$top" --null -T - -cf - | tar -C "$src" -xf -
else
  tar -C "$top" --anchored --exclude='./build*' --exclude=./out --exclude=./.git -cf - . |
    tar -C "$src" -xf -
fi

SUDO=$([ "$(id -u)" = 0 ] || echo sudo)
if ! (cd "$src" && dpkg-checkbuilddeps 2>/dev/null); then
  echo "== installing the build dependencies of debian/control"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get build-dep -y -qq "$src"
fi

echo "== dpkg-buildpackage in $src"
# debian/rules passes it on to CMake: a compiler warning fails the package
# build here, as it fails every other build of make check-all.
(cd "$src" && SYSFSREADER_WERROR=ON dpkg-buildpackage -us -uc -b) >"$out/dpkg-buildpackage.log" 2>&1 || {
  tail -n 60 "$out/dpkg-buildpackage.log"
  echo "dpkg-buildpackage failed; the whole log is $out/dpkg-buildpackage.log" >&2
  exit 1
}
ls -1 "$out"/*.deb

echo "== lintian"
changes=$(ls "$out"/*.changes)
status=0
lintian --fail-on error,warning "$changes" >"$out/lintian.txt" 2>&1 || status=$?
cat "$out/lintian.txt"
if [ "$status" != 0 ]; then
  echo "lintian reports errors or warnings (above; also in $out/lintian.txt)" >&2
  exit 1
fi
echo "== packages built in $out; lintian clean"

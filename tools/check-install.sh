#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the example program sysfs-buses out of tree against an installed
# library, once with CMake's find_package(sysfsreader) and once with
# pkg-config, as a user of the installed library would; then runs both, and
# the installed sysfs-buses, on this machine's PCI bus.
#     check-install.sh [BUILD]        installs BUILD into a scratch prefix first
#     check-install.sh --prefix DIR   uses what is installed under DIR (/usr for
#                                     the Debian packages)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
. "$top/tests/lib/root-only-dir.sh"
# As root, the installed facts script runs the scratch prefix's program only
# from under a directory only root can write.
work=$(scratch_dir)
trap 'rm -rf "$work"' EXIT

if [ "${1:-}" = --prefix ]; then
  prefix=${2:?usage: check-install.sh --prefix DIR}
else
  build=$(cd "${1:-build}" && pwd)
  prefix=$work/prefix
  cmake --install "$build" --prefix "$prefix" >/dev/null
fi
lib=$({ find "$prefix/lib" "$prefix/lib64" -name 'libsysfsreader.so' 2>/dev/null || true; } |
      head -n1)
[ -n "$lib" ] || { echo "no libsysfsreader.so under $prefix" >&2; exit 1; }
libdir=$(dirname "$lib")
# A scratch install of a build configured for the default prefix must not send
# its programs to /usr/local/lib, where another copy of the library may lie.
if [ -n "${build:-}" ] && grep -q '^CMAKE_INSTALL_PREFIX:PATH=/usr/local$' "$build/CMakeCache.txt"; then
  for program in "$prefix/bin/iscsi-inventory" "$prefix/bin/sysfs-buses"; do
    [ -e "$program" ] || continue
    if readelf -d "$program" | grep -E 'R(UN)?PATH' | grep -q /usr/local; then
      echo "$program carries a run path to /usr/local: $(readelf -d "$program" | grep -E 'R(UN)?PATH')" >&2
      exit 1
    fi
  done
fi
# A system prefix is searched anyway; another one is named to the tools.
export CMAKE_PREFIX_PATH=$prefix PKG_CONFIG_PATH=$libdir/pkgconfig LD_LIBRARY_PATH=$libdir

# The installed header compiles without a warning under the project's own
# warning set, as a user's program built with these flags includes it.
warnings="-Wall -Wextra -Wshadow -Wmissing-declarations -Wnon-virtual-dtor -Werror"

echo "== find_package(sysfsreader) from $prefix"
cmake -S "$top/examples/sysfs-buses" -B "$work/cmake" -DCMAKE_CXX_FLAGS="$warnings" >/dev/null
cmake --build "$work/cmake" >/dev/null
"$work/cmake/sysfs-buses" pci

echo "== pkg-config sysfsreader from $prefix"
# shellcheck disable=SC2046,SC2086
g++ -std=c++17 $warnings -o "$work/pkgconfig-sysfs-buses" \
    -I"$top" "$top/examples/sysfs-buses/main.cpp" "$top"/base/*.cpp \
    $(pkg-config --cflags --libs sysfsreader)
"$work/pkgconfig-sysfs-buses" pci

# The installed programs find the library by themselves.
env -u LD_LIBRARY_PATH "$prefix/bin/sysfs-buses" pci >/dev/null
env -u LD_LIBRARY_PATH "$prefix/bin/iscsi-inventory" --version >/dev/null
# The schema of --json, and the facts script, which tries the installed
# program first: run on this machine's sysfs it gives the inventory, not an
# error, and under Facter's name the same under the key iscsi_inventory.
python3 -c 'import json, sys; json.load(open(sys.argv[1]))' \
  "$prefix/share/iscsi-inventory/iscsi-inventory.schema.json"
# The alerting rules, checked where promtool is at hand.
rules=$prefix/share/iscsi-inventory/iscsi-inventory.rules.yml
[ -f "$rules" ]
if command -v promtool >/dev/null; then promtool check rules "$rules"; fi
fact=$prefix/share/iscsi-inventory/iscsi_inventory.fact
[ -x "$fact" ]
grep -qx "installed='$prefix/bin/iscsi-inventory'" "$fact"
ln -s "$fact" "$work/iscsi_inventory"
(cd "$work" && env -u LD_LIBRARY_PATH "$fact" >"$work/fact.json" &&
   env -u LD_LIBRARY_PATH "$work/iscsi_inventory" >"$work/facter.json")
python3 - "$work/fact.json" "$work/facter.json" <<'PY'
import json, sys
plain, wrapped = (json.load(open(f)) for f in sys.argv[1:])
assert "error" not in plain and "iscsi_session" in plain, plain
assert wrapped == {"iscsi_inventory": plain}, wrapped
PY
echo "== installed package usable"

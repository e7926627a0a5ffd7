#!/usr/bin/env bash
# Installs the build into a scratch prefix and builds the example program
# sysfs-buses out of tree against it, once with CMake's
# find_package(sysfsreader) and once with pkg-config, as a user of the
# installed library would; then runs both on this machine's PCI bus.
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
top=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

cmake --install "$build" --prefix "$prefix" >/dev/null
libdir=$(dirname "$(find "$prefix" -name 'libsysfsreader.so' | head -n1)")

echo "== find_package(sysfsreader) from $prefix"
cmake -S "$top/examples/sysfs-buses" -B "$work/cmake" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/cmake" >/dev/null
LD_LIBRARY_PATH=$libdir "$work/cmake/sysfs-buses" pci

echo "== pkg-config sysfsreader from $prefix"
# shellcheck disable=SC2046
g++ -std=c++17 -Wall -Wextra -Werror -o "$work/pkgconfig-sysfs-buses" \
    "$top/examples/sysfs-buses/main.cpp" \
    $(PKG_CONFIG_PATH=$libdir/pkgconfig pkg-config --cflags --libs sysfsreader)
LD_LIBRARY_PATH=$libdir "$work/pkgconfig-sysfs-buses" pci

# The installed programs find the library by themselves.
"$prefix/bin/sysfs-buses" pci >/dev/null
"$prefix/bin/iscsi-inventory" --version >/dev/null
# The schema of --json, and the facts script naming the installed program.
python3 -c 'import json, sys; json.load(open(sys.argv[1]))' \
  "$prefix/share/iscsi-inventory/iscsi-inventory.schema.json"
[ -x "$prefix/share/iscsi-inventory/iscsi_inventory.fact" ]
grep -q "'$prefix/bin/iscsi-inventory' --json --no-log" "$prefix/share/iscsi-inventory/iscsi_inventory.fact"
echo "== installed package usable"

#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Shows what the inventory looks like: iscsi-inventory on the sample tree and
# on a copy of a real kernel's iSCSI objects, each seen at /sys through umockdev.
set -euo pipefail
build=${1:-build}
top=$(cd "$(dirname "$0")/.." && pwd)
tool=$(cd "$build" && pwd)/tool/iscsi-inventory
work=$(cd "$build" && pwd)/demo
rm -rf "$work"; mkdir -p "$work/sample" "$work/real"
bash "$top/tests/data/make-sample-tree.sh" "$work/sample"
tar xzf "$top/tests/data/real-iscsi-loggedin.tar.gz" -C "$work/real"
for tree in sample real; do
  echo "==== iscsi-inventory on the $tree tree (trace in $work/$tree/SysReader.log)"
  (cd "$work/$tree" && UMOCKDEV_DIR="$work/$tree" umockdev-wrapper "$tool")
done

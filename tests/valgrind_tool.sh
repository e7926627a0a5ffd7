#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# iscsi-inventory on the sample tree (text, JSON and the metrics file), and sysfs-buses on this machine's own
# buses, under valgrind memcheck: no invalid access, no leak.
# Usage: valgrind_tool.sh TOOL SOURCE_DIR [SYSFS_BUSES]
set -euo pipefail
tool=$1 src=$2 buses=${3:-}
work=$(mktemp -d); trap 'rm -rf "$work"' EXIT
bash "$src/tests/data/make-sample-tree.sh" "$work"
cd "$work"
memcheck=(valgrind -q --error-exitcode=3 --leak-check=full
  --show-leak-kinds=definite,indirect --errors-for-leak-kinds=definite,indirect
  --suppressions="$src/tests/valgrind.supp")
UMOCKDEV_DIR="$work" umockdev-wrapper "${memcheck[@]}" "$tool" > stdout
grep -q "NAME CONNECTION CLASS :: connection3:0" stdout
UMOCKDEV_DIR="$work" umockdev-wrapper "${memcheck[@]}" "$tool" --json --no-log > stdout.json
grep -q '"block_device": "sdb"' stdout.json
UMOCKDEV_DIR="$work" umockdev-wrapper "${memcheck[@]}" "$tool" --no-log --prometheus="$work/m.prom"
grep -q '^iscsi_session_disks{session="session2"} 2$' m.prom
if [ -n "$buses" ]; then
  "${memcheck[@]}" "$buses" -l buses.log > buses.out
  grep -q "^pci: " buses.out
fi

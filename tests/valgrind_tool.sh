#!/usr/bin/env bash
# iscsi-inventory on the sample tree under valgrind memcheck: no invalid access,
# no leak.  Usage: valgrind_tool.sh TOOL SOURCE_DIR
set -euo pipefail
tool=$1 src=$2
work=$(mktemp -d); trap 'rm -rf "$work"' EXIT
bash "$src/tests/data/make-sample-tree.sh" "$work"
cd "$work"
UMOCKDEV_DIR="$work" umockdev-wrapper valgrind -q --error-exitcode=3 --leak-check=full \
  --show-leak-kinds=definite,indirect --errors-for-leak-kinds=definite,indirect \
  --suppressions="$src/tests/valgrind.supp" "$tool" > stdout
grep -q "NAME CONNECTION CLASS :: connection3:0" stdout

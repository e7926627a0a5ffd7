#!/usr/bin/env bash
# Runs the benchmarks on fabricated trees served at /sys through umockdev:
#  1. the inventory at 100, 1,000 and 10,000 sessions against the floor and
#     against systool (bench/inventory_bench.cpp), and
#  2. the cost of one GetClsDeviceAttr call as a class grows.
# The trees (about 3 GB at 10,000 sessions) are built in $BENCH_WORK
# (default: <build>/bench-work) and removed afterwards unless BENCH_KEEP=1.
set -euo pipefail
build=${1:-build}
work=${BENCH_WORK:-$build/bench-work}
runs=${BENCH_RUNS:-5}
sizes=${BENCH_SIZES:-100,1000,10000}
mkdir -p "$work"
if [ "${BENCH_KEEP:-0}" != 1 ]; then
  trap 'rm -rf "$work"' EXIT
fi

echo "== iscsi-inventory against the floor and systool (median of $runs runs, seconds)"
"$build/bench/inventory-bench" --bin "$build" --work "$work" --sizes "$sizes" --runs "$runs"
echo
echo "== one GetClsDeviceAttr call as the class grows"
umockdev-wrapper "$build/bench/class_attr_bench"

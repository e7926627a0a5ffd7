#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs the benchmarks on fabricated trees served at /sys through umockdev:
#  1. the inventory at 100, 1,000 and 10,000 sessions against the floor and
#     against systool, --json against the whole joined floor, each of
#     --sessions, --luns, --summary, --check and --prometheus against its own
#     floor, and (as root) the joined forms again in a private mount
#     namespace with BENCH_MOUNTS more mounts (bench/inventory_bench.cpp),
#  2. the cost of one GetClsDeviceAttr call as a class grows, and
#  3. the SCSI bus queries on buses of 100, 1,000 and 10,000 devices: the cost
#     per call of the per-device queries, GetDeviceList against the floor,
#     sysfs-buses against systool (bench/bus_bench.cpp).
# The trees (about 5.5 GB at 10,000 sessions, 1.5 GB at 10,000 SCSI devices,
# most of it one page per small file) are built in $BENCH_WORK and removed
# afterwards unless BENCH_KEEP=1.  By default that is a directory in
# /dev/shm when it has room for them, else <build>/bench-work: a tree on a
# disk file system has its pages reclaimed between runs (a large one on a
# machine under memory pressure or with proactive reclaim), and the later
# programs are then timed reading the disk; a tmpfs without swap keeps every
# page, as sysfs does.
#
# Environment: BENCH_RUNS (default 5); BENCH_SIZES (default 100,1000,10000)
# for both, BENCH_BUS_SIZES for the bus alone; BENCH_CALLS, the calls per
# per-device query (default 100); BENCH_MAX_SECONDS, the limit of one program
# run on the bus (default 300); BENCH_ONLY=inventory or bus for one part;
# BENCH_MOUNTS, the mounts of the mounts run (default 2000, 0 leaves it out;
# it takes the sizes up to 1,000 and needs root, and says so without).
set -euo pipefail
build=${1:-build}
runs=${BENCH_RUNS:-5}
sizes=${BENCH_SIZES:-100,1000,10000}
bus_sizes=${BENCH_BUS_SIZES:-$sizes}
only=${BENCH_ONLY:-}
if [ -z "${BENCH_WORK:-}" ]; then
  # Room for the largest trees, in KB: about 560 KB a session, 150 KB a
  # SCSI device, and a gigabyte to spare.
  largest() { tr ',' '\n' <<<"$1" | sort -n | tail -1; }
  need=$(( $(largest "$sizes") * 560 + $(largest "$bus_sizes") * 150 + 1048576 ))
  free=$(df -Pk /dev/shm 2>/dev/null | awk 'NR == 2 { print $4 }')
  if [ "$(stat -f -c %T /dev/shm 2>/dev/null)" = tmpfs ] && [ "${free:-0}" -gt "$need" ]; then
    work=$(mktemp -d /dev/shm/iscsi-inventory-bench.XXXXXX)
  else
    work=$build/bench-work
  fi
else
  work=$BENCH_WORK
fi
echo "trees in $work"
mkdir -p "$work"
if [ "${BENCH_KEEP:-0}" != 1 ]; then
  trap 'rm -rf "$work"' EXIT
fi

if [ "$only" != bus ]; then
  echo "== iscsi-inventory and its joined forms against their floors and systool (median of $runs runs, seconds)"
  "$build/bench/inventory-bench" --bin "$build" --work "$work" --sizes "$sizes" --runs "$runs" \
    --mounts "${BENCH_MOUNTS:-2000}"
  echo
  echo "== one GetClsDeviceAttr call as the class grows"
  umockdev-wrapper "$build/bench/class_attr_bench"
fi
if [ "$only" != inventory ]; then
  [ "$only" = bus ] || echo
  echo "== SCSI bus queries against the floor and systool (median of $runs runs)"
  "$build/bench/bus-bench" --bin "$build" --work "$work" --sizes "$bus_sizes" --runs "$runs" \
    --calls "${BENCH_CALLS:-100}" --max-seconds "${BENCH_MAX_SECONDS:-300}"
fi

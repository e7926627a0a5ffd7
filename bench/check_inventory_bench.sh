#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Checks the inventory benchmark's pieces on a small tree: make-iscsi-tree
# pairs the first half of the sessions under multipath maps as the kernel
# links them, the tool joins them into LUNs of two paths, the joined floor
# reads the maps' dm/ files (and the mount table as often as the joined
# forms, where strace is there to count), and inventory-bench takes --check's
# verdicts as completed runs, its placeholder as "not built" and an UNKNOWN
# as a failure.
#   check_inventory_bench.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
expect() { [ "$2" = "$3" ] || fail "$1: got '$2', want '$3'"; }
under_sys() { UMOCKDEV_DIR=$root umockdev-wrapper "$@"; }

# 10 sessions: 1 and 2, 3 and 4 in pairs, 5 to 10 alone.
"$build/bench/make-iscsi-tree" "$root" 10
sys=$root/sys
cd "$root"
session() { echo "$sys/devices/platform/host$(($1 - 1))/session$1"; }
lun() { echo "$(session "$1")/target$(($1 - 1)):0:0/$(($1 - 1)):0:0:0"; }
expect "dangling links" "$(find "$sys" -xtype l)" ""
expect "maps" "$(ls "$sys/class/block" | grep '^dm-' | tr '\n' ' ')" "dm-0 dm-1 "

map=$sys/devices/virtual/block/dm-0
expect "map name" "$(cat "$map/dm/name")" mpatha
expect "map uuid" "$(cat "$map/dm/uuid")" mpath-36001405000000000000000000001
expect "class entry" "$(readlink -f "$sys/class/block/dm-0")" "$map"
expect "sda's holder" "$(readlink -f "$(lun 1)/block/sda/holders/dm-0")" "$map"
expect "sdb's holder" "$(readlink -f "$(lun 2)/block/sdb/holders/dm-0")" "$map"
expect "slaves" "$(ls "$map/slaves" | tr '\n' ' ')" "sda sdb "
expect "slave sdb" "$(readlink -f "$map/slaves/sdb")" "$(lun 2)/block/sdb"
expect "sdd's holder" "$(ls "$(lun 4)/block/sdd/holders")" dm-1
expect "a single session's disk holders" "$(ls "$(lun 5)/block/sde/holders")" ""

expect "one WWID for a pair" "$(cat "$(lun 2)/wwid")" "$(cat "$(lun 1)/wwid")"
expect "WWIDs" "$(cat "$sys"/bus/scsi/devices/*:*:*:*/wwid | sort -u | wc -l)" 8
expect "a pair's target" "$(cat "$(session 2)/iscsi_session/session2/targetname")" \
  "$(cat "$(session 1)/iscsi_session/session1/targetname")"
portal() { cat "$(session "$1")/connection$1:0/iscsi_connection/connection$1:0/persistent_address"; }
expect "portals" "$(portal 1) $(portal 2) $(portal 5)" "127.0.0.1 127.0.0.2 127.0.0.1"
recovery() { cat "$(session "$1")/iscsi_session/session$1/recovery_tmo"; }
expect "recovery timeouts" "$(recovery 2) $(recovery 5)" "5 120"

# The tool joins them: 8 LUNs, two of them with two paths under their map.
mkdir run && cd run
under_sys "$build/tool/iscsi-inventory" --luns --no-log >luns.out
expect "LUN blocks" "$(grep -c '^LUN: ' luns.out)" 8
expect "two-path LUNs" "$(grep -c '2 of 2 paths running' luns.out)" 2
expect "maps shown" "$(grep -c 'Multipath: mpath[ab] (dm-[01])' luns.out)" 2

# The joined floor reads each map's dm/ files, as the joined forms do.
under_sys "$build/bench/inventory-floor" --joined >floor.out
expect "map names read" "$(grep -a -c $'^\tname:: \tmpath' floor.out)" 4
expect "map uuids read" "$(grep -a -c $'^\tuuid:: \tmpath-3' floor.out)" 4
if command -v strace >/dev/null; then
  mount_reads() {
    UMOCKDEV_DIR=$root LD_PRELOAD=libumockdev-preload.so.0 strace -f -e trace=open,openat "$@" \
      2>&1 >/dev/null | grep -c '"/proc/.*mounts"'
  }
  floor_reads=$(mount_reads "$build/bench/inventory-floor" --joined-checks)
  for form in --json --luns; do
    expect "mount table reads, $form against the floor" \
      "$(mount_reads "$build/tool/iscsi-inventory" "$form" --no-log)" "$floor_reads"
  done
else
  echo "strace is not installed: the floor's mount table reads are not counted"
fi

# inventory-bench with a tool whose --check answers as CHECK_STATUS and
# CHECK_LINE say (the rest is the real tool), and a systool that does nothing.
stub=$root/stub
mkdir -p "$stub/tool" "$stub/bench" "$stub/path"
cat >"$stub/tool/iscsi-inventory" <<EOF
#!/bin/sh
for arg; do
  if [ "\$arg" = --check ]; then printf '%s\n' "\$CHECK_LINE"; exit "\$CHECK_STATUS"; fi
done
exec "$build/tool/iscsi-inventory" "\$@"
EOF
printf '#!/bin/sh\nexit 0\n' >"$stub/path/systool"
chmod 755 "$stub/tool/iscsi-inventory" "$stub/path/systool"
ln -s "$build/bench/make-iscsi-tree" "$build/bench/inventory-floor" "$stub/bench/"
bench() {
  CHECK_STATUS=$1 CHECK_LINE=$2 PATH=$stub/path:$PATH \
    "$build/bench/inventory-bench" --bin "$stub" --work "$root/work" --sizes 8 --runs 1
}
number='[0-9]+\.[0-9]+'
# The third table's row for 8 sessions, its cells one a line.
check_row() {
  awk '/^--luns and --check/ { third = 1 } third && $1 == 8 { for (i = 2; i <= NF; ++i) print $i; exit }'
}

bench 3 "ISCSI UNKNOWN - not built yet" >placeholder.out || fail "the placeholder failed the benchmark"
read -r -a cells <<<"$(check_row <placeholder.out | tr '\n' ' ')"
# luns s, check s ("not built" is two cells), json s, floor s, luns/floor, ...
expect "check time, not built" "${cells[1]} ${cells[2]}" "not built"
expect "check ratios and memory, not built" "${cells[6]} ${cells[8]} ${cells[10]} ${cells[12]}" "- - - -"
[[ ${cells[0]} =~ ^$number$ && ${cells[7]} =~ ^$number$ ]] || fail "--luns unmeasured: ${cells[*]}"
grep -q '^--check at 8 sessions: not built ("ISCSI UNKNOWN - not built yet")$' placeholder.out ||
  fail "no 'not built' line: $(cat placeholder.out)"

bench 2 "ISCSI CRITICAL - 1 of 8 LUNs has no path" >critical.out ||
  fail "a CRITICAL verdict failed the benchmark"
read -r -a cells <<<"$(check_row <critical.out | tr '\n' ' ')"
# check s, check/floor, check/json, check us/ses, check MB
for i in 1 5 7 9 11; do
  [[ ${cells[$i]} =~ ^$number$ ]] || fail "--check cell $i unmeasured: ${cells[*]}"
done
grep -q '^--check at 8 sessions: exit 2, "ISCSI CRITICAL - 1 of 8 LUNs has no path"$' critical.out ||
  fail "no verdict line: $(cat critical.out)"

if bench 3 "ISCSI UNKNOWN - cannot read class iscsi_session" >unknown.out 2>unknown.err; then
  fail "an UNKNOWN verdict passed as a completed run"
fi
grep -q 'could not judge the tree (exit 3): ISCSI UNKNOWN - cannot read' unknown.err ||
  fail "no word of the UNKNOWN run: $(cat unknown.err)"
echo "ok"

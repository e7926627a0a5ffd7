#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Checks the inventory benchmark's pieces on a small tree: make-iscsi-tree
# pairs the first half of the sessions under multipath maps as the kernel
# links them, the tool joins them into LUNs of two paths, the whole joined
# floor reads the maps' dm/ files, the floor refuses a form it does not know,
# each named floor (where strace is there to watch) opens files that are
# there, each once, and none that its form does not open, inventory-bench
# takes --check's verdicts as completed runs, its placeholder as "not built"
# and an UNKNOWN as a failure, and (as root) its mounts run makes its mounts
# in namespaces of its own, runs every form in each and leaves ours as it
# was.
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

# The whole joined floor reads each map's dm/ files, as --json does.
under_sys "$build/bench/inventory-floor" --joined=whole >floor.out
expect "map names read" "$(grep -a -c $'^\tname:: \tmpath' floor.out)" 4
expect "map uuids read" "$(grep -a -c $'^\tuuid:: \tmpath-3' floor.out)" 4
# A form the floor does not know, or --joined without one, is a usage error,
# never the bare floor timed in its place.
for option in --joined --joined=text; do
  status=0
  under_sys "$build/bench/inventory-floor" "$option" >/dev/null 2>&1 || status=$?
  expect "inventory-floor $option" "$status" 2
done
if command -v strace >/dev/null; then
  # The opens of files below the tree, directories aside: the path the
  # kernel resolved, or the path asked for and its error.
  opens() {
    UMOCKDEV_DIR=$root LD_PRELOAD=libumockdev-preload.so.0 strace -f -y -e trace=open,openat,openat2 \
      "$@" 2>&1 >/dev/null | grep -v -e O_DIRECTORY -e O_PATH | grep -F "$sys" |
      sed -n -e "s#.* = [0-9]*<\($sys/.*\)>\$#\1#p" -e 's#.*"\([^"]*\)".* = -1 \(E[A-Z]*\).*#\1 \2#p' | sort
  }
  for form in sessions luns summary check prometheus; do
    floor=$(opens "$build/bench/inventory-floor" --joined=$form)
    [ -n "$floor" ] || fail "--joined=$form opens nothing"
    expect "files --joined=$form cannot open" "$(grep ' E[A-Z]*$' <<<"$floor")" ""
    # A map is read from each of its paths' disks, as the forms walk them.
    expect "files --joined=$form opens twice" "$(uniq -d <<<"$floor" | sed "s#^$sys/##" | tr '\n' ' ')" \
      "devices/virtual/block/dm-0/dm/name devices/virtual/block/dm-0/dm/uuid devices/virtual/block/dm-1/dm/name devices/virtual/block/dm-1/dm/uuid "
    expect "files --joined=$form opens and --$form does not" \
      "$(comm -23 <(uniq <<<"$floor") <(opens "$build/tool/iscsi-inventory" --$form --no-log | sort -u))" ""
  done
else
  echo "strace is not installed: the named floors' opens are not checked"
fi

# inventory-bench with a tool whose --check answers as CHECK_STATUS and
# CHECK_LINE say (the rest is the real tool), and a systool that does nothing.
# Where MOUNTS_SEEN names a file, each run of the tool adds to it its mount
# namespace and the length of its mount table.
stub=$root/stub
mkdir -p "$stub/tool" "$stub/bench" "$stub/path"
cat >"$stub/tool/iscsi-inventory" <<EOF
#!/bin/sh
[ -z "\${MOUNTS_SEEN:-}" ] || echo "\$(readlink /proc/self/ns/mnt) \$(grep -c '' /proc/self/mounts)" >>"\$MOUNTS_SEEN"
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
# The named forms' row of --check at 8 sessions, its cells after the form one
# a line.
check_row() {
  awk '$1 == 8 && $2 == "check" { for (i = 3; i <= NF; ++i) print $i; exit }'
}

bench 3 "ISCSI UNKNOWN - not built yet" >placeholder.out || fail "the placeholder failed the benchmark"
expect "check row, not built" "$(check_row <placeholder.out | tr '\n' ' ')" "- - - - - - - - "
for form in sessions luns summary prometheus; do
  times=$(awk -v form=$form '$1 == 8 && $2 == form { print $3, $4 }' placeholder.out)
  [[ $times =~ ^$number\ $number$ ]] || fail "--$form and its floor unmeasured: $times"
done
grep -q '^--check at 8 sessions: not built ("ISCSI UNKNOWN - not built yet")$' placeholder.out ||
  fail "no 'not built' line: $(cat placeholder.out)"

bench 2 "ISCSI CRITICAL - 1 of 8 LUNs has no path" >critical.out ||
  fail "a CRITICAL verdict failed the benchmark"
read -r -a cells <<<"$(check_row <critical.out | tr '\n' ' ')"
# form s, floor s, form/floor, form us/ses, floor us/s; vs 1,000 (no 1,000
# here); RSS MB, RSS/text
for i in 0 1 2 3 4 6 7; do
  [[ ${cells[$i]} =~ ^$number$ ]] || fail "--check cell $i unmeasured: ${cells[*]}"
done
grep -q '^--check at 8 sessions: exit 2, "ISCSI CRITICAL - 1 of 8 LUNs has no path"$' critical.out ||
  fail "no verdict line: $(cat critical.out)"

if bench 3 "ISCSI UNKNOWN - cannot read class iscsi_session" >unknown.out 2>unknown.err; then
  fail "an UNKNOWN verdict passed as a completed run"
fi
grep -q 'could not judge the tree (exit 3): ISCSI UNKNOWN - cannot read' unknown.err ||
  fail "no word of the UNKNOWN run: $(cat unknown.err)"

# The mounts run, where mount namespaces can be made (as root): sysfs last in
# both namespaces, the extra mounts in one, every form run (a warm-up and one
# timed run) in each, and nothing of them left in ours.
if [ "$(id -u)" = 0 ] && unshare -m true 2>/dev/null; then
  ours=$(readlink /proc/self/ns/mnt)
  before=$(cat /proc/self/mounts)
  MOUNTS_SEEN=$root/seen CHECK_STATUS=0 CHECK_LINE="ISCSI OK" PATH=$stub/path:$PATH \
    "$build/bench/inventory-bench" --bin "$stub" --work "$root/work" --sizes 8 --runs 1 --mounts 3 \
    >mounts.out || fail "the mounts run failed: $(cat mounts.out)"
  read -r line lines bare_line bare_lines < <(sed -n \
    's/^sysfs is line \([0-9]*\) of \([0-9]*\) .*, line \([0-9]*\) of \([0-9]*\) without$/\1 \2 \3 \4/p' mounts.out)
  expect "sysfs's lines with the mounts and without" "$line $bare_line" "$lines $bare_lines"
  expect "mounts more" "$((lines - bare_lines))" 3
  expect "forms of the mounts run" "$(sed -n '/^== the joined forms/,$p' mounts.out | awk '$1 == 8 { print $2 }' | tr '\n' ' ')" \
    "json sessions luns summary check prometheus "
  expect "runs in the namespaces made" "$(awk -v ours="$ours" '$1 != ours' "$root/seen" | sort | uniq -c | awk '{ print $1, $3 }' | sort -k2n | tr '\n' ' ')" \
    "12 $bare_lines 12 $lines "
  expect "our mounts" "$(cat /proc/self/mounts)" "$before"
  [ ! -e "$root/work/mounts" ] || fail "the mounts' directory is left"
else
  echo "not root: the mounts run is not checked"
fi
echo "ok"

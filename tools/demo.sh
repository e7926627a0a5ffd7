#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Shows what the inventory looks like: each form of iscsi-inventory on the
# sample trees (tests/data), each seen at /sys through umockdev, then what to
# run next.  With a TREE and arguments (tools/demo.sh BUILD TREE ARGS...;
# make try), runs the tool once on that tree with those arguments instead.
# TREE is sample (an HBA and two software sessions, one failed), multipath
# (a LUN under a multipath map with one of its two paths down, and a
# read-only LUN) or real (a copy of a real kernel's iSCSI objects).
set -euo pipefail
build=${1:-build}
top=$(cd "$(dirname "$0")/.." && pwd)
tool=$(cd "$build" && pwd)/tool/iscsi-inventory
work=$(cd "$build" && pwd)/demo

# make_tree NAME: the tree at $work/NAME, built afresh.
make_tree() {
  rm -rf "${work:?}/$1"; mkdir -p "$work/$1"
  case $1 in
    sample) bash "$top/tests/data/make-sample-tree.sh" "$work/sample" ;;
    multipath) bash "$top/tests/data/make-multipath-tree.sh" "$work/multipath" ;;
    real) tar xzf "$top/tests/data/real-iscsi-loggedin.tar.gz" -C "$work/real" ;;
    *) echo "no tree '$1' (sample, multipath or real)" >&2; exit 2 ;;
  esac
}
# on TREE ARGS...: the tool on the tree, its trace in the tree's directory.
on() {
  local tree=$1; shift
  (cd "$work/$tree" && UMOCKDEV_DIR="$work/$tree" umockdev-wrapper "$tool" "$@")
}
# show TITLE COMMAND...: a heading, then the command's output; its exit
# status is shown, not fatal (--check exits 1 or 2 on a host in trouble).
show() {
  local title=$1; shift
  printf '\n==== %s\n' "$title"
  local status=0
  "$@" || status=$?
  [ "$status" = 0 ] || echo "(exit status $status)"
}

if [ $# -gt 1 ]; then
  tree=$2; shift 2
  make_tree "$tree"
  on "$tree" "$@"
  exit
fi

for tree in sample multipath real; do make_tree "$tree"; done
# (sed reads to the end: head would leave the tool to die of SIGPIPE.)
text_head() { on sample | sed -n '1,12p'; }
first_session() {
  on sample --sessions --no-log | awk '/^Target: / { n++ } n == 1' | head -n 17
  printf '\t\t...\n'
}
disks_by_session() {
  on sample --json --no-log | jq -c '.sessions[] | {name, target_name, disks: [.disks[].block_device]}'
}
lun_metrics() { on multipath --prometheus --no-log | grep -E '^iscsi_(session_state|lun_paths)'; }
show "iscsi-inventory (every object, as text; its first lines)" text_head
show "iscsi-inventory --summary (a line per session)" on sample --summary --no-log
show "iscsi-inventory --sessions (a block per session; the start of the first)" first_session
show "iscsi-inventory --luns (a block per LUN) on a host with a path down" \
  on multipath --luns --no-log
show "iscsi-inventory --json | jq: the disks of each session" disks_by_session
show "iscsi-inventory --prometheus: session states and LUN paths, on the host with a path down" \
  lun_metrics
show "iscsi-inventory --check on the sample tree" on sample --check --no-log
show "iscsi-inventory --check on the host with a path down" on multipath --check --no-log

cat <<EOT

==== What next
The first run left the trace of its queries in $work/sample/SysReader.log.
Any form on any of these trees:   make try ARGS='--luns' TREE=multipath
                                  (TREE: sample, multipath or real)
On this machine's own sysfs:      sudo $tool --summary --no-log
Every option:                     $tool --help; man ./tool/iscsi-inventory.8
EOT

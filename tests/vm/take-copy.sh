#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Takes, from a VM run's results, the copy of the kernel's iSCSI objects
# that the loggedin phase made (tests/vm/copy-sysfs.sh) and the
# iscsiadm -m session -P 3 output of the same phase, as the files the host's
# tests read:
#   OUT/real-iscsi-loggedin.tar.gz, OUT/real-iscsi-loggedin.iscsiadm-P3.txt
# and proves the copy is faithful: the tool of BUILD run on the copy (seen
# at /sys through umockdev) must print, byte for byte, what the same tool
# printed in the VM on the objects themselves, for the bare run and for
# --json.  The files the copier left out or blanked are named.
# To ship a new copy: VM_PHASES=loggedin tests/vm/run.sh BUILD, then copy
# BUILD/vm/<kernel>/real-iscsi-loggedin.* to tests/data/ and write the
# real-tree expectations again by hand (docs/testing.md).
#
# usage: tests/vm/take-copy.sh RESULTS BUILD OUT
set -euo pipefail
results=$1 build=$(cd "$2" && pwd) out=$3
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
. "$(dirname "$0")/sections.sh"
fail() { echo "take-copy: $*"; exit 1; }

section "loggedin copy" > "$scratch/copy.txt" || fail "no copy in $results (no loggedin phase?)"
# The files left out, by name and error, counted (each device's power/
# autosuspend_delay_ms fails with EIO where runtime PM is off, and so on).
awk '$1 == "skipped" { n = split(substr($2, 1, length($2) - 1), part, "/")
                       count[part[n] " (" substr($0, length($1 $2) + 3) ")"]++ }
     $1 == "blanked" { print "take-copy: blanked " $2 }
     END { for (what in count) print "take-copy: left out " count[what] " x " what }' \
    "$scratch/copy.txt" | sort
awk 'found; /^archive$/ { found = 1 }' "$scratch/copy.txt" | base64 -d > "$scratch/copy.tar.gz" ||
    fail "the copy's archive does not decode"
mkdir "$scratch/tree"
tar xzf "$scratch/copy.tar.gz" -C "$scratch/tree" || fail "the copy's archive does not unpack"
section "loggedin iscsiadm" > "$scratch/iscsiadm.txt" || fail "no iscsiadm output in $results"

# The outputs compare as they are but for a connection's exp_statsn: the
# target's NOP-In pings move it while the sessions idle, between the run in
# the VM and the copy.
failures=0
moving() { sed -E 's/(exp_statsn[^0-9]+)[0-9]+/\1N/'; }
compare() {
    local what=$1; shift
    section "$what" | moving > "$scratch/vm.out" || fail "no section \"$what\" in $results"
    (cd "$scratch/tree" && UMOCKDEV_DIR="$scratch/tree" umockdev-wrapper \
        "$build/tool/iscsi-inventory" --no-log "$@") 2>&1 | moving > "$scratch/copy.out" || true
    if ! diff -u "$scratch/vm.out" "$scratch/copy.out" > "$scratch/diff"; then
        echo "take-copy: on the copy, iscsi-inventory $* prints other than in the VM (\"$what\"):"
        head -n 40 "$scratch/diff"
        failures=$((failures + 1))
    fi
}
compare "loggedin inventory"
compare "loggedin copy-json" --json
[ "$failures" = 0 ] || exit 1

mkdir -p "$out"
cp "$scratch/copy.tar.gz" "$out/real-iscsi-loggedin.tar.gz"
cp "$scratch/iscsiadm.txt" "$out/real-iscsi-loggedin.iscsiadm-P3.txt"
echo "take-copy: the copy prints what the kernel's objects printed; $out/real-iscsi-loggedin.{tar.gz,iscsiadm-P3.txt}"

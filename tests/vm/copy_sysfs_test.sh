#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The VM's copier of the iSCSI objects (copy-sysfs.sh) on the multipath
# sample tree, with three things planted that a copy must not carry over as
# they are: a CHAP secret, a scsi_host entry and a bus device of a host that
# is not iSCSI's.  Unpacked, the copy must be the tree itself (names, link
# texts, contents and modes, write-only files included) but for those: the
# secret empty and named, the foreign index links left out.  Runs under
# busybox when it is installed (as in the VM), else under sh.
#
# usage: copy_sysfs_test.sh SOURCE_DIR
set -euo pipefail
src=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
shell=(sh)
command -v busybox > /dev/null && shell=(busybox sh)

bash "$src/tests/data/make-multipath-tree.sh" "$scratch/orig" > /dev/null
sys=$scratch/orig/sys
echo s3cret > "$sys/devices/platform/host2/session2/iscsi_session/session2/password_in"
mkdir -p "$sys/devices/pci0000:00/0000:00:1f.2/ata1/host0/target0:0:0/0:0:0:0"
ln -s ../../devices/pci0000:00/0000:00:1f.2/ata1/host0 "$sys/class/scsi_host/host0"
ln -s ../../../devices/pci0000:00/0000:00:1f.2/ata1/host0/target0:0:0/0:0:0:0 \
      "$sys/bus/scsi/devices/0:0:0:0"

"${shell[@]}" "$src/tests/vm/copy-sysfs.sh" "$sys" > "$scratch/out.txt"
mkdir "$scratch/copy"
awk 'found; /^archive$/ { found = 1 }' "$scratch/out.txt" | base64 -d | tar xzf - -C "$scratch/copy"

failures=0
expect() { # expect WHAT EXPECTED ACTUAL
    [ "$2" = "$3" ] && return
    printf 'copy_sysfs: %s\n--- expected\n%s\n--- got\n%s\n' "$1" "$2" "$3"
    failures=$((failures + 1))
}
expect "the lines before the archive" \
    "blanked devices/platform/host2/session2/iscsi_session/session2/password_in" \
    "$(sed '/^archive$/,$d' "$scratch/out.txt")"
expect "the secret's copy" "" \
    "$(cat "$scratch/copy/sys/devices/platform/host2/session2/iscsi_session/session2/password_in")"
expect "a secret the kernel shows as unset" "(null)" \
    "$(cat "$scratch/copy/sys/devices/platform/host3/session3/iscsi_session/session3/password_in")"
# Every name with its type, mode and link text, then every file's content.
listing() {
    (cd "$1" && find sys -printf '%p %y %m %l\n' | LC_ALL=C sort &&
     find sys -type f ! -name password_in -perm -u=r -exec md5sum {} + | LC_ALL=C sort -k 2)
}
rm -r "$sys/devices/pci0000:00" "$sys/class/scsi_host/host0" "$sys/bus/scsi/devices/0:0:0:0" \
      "$sys/block" "$sys/module"   # the foreign host; the old-style indexes no copy takes
expect "the copy against the tree without the foreign host" "$(listing "$scratch/orig")" \
    "$(listing "$scratch/copy")"
[ "$failures" = 0 ] && echo "copy_sysfs: the copy is the tree"
exit $((failures > 0))

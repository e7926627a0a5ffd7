#!/bin/sh
# SPDX-License-Identifier: MIT
# A copy of the iSCSI objects of sysfs, laid out as sysfs lays them out, for
# the tests that run on the host (busybox sh inside the test VM; the loggedin
# phase takes it, and tests/vm/take-copy.sh turns it into
# tests/data/real-iscsi-loggedin.tar.gz).  It holds:
#   - the device tree of every iSCSI host (its sessions, connections, SCSI
#     targets, logical units and their block devices), of every iSCSI
#     transport and endpoint, and of what holds those block devices (a
#     multipath map), whole;
#   - the classes that index those objects and the scsi bus (its devices and
#     its drivers), with the index links that lead into the copied trees
#     only: a link to an object left out would be a lie about the copy;
#   - links as the kernel wrote them (relative), also those that lead out of
#     the copy from inside a tree (a block device's "bdi");
#   - every file read whole, with its mode; a write-only file as an empty
#     one; a CHAP secret as an empty file (named on a line "blanked PATH"),
#     but for the kernel's "(null)", which says that none is set.
# A file whose read fails is left out (a copy cannot fail as the kernel did)
# and named on a line "skipped PATH: WHY".  Those lines come first, then the
# line "archive", then the gzipped tar archive (of sys/) in base64.
# usage: copy-sysfs [SYSFS]   (the directory sysfs is mounted on; /sys)
sys=$(cd -P "${1:-/sys}" && pwd) || exit 1
copy=${TMPDIR:-/tmp}/sysfs-copy.$$
trap 'rm -rf "$copy" "$copy.err"' EXIT
out=$copy/sys   # where $sys/X is copied to $out/X
mkdir -p "$out"

# The trees copied whole: resolved paths below /sys, one per line.
roots=
add_root() {
    case "
$roots
" in *"
$1
"*) return ;; esac
    roots="$roots
$1"
}
for entry in "$sys"/class/iscsi_host/*; do
    [ -e "$entry/device" ] || continue
    add_root "$(cd -P "$entry/device" && pwd)"
done
for entry in "$sys"/class/iscsi_transport/* "$sys"/class/iscsi_endpoint/*; do
    [ -e "$entry" ] || continue
    add_root "$(cd -P "$entry" && pwd)"
done
# And what holds their block devices (a multipath map, dm-N).
for holder in $(for root in $roots; do find "$root" -path '*/holders/*' -type l; done); do
    add_root "$(cd -P "$holder" && pwd)"
done

# inside PATH: whether the resolved PATH is in (or is) a copied tree.
inside() {
    for root in $roots; do
        case $1 in "$root" | "$root"/*) return 0 ;; esac
    done
    return 1
}
copy_file() {
    mode=$(stat -c %a "$1")
    target=$out${1#"$sys"}
    case ${1##*/} in
        password | password_in)
            # "(null)" is the kernel's word for no secret set; anything
            # else is a secret, and no copy may hold it.
            if [ "$(cat "$1" 2> /dev/null)" = "(null)" ]; then
                echo "(null)" > "$target"
            else
                : > "$target"
                echo "blanked ${1#"$sys"/}"
            fi ;;
        *)
            if [ $((0$mode & 0444)) = 0 ]; then
                : > "$target"
            elif ! cat "$1" > "$target" 2> "$copy.err"; then
                rm -f "$target"
                echo "skipped ${1#"$sys"/}: $(cat "$copy.err")"
                return
            fi ;;
    esac
    chmod "$mode" "$target"
}
copy_one() {
    if [ -L "$1" ]; then
        ln -s "$(readlink "$1")" "$out${1#"$sys"}"
    elif [ -d "$1" ]; then
        mkdir -p "$out${1#"$sys"}"
    elif [ -f "$1" ]; then
        copy_file "$1"
    fi
}
copy_tree() {
    mkdir -p "$out$(dirname "${1#"$sys"}")"
    find "$1" | while read -r path; do copy_one "$path"; done
}
# copy_index DIR: a directory of index links and plain files; only the
# links into the copy, and every file.
copy_index() {
    [ -d "$1" ] || return 0
    mkdir -p "$out${1#"$sys"}"
    for path in "$1"/*; do
        if [ -L "$path" ]; then
            resolved=$(cd -P "$path" 2> /dev/null && pwd) || continue
            inside "$resolved" && ln -s "$(readlink "$path")" "$out${path#"$sys"}"
        elif [ -f "$path" ]; then
            copy_file "$path"
        fi
    done
}

for root in $roots; do copy_tree "$root"; done
for class in iscsi_host iscsi_session iscsi_connection iscsi_transport iscsi_endpoint iscsi_iface \
             scsi_host scsi_device scsi_disk scsi_generic bsg block; do
    copy_index "$sys/class/$class"
done
copy_index "$sys"/bus/scsi
copy_index "$sys"/bus/scsi/devices
for driver in "$sys"/bus/scsi/drivers/*; do
    [ -d "$driver" ] && copy_index "$driver"
done
echo archive
rm -f "$copy.err"
tar czf - -C "$copy" sys | base64

#!/bin/sh
# SPDX-License-Identifier: MIT
# The iSCSI objects of sysfs, read independently of the code under test (busy-
# box sh inside the test VM).  For every entry of the iSCSI classes and of
# scsi_host, and for the device its "device" link leads to:
#   ENTRY <class> <name>
#   REALPATH <resolved path of the entry>
#   C <file> <mode> OK <content in hex>      a file of the class device, read whole
#   C <file> <mode> ERR <error message>      ... whose open or read failed
#   DEVICE <resolved path> / SUBSYSTEM <link text> / DRIVER <link text>
#   D <file> ...                             the device's files, as above
# and for every device on the scsi bus:
#   BUSDEV <name> <driver link text>
#   BUSPATH <name> <resolved path>           (when it still resolves)
#   BUSSTATE <name> <its state file>         (when it can be read)
#   BUSBLOCK <name> <block device name>      (one line each)
# With --disks, instead, for every logical unit on the scsi bus:
#   DISK <name> <wwid in hex>                (- when it has none)
#   INQUIRY <name> <vendor> <model> <rev>    (each in hex, padding and all)
#   BLOCK <name> <block device>
#   DEV <name> <its major:minor>             (as a map's table names it)
#   SIZE <name> <its size in 512-byte sectors>
#   RO <name> <its ro flag>
#   HOLDER <name> <holder> <dm/uuid in hex> <dm/name in hex>
# (the multipath phase's proof of what a map is built from, and of what the
# views per logical unit must say).
# With a class name, only that class's entries (no bus devices); with a
# file name after it, only that file of each.
# Run as root, it shows a CHAP session's secrets (password, password_in) as
# the kernel does: the chap phase's proof that there was something to hide.
# The churn phase of the VM test takes it some sixty times, so it starts as
# few processes as it can: one stat per directory, cd -P for resolved paths.
hex() {
    hex=
    for byte in $(od -An -v -tx1 "$1" 2> /dev/null); do hex=$hex$byte; done
    echo "${hex:--}"
}
if [ "${1:-}" = --disks ]; then
    for dev in /sys/bus/scsi/devices/*:*:*:*; do
        [ -e "$dev" ] || continue
        echo "DISK ${dev##*/} $(hex "$dev/wwid")"
        echo "INQUIRY ${dev##*/} $(hex "$dev/vendor") $(hex "$dev/model") $(hex "$dev/rev")"
        for block in "$dev"/block/*; do
            [ -e "$block" ] || continue
            echo "BLOCK ${dev##*/} ${block##*/}"
            read -r number 2> /dev/null < "$block/dev" && echo "DEV ${dev##*/} $number"
            read -r size 2> /dev/null < "$block/size" && echo "SIZE ${dev##*/} $size"
            read -r ro 2> /dev/null < "$block/ro" && echo "RO ${dev##*/} $ro"
            for holder in "$block"/holders/*; do
                [ -e "$holder" ] || continue
                echo "HOLDER ${dev##*/} ${holder##*/} $(hex "$holder/dm/uuid") $(hex "$holder/dm/name")"
            done
        done
    done
    exit 0
fi
files() {
    stat -c '%a %n' "$2"/${only:-*} > /tmp/dump.modes 2> /dev/null
    while read -r mode f; do
        [ -L "$f" ] && continue
        [ -f "$f" ] || continue
        if cat "$f" > /tmp/dump.value 2> /tmp/dump.error; then
            hex=
            for byte in $(od -An -v -tx1 /tmp/dump.value); do hex=$hex$byte; done
            echo "$1 ${f##*/} $mode OK $hex"
        else
            echo "$1 ${f##*/} $mode ERR $(tr '\n' ' ' < /tmp/dump.error)"
        fi
    done < /tmp/dump.modes
}
classes="iscsi_host iscsi_transport iscsi_connection iscsi_session scsi_host"
[ -n "${1:-}" ] && classes=$1
only=${2:-}
for cls in $classes; do
    for entry in /sys/class/$cls/*; do
        [ -e "$entry" ] || continue
        echo "ENTRY $cls ${entry##*/}"
        path=
        cd -P "$entry" 2> /dev/null && path=$PWD
        echo "REALPATH $path"
        # An entry gone since the glob has nothing more to show.
        [ -n "$path" ] || continue
        files C "$path"
        if [ -L "$path/device" ] && cd -P "$path/device" 2> /dev/null; then
            device=$PWD
            echo "DEVICE $device"
            echo "SUBSYSTEM $(readlink "$device/subsystem")"
            echo "DRIVER $(readlink "$device/driver")"
            files D "$device"
        fi
    done
done
[ -n "${1:-}" ] && exit 0
for dev in /sys/bus/scsi/devices/*; do
    [ -e "$dev" ] || continue
    echo "BUSDEV ${dev##*/} $(readlink "$dev/driver")"
    cd -P "$dev" 2> /dev/null && echo "BUSPATH ${dev##*/} $PWD"
    read -r state 2> /dev/null < "$dev/state" && echo "BUSSTATE ${dev##*/} $state"
    for block in "$dev"/block/*; do
        [ -e "$block" ] && echo "BUSBLOCK ${dev##*/} ${block##*/}"
    done
done

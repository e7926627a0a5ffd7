#!/bin/sh
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
files() {
    for f in "$2"/*; do
        [ -L "$f" ] && continue
        [ -f "$f" ] || continue
        mode=$(stat -c %a "$f")
        if cat "$f" > /tmp/dump.value 2> /tmp/dump.error; then
            echo "$1 ${f##*/} $mode OK $(od -An -v -tx1 /tmp/dump.value | tr -d ' \n')"
        else
            echo "$1 ${f##*/} $mode ERR $(tr '\n' ' ' < /tmp/dump.error)"
        fi
    done
}
for cls in iscsi_host iscsi_transport iscsi_connection iscsi_session scsi_host; do
    for entry in /sys/class/$cls/*; do
        [ -e "$entry" ] || continue
        echo "ENTRY $cls ${entry##*/}"
        path=$(realpath "$entry")
        echo "REALPATH $path"
        files C "$path"
        if [ -L "$path/device" ]; then
            device=$(realpath "$path/device")
            echo "DEVICE $device"
            echo "SUBSYSTEM $(readlink "$device/subsystem")"
            echo "DRIVER $(readlink "$device/driver")"
            files D "$device"
        fi
    done
done
for dev in /sys/bus/scsi/devices/*; do
    [ -e "$dev" ] || continue
    echo "BUSDEV ${dev##*/} $(readlink "$dev/driver")"
done

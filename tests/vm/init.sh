#!/bin/busybox sh
# PID 1 of the test VM (busybox sh).  Sets up an LIO target with two iSCSI
# targets on 127.0.0.1:3260, logs in to both with open-iscsi, and runs the
# programs under test and an independent dump of the same sysfs objects:
# once with both sessions logged in, once after one target's portal group
# was disabled and its session went FAILED.  Everything the host checks goes
# out on the second serial port in sections:
#   ==== BEGIN <phase> <what>  ...  ==== END <phase> <what>
# A line "==== FATAL <reason>" reports a step that failed; "==== DONE" ends.
/bin/busybox --install -s /bin
export PATH=/bin:/sbin:/usr/bin:/usr/sbin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mount -t tmpfs tmpfs /run
mount -t tmpfs tmpfs /tmp
mkdir -p /run/lock/iscsi /var/lib/iscsi /var/lock

OUT=/dev/ttyS1
stty -F "$OUT" raw -echo 2>/dev/null
say() { echo "vm-test: $*" > /dev/console; }
send() { echo "$*" > "$OUT"; }
fatal() { say "FATAL $*"; send "==== FATAL $*"; poweroff -f; sleep 5; exit 1; }
# section PHASE WHAT COMMAND...: the command's output (both streams) as a section.
section() {
    phase=$1 what=$2; shift 2
    send "==== BEGIN $phase $what"
    "$@" > /tmp/section.out 2>&1
    rc=$?
    cat /tmp/section.out > "$OUT"
    send "==== END $phase $what rc=$rc"
}
# waitfor SECONDS COMMAND...: polls the command once a second.
waitfor() {
    limit=$1; shift
    i=0
    while ! "$@"; do
        i=$((i + 1))
        [ "$i" -ge "$limit" ] && return 1
        sleep 1
    done
}

say "loading modules"
while read -r module; do
    insmod "/lib/modules/$module" 2>/dev/null || say "insmod $module failed (continuing)"
done < /modules.list
ip link set lo up || ifconfig lo 127.0.0.1 up

say "configuring the LIO target"
mount -t configfs configfs /sys/kernel/config || fatal "no configfs"
C=/sys/kernel/config/target
for t in 0 1; do
    rd=$C/core/rd_mcp_$t/ramdisk$t
    mkdir -p "$rd" || fatal "cannot create backstore $t"
    echo rd_pages=8192 > "$rd/control"
    echo 1 > "$rd/enable"
    tpg=$C/iscsi/iqn.2003-01.org.example.vm:target$t/tpgt_1
    mkdir -p "$tpg/np/127.0.0.1:3260" "$tpg/lun/lun_0" || fatal "cannot create target $t"
    ln -s "$rd" "$tpg/lun/lun_0/lun_of_target$t"
    echo 1 > "$tpg/attrib/generate_node_acls"
    echo 1 > "$tpg/attrib/cache_dynamic_acls"
    echo 0 > "$tpg/attrib/demo_mode_write_protect"
    echo 0 > "$tpg/attrib/authentication"
    echo 1 > "$tpg/enable"
done

say "logging in"
iscsid || fatal "iscsid did not start"
waitfor 20 iscsiadm -m discovery -t sendtargets -p 127.0.0.1:3260 > /tmp/discovery 2>&1 ||
    fatal "discovery failed: $(cat /tmp/discovery)"
iscsiadm -m node --login > /tmp/login 2>&1 || fatal "login failed: $(cat /tmp/login)"
sessions() { [ "$(ls /sys/class/iscsi_session 2>/dev/null | wc -l)" -ge 2 ]; }
disks() { [ "$(ls -d /sys/class/scsi_disk/* 2>/dev/null | wc -l)" -ge 2 ]; }
waitfor 30 sessions || fatal "sessions did not appear"
waitfor 30 disks || fatal "disks did not appear"
send "==== LOGGEDIN"

# run PHASE: the programs under test between two dumps of the same objects.
run() {
    mkdir -p "/tmp/$1" && cd "/tmp/$1" || fatal "no scratch directory"
    section "$1" dump-before /bin/dump-sysfs
    section "$1" inventory iscsi-inventory
    section "$1" log cat SysReader.log
    section "$1" dump-after /bin/dump-sysfs
    section "$1" buses sysfs-buses
    section "$1" iscsiadm iscsiadm -m session -P 3
    cd /
}
say "phase loggedin"
run loggedin

say "failing one session"
failed_session=$(grep -l "target1" /sys/class/iscsi_session/*/targetname | head -n 1)
failed_session=${failed_session%/targetname}
echo 0 > "$C/iscsi/iqn.2003-01.org.example.vm:target1/tpgt_1/enable"
failed() { [ "$(cat "$failed_session/state")" = FAILED ]; }
waitfor 60 failed || fatal "session ${failed_session##*/} did not fail"
send "==== FAILED ${failed_session##*/}"
say "phase failed"
run failed

send "==== DONE"
say "done"
poweroff -f

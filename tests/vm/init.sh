#!/bin/busybox sh
# SPDX-License-Identifier: MIT
# PID 1 of the test VM (busybox sh).  Sets up an LIO target with two iSCSI
# targets on 127.0.0.1:3260, logs in to both with open-iscsi, then runs the
# phases that the kernel command line names (vmtest.phases=a,b,...), each a
# file /phases/NAME.sh sourced in turn (tests/vm/phases): loggedin (both
# sessions logged in), failed (one target's portal group disabled and its
# session FAILED), chap (a third session with mutual CHAP, whose secrets no
# masked output, trace log or fact may show), iser (a session over iSER on
# soft RoCE beside the tcp ones), multipath (one LUN logged in through two
# portals and assembled into a dm-multipath map, before and after one path
# failed, in the map alone and with its portal, with the views per LUN and
# the plugin's verdict on each), churn
# (the programs over and over while sessions log out and in and LUNs come
# and go) and san (256 LUNs on four targets, timed; it logs every other
# session out, so it comes last).  Each
# phase runs the programs under test and an independent dump of the same
# sysfs objects.  Everything the host checks goes out on the second serial
# port in sections:
#   ==== BEGIN <phase> <what>  ...  ==== END <phase> <what>
# and marks: "==== PHASE <name>" as a phase begins, "==== TOOK <name> <s>"
# when it is done, "==== FATAL <reason>" for a step that failed (the run
# ends there), "==== DONE" at the end.
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
# Centiseconds since boot, from /proc/uptime.
centiseconds() {
    read -r up _ < /proc/uptime
    hundredths=${up#*.}
    echo $((${up%.*} * 100 + ${hundredths#0}))
}
# race NAME COMMAND...: runs the command once, its output thrown away, and
# notes "NAME <centiseconds> <exit status>" in /tmp/race: the san and
# multipath phases time the tool against the commands administrators would
# run instead, in turn, three runs each (vm-check takes the medians).
race() {
    race_name=$1; shift
    race_start=$(centiseconds)
    "$@" > /dev/null 2>&1
    race_status=$?
    echo "$race_name $(($(centiseconds) - race_start)) $race_status" >> /tmp/race
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

# The kernel command line: the phases, and the sizes of churn and san.
PHASES=loggedin
CHURN_RUNS=40
SAN_LUNS=64
for word in $(cat /proc/cmdline); do
    case $word in
        vmtest.phases=*) PHASES=$(echo "${word#*=}" | tr , ' ') ;;
        vmtest.churn_runs=*) CHURN_RUNS=${word#*=} ;;
        vmtest.san_luns=*) SAN_LUNS=${word#*=} ;;
    esac
done
send "==== KERNEL $(uname -r)"

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

for vm_phase in $PHASES; do
    [ -f "/phases/$vm_phase.sh" ] || fatal "no phase $vm_phase"
    say "phase $vm_phase"
    send "==== PHASE $vm_phase"
    vm_phase_started=$(centiseconds)
    . "/phases/$vm_phase.sh"
    cd /
    vm_phase_took=$(($(centiseconds) - vm_phase_started))
    send "==== TOOK $vm_phase $((vm_phase_took / 100)).$((vm_phase_took / 10 % 10))$((vm_phase_took % 10))"
done

send "==== DONE"
say "done"
poweroff -f

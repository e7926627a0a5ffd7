#!/bin/busybox sh
# SPDX-License-Identifier: MIT
# PID 1 of the test VM (busybox sh).  Sets up an LIO target with two iSCSI
# targets on 127.0.0.1:3260, logs in to both with open-iscsi, and runs the
# programs under test and an independent dump of the same sysfs objects:
# once with both sessions logged in, once after one target's portal group
# was disabled and its session went FAILED; once more with a third session
# that logged in with mutual CHAP, whose secrets no masked output, trace log
# or fact may show (chap); once with one LUN logged in through two portals
# and assembled into a dm-multipath map, before and after one path failed
# (multipath, tests/vm/phase-multipath.sh); then over and over while
# sessions log out and in and LUNs come and go (churn), and once with 256
# LUNs on four targets (san),
# timed.  Everything the host checks goes
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
# Centiseconds since boot, from /proc/uptime.
centiseconds() {
    read -r up _ < /proc/uptime
    hundredths=${up#*.}
    echo $((${up%.*} * 100 + ${hundredths#0}))
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

say "restoring the failed session"
echo 1 > "$C/iscsi/iqn.2003-01.org.example.vm:target1/tpgt_1/enable"
recovered() { [ "$(cat "$failed_session/state" 2>/dev/null)" = LOGGED_IN ]; }
waitfor 90 recovered || fatal "session ${failed_session##*/} did not log in again"

# The chap phase.  A third target admits this initiator only through its own
# ACL (no generated ACLs) and only after CHAP both ways: the initiator proves
# CHAP_SECRET to the target, the target proves CHAP_SECRET_IN back.  Two
# logins with one wrong secret each must be refused (so the target does ask,
# and the initiator does check the answer) before the right one logs in; the
# kernel then shows both secrets in the session's password and password_in,
# in clear text to root.  The dump reads them; iscsi-inventory (text, --json,
# --sessions, --prometheus, the facts script), the probe's query through the
# library and their trace logs must not show them, and --show-secrets must.  The secrets are spelled
# so that they appear nowhere else.  The session logs out again afterwards,
# and its target is disabled: the later phases do not see it.
say "phase chap"
chap_started=$(centiseconds)
INITIATOR=$(sed -n 's/^InitiatorName=//p' /etc/iscsi/initiatorname.iscsi)
CHAP_IQN=iqn.2003-01.org.example.vm:chap
CHAP_USER=vm-chap-initiator
CHAP_SECRET=Outbound-Chap-Secret-7Qx2
CHAP_USER_IN=vm-chap-target
CHAP_SECRET_IN=Inbound-Chap-Secret-9Kw5
chap_tpg=$C/iscsi/$CHAP_IQN/tpgt_1
chap_rd=$C/core/rd_mcp_3/chap
chap_acl=$chap_tpg/acls/$INITIATOR
mkdir -p "$chap_rd" || fatal "cannot create the chap backstore"
echo rd_pages=256 > "$chap_rd/control"
echo 1 > "$chap_rd/enable"
mkdir -p "$chap_tpg/np/127.0.0.1:3260" "$chap_tpg/lun/lun_0" || fatal "cannot create the chap target"
ln -s "$chap_rd" "$chap_tpg/lun/lun_0/chap"
mkdir -p "$chap_acl/lun_0" || fatal "cannot create the chap ACL"
ln -s "$chap_tpg/lun/lun_0" "$chap_acl/lun_0/lun_0"
# What the initiator must prove, and (the "mutual" pair) what the target
# proves back.  Without a newline: the target keeps every byte written.
for auth in "userid $CHAP_USER" "password $CHAP_SECRET" \
            "userid_mutual $CHAP_USER_IN" "password_mutual $CHAP_SECRET_IN"; do
    printf %s "${auth#* }" > "$chap_acl/auth/${auth%% *}" ||
        fatal "cannot set the ACL's ${auth%% *} ($(ls "$chap_acl/auth" | tr '\n' ' '))"
done
echo 0 > "$chap_tpg/attrib/generate_node_acls"
echo 0 > "$chap_tpg/attrib/demo_mode_write_protect"
echo 1 > "$chap_tpg/attrib/authentication"
echo 1 > "$chap_tpg/enable" || fatal "cannot enable the chap target"
chap_node() { iscsiadm -m node -T "$CHAP_IQN" -p 127.0.0.1:3260,1 "$@"; }
chap_set() { chap_node -o update -n "$1" -v "$2" > /tmp/chap.set 2>&1 || fatal "cannot set $1: $(cat /tmp/chap.set)"; }
chap_node -o new > /tmp/chap.set 2>&1 || fatal "cannot create the chap node record: $(cat /tmp/chap.set)"
chap_set node.session.auth.authmethod CHAP
chap_set node.session.auth.username "$CHAP_USER"
chap_set node.session.auth.username_in "$CHAP_USER_IN"
chap_sessions() { grep -lx "$CHAP_IQN" /sys/class/iscsi_session/*/targetname 2>/dev/null; }
no_chap_session() { [ -z "$(chap_sessions)" ]; }
chap_set node.session.auth.password wrong-outbound
chap_set node.session.auth.password_in "$CHAP_SECRET_IN"
section chap login-wrong-password timeout 60 iscsiadm -m node -T "$CHAP_IQN" -p 127.0.0.1:3260,1 --login
waitfor 30 no_chap_session || fatal "the refused chap session stays"
chap_set node.session.auth.password "$CHAP_SECRET"
chap_set node.session.auth.password_in wrong-inbound
section chap login-wrong-password-in timeout 60 iscsiadm -m node -T "$CHAP_IQN" -p 127.0.0.1:3260,1 --login
waitfor 30 no_chap_session || fatal "the refused chap session stays"
chap_set node.session.auth.password_in "$CHAP_SECRET_IN"
section chap login timeout 60 iscsiadm -m node -T "$CHAP_IQN" -p 127.0.0.1:3260,1 --login
chap_logged_in() {
    chap_session=$(chap_sessions | head -n 1)
    chap_session=${chap_session%/targetname}
    [ -n "$chap_session" ] && [ "$(cat "$chap_session/state")" = LOGGED_IN ]
}
waitfor 30 chap_logged_in || fatal "the chap session did not log in"
chap_session=${chap_session##*/}
send "==== CHAPSESSION $chap_session"
mkdir -p /tmp/chap/text /tmp/chap/json /tmp/chap/sessions /tmp/chap/prometheus /tmp/chap/fact \
         /tmp/chap/probe /tmp/chap/shown
section chap dump-before /bin/dump-sysfs
cd /tmp/chap/text
section chap inventory iscsi-inventory
section chap log cat SysReader.log
cd /tmp/chap/json
section chap json iscsi-inventory --json
section chap json-log cat SysReader.log
cd /tmp/chap/sessions
section chap sessions iscsi-inventory --sessions
section chap sessions-log cat SysReader.log
cd /tmp/chap/prometheus
section chap prometheus iscsi-inventory --prometheus
section chap prometheus-log cat SysReader.log
cd /tmp/chap/fact
section chap fact /usr/share/iscsi-inventory/iscsi_inventory.fact
section chap fact-files ls -A
cd /tmp/chap/probe
section chap probe vm-chap-probe iscsi_session "$chap_session" probe.log
section chap probe-log cat probe.log
cd /tmp/chap/shown
section chap show-secrets iscsi-inventory --show-secrets
section chap show-secrets-log cat SysReader.log
cd /tmp/chap
section chap modes stat -c '%a %n' text/SysReader.log json/SysReader.log sessions/SysReader.log \
    prometheus/SysReader.log shown/SysReader.log
section chap dump-after /bin/dump-sysfs
section chap buses sysfs-buses
section chap iscsiadm iscsiadm -m session -P 3
cd /
chap_node --logout > /tmp/chap.logout 2>&1 || fatal "the chap session did not log out: $(cat /tmp/chap.logout)"
chap_node -o delete > /tmp/chap.logout 2>&1
echo 0 > "$chap_tpg/enable"
waitfor 30 no_chap_session || fatal "the chap session stays after its logout"
chap_took=$(($(centiseconds) - chap_started))
send "==== CHAPPED in $((chap_took / 100)).$((chap_took / 10 % 10))$((chap_took % 10)) s"

# The multipath phase: one LUN through two portals, assembled by multipath.
. /phase-multipath.sh

# The churn phase: iscsi-inventory and sysfs-buses run in turn, CHURN_RUNS
# times in all, each between two dumps (the dump after one run is the dump
# before the next), while a loop in the background logs target0's session
# out and back in and has target1 export a new LUN, which the initiator scans
# and later deletes.  A LUN number is never used twice and session ids only
# grow, so an object that two dumps show under the same name and path is the
# same object; host numbers are reused, which vm-check allows for.
CHURN_RUNS=60
SAN_LUNS=64
# run.sh may pass other counts on the kernel command line (vm-check still
# wants 30 runs of each program and 256 LUNs).
for word in $(cat /proc/cmdline); do
    case $word in
        vmtest.churn_runs=*) CHURN_RUNS=${word#*=} ;;
        vmtest.san_luns=*) SAN_LUNS=${word#*=} ;;
    esac
done
RUN_BOUND=60    # seconds a run may take before it counts as hung
# The trace lines that open and end each attribute query of the inventory.
ATTR_QUERIES='	(Entering|Leaving) SysfsReader::GetClsDeviceAttr$|	Class Device not found: |	No devices found under device class: '
T0=iqn.2003-01.org.example.vm:target0
TPG1=$C/iscsi/iqn.2003-01.org.example.vm:target1/tpgt_1
churn_rd=$C/core/rd_mcp_2/churn
mkdir -p "$churn_rd" || fatal "cannot create the churn backstore"
echo rd_pages=256 > "$churn_rd/control"
echo 1 > "$churn_rd/enable"
# Every third cycle pauses with the session and the new LUN in place, so that
# the programs see them both come and go and stay put for a while.
churn_loop() {
    lun=0 cycles=0
    while [ ! -e /tmp/churn.stop ]; do
        lun=$((lun % 500 + 1))    # the initiator scans LUNs below 512
        cycles=$((cycles + 1))
        read -r up _ < /proc/uptime
        echo "cycle $lun at $up s" >> /tmp/churn.log
        mkdir "$TPG1/lun/lun_$lun" && ln -s "$churn_rd" "$TPG1/lun/lun_$lun/churn"
        iscsiadm -m session -R >> /tmp/churn.log 2>&1
        iscsiadm -m node -T "$T0" -p 127.0.0.1:3260 --logout >> /tmp/churn.log 2>&1
        iscsiadm -m node -T "$T0" -p 127.0.0.1:3260 --login >> /tmp/churn.log 2>&1
        [ $((cycles % 3)) = 0 ] && sleep 2
        for device in /sys/class/scsi_device/*:0:0:"$lun"; do
            [ -e "$device" ] && echo 1 > "$device/device/delete"
        done
        rm -f "$TPG1/lun/lun_$lun/churn"
        rmdir "$TPG1/lun/lun_$lun"
        echo "$cycles" > /tmp/churn.cycles
    done
}
say "phase churn ($CHURN_RUNS runs)"
mkdir -p /tmp/churn && cd /tmp/churn || fatal "no scratch directory"
rm -f /tmp/churn.stop
churn_loop &
churner=$!
section churn dump-0 /bin/dump-sysfs
run=0
while [ "$run" -lt "$CHURN_RUNS" ]; do
    run=$((run + 1))
    if [ $((run % 2)) = 1 ]; then
        section churn "inventory-$run" timeout "$RUN_BOUND" iscsi-inventory
        section churn "trace-$run" grep -E "$ATTR_QUERIES" SysReader.log
    else
        section churn "buses-$run" timeout "$RUN_BOUND" sysfs-buses scsi
    fi
    section churn "dump-$run" /bin/dump-sysfs
done
touch /tmp/churn.stop
wait "$churner"
send "==== CHURNED $(cat /tmp/churn.cycles 2>/dev/null || echo 0) cycles"
section churn loop cat /tmp/churn.log
cd /

# The SAN phase: SAN_TARGETS targets of SAN_LUNS ramdisk LUNs each (1 MB),
# one session each, everything else logged out.  Each program and each dump
# is timed in the VM.
SAN_TARGETS=4
say "phase san: $SAN_TARGETS targets of $SAN_LUNS LUNs"
iscsiadm -m node --logout > /tmp/logout 2>&1
no_sessions() { [ "$(ls /sys/class/iscsi_session 2>/dev/null | wc -l)" = 0 ]; }
waitfor 60 no_sessions || fatal "sessions did not log out: $(cat /tmp/logout)"
t=0
while [ "$t" -lt "$SAN_TARGETS" ]; do
    tpg=$C/iscsi/iqn.2003-01.org.example.vm:san$t/tpgt_1
    mkdir -p "$tpg/np/127.0.0.1:3260" || fatal "cannot create SAN target $t"
    l=0
    while [ "$l" -lt "$SAN_LUNS" ]; do
        rd=$C/core/rd_mcp_$((10 + t))/lun$l
        mkdir -p "$rd" "$tpg/lun/lun_$l" || fatal "cannot create LUN $l of SAN target $t"
        echo rd_pages=256 > "$rd/control"
        echo 1 > "$rd/enable"
        ln -s "$rd" "$tpg/lun/lun_$l/lun$l"
        l=$((l + 1))
    done
    echo 1 > "$tpg/attrib/generate_node_acls"
    echo 1 > "$tpg/attrib/cache_dynamic_acls"
    echo 0 > "$tpg/attrib/demo_mode_write_protect"
    echo 0 > "$tpg/attrib/authentication"
    echo 1 > "$tpg/enable"
    t=$((t + 1))
done
iscsiadm -m discovery -t sendtargets -p 127.0.0.1:3260 > /tmp/discovery 2>&1 ||
    fatal "SAN discovery failed: $(cat /tmp/discovery)"
t=0
while [ "$t" -lt "$SAN_TARGETS" ]; do
    iscsiadm -m node -T "iqn.2003-01.org.example.vm:san$t" -p 127.0.0.1:3260 --login > /tmp/login 2>&1 ||
        fatal "SAN login failed: $(cat /tmp/login)"
    t=$((t + 1))
done
bound_disks() {
    n=0
    for disk in /sys/bus/scsi/drivers/sd/*:*:*:*; do
        [ -e "$disk" ] && n=$((n + 1))
    done
    echo "$n"
}
san_disks() { [ "$(bound_disks)" -ge $((SAN_TARGETS * SAN_LUNS)) ]; }
waitfor 300 san_disks || fatal "SAN disks did not appear ($(bound_disks) bound to sd)"
# timed NAME COMMAND...: runs the command and notes its duration in /tmp/times.
timed() {
    name=$1; shift
    start=$(centiseconds)
    "$@"
    status=$?
    echo "$name $(($(centiseconds) - start))" >> /tmp/times
    return $status
}
mkdir -p /tmp/san && cd /tmp/san || fatal "no scratch directory"
: > /tmp/times
section san dump-before timed dump-before /bin/dump-sysfs
section san inventory timed iscsi-inventory iscsi-inventory
section san log cat SysReader.log
section san dump-after timed dump-after /bin/dump-sysfs
section san buses timed sysfs-buses sysfs-buses scsi
section san iscsiadm iscsiadm -m session -P 3
section san times cat /tmp/times
cd /

send "==== DONE"
say "done"
poweroff -f

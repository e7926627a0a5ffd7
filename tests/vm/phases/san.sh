# SPDX-License-Identifier: MIT
# Sourced by the test VM's init (tests/vm/init.sh), which provides section,
# run, waitfor, fatal, send, say, centiseconds and $C (LIO's configfs).
# The SAN phase: SAN_TARGETS targets of SAN_LUNS ramdisk LUNs each (1 MB),
# one session each, everything else logged out.  Each program and each dump
# is timed in the VM, and --sessions, --luns and --check against iscsiadm
# -m session -P 3.
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
# What administrators would run instead: the session blocks, the LUN view
# and the plugin against iscsiadm's listing (none with a trace log to
# write), in turn within each round so that the machine's load weighs on all
# alike.  No map and no baseline here: the check judges the sessions and
# paths as they are (its exit status is its verdict).  iscsiadm comes first
# in a round: mutate.sh makes the section's first status 0 a 1, which must
# fail (a check ending 1 is a WARNING, and passes).
: > /tmp/race
for round in 1 2 3; do
    race iscsiadm iscsiadm -m session -P 3
    race sessions iscsi-inventory --sessions --no-log
    race luns iscsi-inventory --luns --no-log
    race check iscsi-inventory --check --no-log
done
section san peers cat /tmp/race
cd /

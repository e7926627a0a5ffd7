# SPDX-License-Identifier: MIT
# Sourced by the test VM's init (tests/vm/init.sh), which provides section,
# run, waitfor, fatal, send, say, centiseconds and $C (LIO's configfs).
# The churn phase: iscsi-inventory and sysfs-buses run in turn, CHURN_RUNS
# times in all, each between two dumps (the dump after one run is the dump
# before the next), while a loop in the background logs target0's session
# out and back in and has target1 export a new LUN, which the initiator scans
# and later deletes.  A LUN number is never used twice and session ids only
# grow, so an object that two dumps show under the same name and path is the
# same object; host numbers are reused, which vm-check allows for.
# CHURN_RUNS comes from init (vm-check wants kChurnRunsEach runs of each
# program, see tests/vm/check/churn.cpp).
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

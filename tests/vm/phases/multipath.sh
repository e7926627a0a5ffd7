# SPDX-License-Identifier: MIT
# The multipath phase of the test VM, sourced by init.sh (busybox sh) while
# target0's and target1's sessions are logged in.  One more target exports a
# ramdisk LUN through two portal groups, tpgt_1 on 127.0.0.1:3260 and tpgt_2
# on 127.0.0.2:3260 (the loopback network holds all of 127/8), and
# open-iscsi logs in through both: two sessions, two SCSI disks, one LUN.
# Debian's multipath-tools assembles them into one dm-multipath map; udevd
# runs for this phase alone, since multipath takes only devices udev has
# initialized, while the WWID comes from sysfs (VPD page 0x83, uid_attribute
# "" as multipath.conf(5) describes it), the page the tool reads it from.
# The programs then run between two dumps as in the other phases, with
# --json, --prometheus, --luns, --check (plain, --json, and against a
# baseline it saved), udev's /dev/disk/by-path links and an independent
# dump of the disks' WWIDs, inquiry strings, sizes and holders beside them;
# --sessions and --luns are timed against iscsiadm -m session -P 3 and
# multipath -ll.  Then the 127.0.0.2 path is failed in the device-mapper
# alone (dmsetup message fail_path; nothing here runs multipathd, whose path
# checker would reinstate it) while its SCSI device runs and its session
# stays logged in: dmsetup's table and status, --luns, --json, --prometheus
# and --check beside two dumps, --luns without the privilege to ask the
# device-mapper, and after reinstate_path dmsetup and --luns once more.
# Each view of the paths runs with dmsetup's table and status of the map
# taken right before it.  Then the 127.0.0.2 portal group is disabled, the
# VM polls --prometheus (60 s at most) until that session shows state
# FAILED, and takes both dumps again, the metrics, --luns and the three
# --check runs, and a dump of the sessions.  Then the 127.0.0.1 portal
# group is disabled too (the LUN has no path left: the metrics and --check
# once more), and
# both are enabled again until the check is OK (the metrics and --check a
# last time).  The map is flushed, both sessions log out
# and udevd stops: the later phases see none of it.
say "phase multipath"
mp_started=$(centiseconds)
MP_IQN=iqn.2003-01.org.example.vm:multipath
mp_rd=$C/core/rd_mcp_5/multipath
mkdir -p "$mp_rd" || fatal "cannot create the multipath backstore"
echo rd_pages=256 > "$mp_rd/control"
echo 1 > "$mp_rd/enable"
# The unit serial that LIO makes the LUN's NAA designator (VPD page 0x83)
# from: without one the page names the LUN by vendor alone, the kernel
# shows no wwid and every LIO LUN would look like one device.
echo 5c0f1e2d-3a4b-4c6d-8e7f-90a1b2c3d4e5 > "$mp_rd/wwn/vpd_unit_serial" ||
    fatal "cannot set the multipath LUN's unit serial"
for mp_portal in 1:127.0.0.1 2:127.0.0.2; do
    mp_tpgt=${mp_portal%%:*} mp_address=${mp_portal#*:}
    tpg=$C/iscsi/$MP_IQN/tpgt_$mp_tpgt
    mkdir -p "$tpg/np/$mp_address:3260" "$tpg/lun/lun_0" || fatal "cannot create portal group $mp_tpgt"
    ln -s "$mp_rd" "$tpg/lun/lun_0/multipath"
    echo 1 > "$tpg/attrib/generate_node_acls"
    echo 1 > "$tpg/attrib/cache_dynamic_acls"
    echo 0 > "$tpg/attrib/demo_mode_write_protect"
    echo 0 > "$tpg/attrib/authentication"
    echo 1 > "$tpg/enable" || fatal "cannot enable portal group $mp_tpgt"
    iscsiadm -m node -T "$MP_IQN" -p "$mp_address:3260,$mp_tpgt" -o new > /tmp/mp.login 2>&1 ||
        fatal "cannot create the node record for $mp_address: $(cat /tmp/mp.login)"
    iscsiadm -m node -T "$MP_IQN" -p "$mp_address:3260,$mp_tpgt" --login > /tmp/mp.login 2>&1 ||
        fatal "login to $mp_address failed: $(cat /tmp/mp.login)"
done
# The block devices of the multipath target's disks, one a line.
mp_blocks() {
    for targetname in /sys/class/iscsi_session/*/targetname; do
        read -r name < "$targetname" 2>/dev/null && [ "$name" = "$MP_IQN" ] || continue
        for block in "${targetname%/targetname}"/device/target*/*:*:*:*/block/*; do
            [ -e "$block" ] && echo "${block##*/}"
        done
    done
}
mp_paths() { [ "$(mp_blocks | wc -l)" = 2 ]; }
waitfor 60 mp_paths || fatal "the multipath LUN has $(mp_blocks | wc -l) disks, not 2"

while read -r module; do
    [ -e "/sys/module/$(basename "$module" .ko | tr - _)" ] ||
        insmod "/lib/modules/$module" 2>/dev/null || say "insmod $module failed (continuing)"
done < /modules-multipath.list
# multipath takes only devices udev has initialized (it enumerates them
# with udev_enumerate_add_match_is_initialized), so udevd runs for the
# phase, with the rules that name disks by WWID (scsi_id) and by path.
systemd-udevd --daemon > /tmp/udevd.log 2>&1 || fatal "udevd did not start: $(cat /tmp/udevd.log)"
udevadm trigger --action=add --subsystem-match=block > /tmp/udevd.log 2>&1
udevadm settle --timeout=60 >> /tmp/udevd.log 2>&1 || fatal "udev did not settle: $(cat /tmp/udevd.log)"
mkdir -p /etc/multipath
# multipath's WWID of a LUN with an NAA designator: "3" (the designator's
# type) and the hex digits the kernel's wwid shows after "naa.".
read -r mp_wwid < "/sys/block/$(mp_blocks | head -n 1)/device/wwid" ||
    fatal "the kernel shows no wwid for the multipath LUN"
case $mp_wwid in
    naa.*) mp_wwid=3${mp_wwid#naa.} ;;
    *) fatal "the multipath LUN's wwid is no NAA designator: $mp_wwid" ;;
esac
cat > /etc/multipath.conf <<CONF
defaults {
    user_friendly_names yes
    # Two paths with one WWID make a map; single paths stay as they are.
    find_multipaths yes
}
overrides {
    # multipath would set each iSCSI session's recovery_tmo to this (5 s by
    # default), after which a failed session turns FREE; "off" keeps
    # open-iscsi's replacement_timeout (120 s), which outlasts the phase.
    fast_io_fail_tmo off
    # The WWID from sysfs (VPD page 0x83, as the kernel read it), not from
    # udev's ID_SERIAL: the tool's wwid comes from the same page.
    uid_attribute ""
    # No multipathd: nothing would ever end a queue.
    no_path_retry fail
}
blacklist {
    wwid ".*"
}
blacklist_exceptions {
    # The multipath LUN: target0's and target1's LUNs have no NAA designator.
    wwid "$mp_wwid"
}
CONF
# Without the device-mapper udev rules nothing would answer libdevmapper's
# udev cookies: it makes the /dev/mapper nodes itself.
export DM_DISABLE_UDEV=1
section multipath assemble multipath -v2
mp_held() {
    for block in $(mp_blocks); do
        [ -n "$(ls "/sys/block/$block/holders" 2>/dev/null)" ] || return 1
    done
}
waitfor 30 mp_held || fatal "multipath did not assemble a map over $(mp_blocks | tr '\n' ' ')"
# dmsetup names the map by its name (mpatha).
mp_map=
for holder in /sys/block/$(mp_blocks | head -n 1)/holders/*; do
    read -r mp_map < "$holder/dm/name" 2>/dev/null
done
[ -n "$mp_map" ] || fatal "the multipath map has no name"
section multipath topology multipath -ll
section multipath by-path ls -l /dev/disk/by-path

say "phase multipath: programs"
mkdir -p /tmp/multipath/json /tmp/multipath/prometheus /tmp/multipath/views /tmp/multipath/failed
run multipath
section multipath disks /bin/dump-sysfs --disks
section multipath dmtable dmsetup table "$mp_map"
section multipath dmstatus dmsetup status "$mp_map"
cd /tmp/multipath/json
section multipath json iscsi-inventory --json
cd /tmp/multipath/prometheus
section multipath prometheus iscsi-inventory --prometheus
# The views per LUN and the plugin's verdict, both paths running.  Whatever
# the plugin says, even that it does not know an option, goes into its
# section and the phase goes on: vm-check judges it.  Nothing here uses
# multipathd, so the 120 s recovery timeout of the paths' sessions stays,
# which the plugin would warn of by default: it is judged above 600 s here,
# and ignored against the baseline.
cd /tmp/multipath/views
mp_check="iscsi-inventory --check --no-log --max-recovery-timeout=600"
mp_baseline="iscsi-inventory --check --no-log --ignore=recovery-timeout --baseline=/tmp/multipath/baseline"
section multipath luns iscsi-inventory --luns --no-log
section multipath check $mp_check
section multipath check-json $mp_check --json
section multipath save-baseline iscsi-inventory --no-log --save-baseline=/tmp/multipath/baseline
section multipath baseline cat /tmp/multipath/baseline
section multipath check-baseline $mp_baseline
# What administrators would run instead: the session blocks against
# iscsiadm's, the LUN blocks against multipath's topology (the tool without
# a trace log to write).
: > /tmp/race
for round in 1 2 3; do
    race iscsiadm iscsiadm -m session -P 3
    race sessions iscsi-inventory --sessions --no-log
    race multipath multipath -ll
    race luns iscsi-inventory --luns --no-log
done
section multipath peers cat /tmp/race

say "phase multipath: failing the 127.0.0.2 path in the device-mapper alone"
# multipathd's path checker would find the path up and reinstate it; none
# runs here (multipath -v2 made the map and left).
pidof multipathd > /dev/null && fatal "multipathd runs: it would reinstate the path"
mp_dm_block=
for connection in /sys/class/iscsi_connection/connection*; do
    read -r address < "$connection/persistent_address" 2>/dev/null && [ "$address" = 127.0.0.2 ] || continue
    sid=${connection##*/connection}
    sid=${sid%:*}
    for block in /sys/class/iscsi_session/session$sid/device/target*/*:*:*:*/block/*; do
        [ -e "$block" ] && mp_dm_block=${block##*/}
    done
done
[ -n "$mp_dm_block" ] && read -r mp_dm_dev < "/sys/block/$mp_dm_block/dev" ||
    fatal "no disk through 127.0.0.2"
dmsetup message "$mp_map" 0 "fail_path $mp_dm_dev" > /tmp/mp.dm 2>&1 ||
    fatal "dmsetup message $mp_map fail_path $mp_dm_dev: $(cat /tmp/mp.dm)"
send "==== MPDMFAILED $mp_dm_block $mp_dm_dev"
mkdir -p /tmp/multipath/dm
cd /tmp/multipath/dm
section multipath dump-dmfailed /bin/dump-sysfs
section multipath disks-dmfailed /bin/dump-sysfs --disks
section multipath dmtable-dmfailed dmsetup table "$mp_map"
section multipath dmstatus-dmfailed dmsetup status "$mp_map"
section multipath luns-dmfailed iscsi-inventory --luns --no-log
section multipath json-dmfailed iscsi-inventory --json --no-log
section multipath prometheus-dmfailed iscsi-inventory --prometheus --no-log
section multipath check-dmfailed $mp_check
# As nobody (su drops every capability with root's uid) the device-mapper
# answers nothing: the paths are judged from sysfs alone, and said so.
section multipath luns-unprivileged su -s /bin/sh -c "/usr/bin/iscsi-inventory --luns --no-log" nobody
dmsetup message "$mp_map" 0 "reinstate_path $mp_dm_dev" > /tmp/mp.dm 2>&1 ||
    fatal "dmsetup message $mp_map reinstate_path $mp_dm_dev: $(cat /tmp/mp.dm)"
section multipath dump-reinstated /bin/dump-sysfs
section multipath disks-reinstated /bin/dump-sysfs --disks
section multipath dmtable-reinstated dmsetup table "$mp_map"
section multipath dmstatus-reinstated dmsetup status "$mp_map"
section multipath luns-reinstated iscsi-inventory --luns --no-log

say "phase multipath: failing the 127.0.0.2 path"
mp_failed=
for address in /sys/class/iscsi_connection/*/persistent_address; do
    read -r value < "$address" 2>/dev/null && [ "$value" = 127.0.0.2 ] || continue
    mp_failed=${address%/persistent_address}
    mp_failed=session${mp_failed##*/connection}
    mp_failed=${mp_failed%:*}
done
[ -e "/sys/class/iscsi_session/$mp_failed" ] || fatal "no session through 127.0.0.2"
mp_fail_started=$(centiseconds)
echo 0 > "$C/iscsi/$MP_IQN/tpgt_2/enable"
cd /tmp/multipath/failed
mp_shown_failed() {
    iscsi-inventory --prometheus --no-log 2>/dev/null |
        grep -qx "iscsi_session_state{session=\"$mp_failed\",state=\"FAILED\"} 1"
}
waitfor 60 mp_shown_failed || fatal "--prometheus did not show $mp_failed FAILED within 60 s"
mp_fail_took=$(($(centiseconds) - mp_fail_started))
send "==== MPFAILED $mp_failed after $((mp_fail_took / 100)).$((mp_fail_took / 10 % 10))$((mp_fail_took % 10)) s"
# Everything the views and the verdict are held against, then each of them:
# the failed path's session stays FAILED for its recovery timeout (120 s),
# long after these.
section multipath dump-failed /bin/dump-sysfs
section multipath disks-failed /bin/dump-sysfs --disks
section multipath dmtable-failed dmsetup table "$mp_map"
section multipath dmstatus-failed dmsetup status "$mp_map"
section multipath prometheus-failed iscsi-inventory --prometheus
section multipath luns-failed iscsi-inventory --luns --no-log
section multipath check-failed $mp_check
section multipath check-json-failed $mp_check --json
section multipath check-baseline-failed $mp_baseline
section multipath sessions-failed /bin/dump-sysfs iscsi_session state

say "phase multipath: failing the 127.0.0.1 path too, then bringing both back"
# No path left: the verdict and the alerts' findings are CRITICAL.
echo 0 > "$C/iscsi/$MP_IQN/tpgt_1/enable"
mp_both_failed() {
    [ "$(iscsi-inventory --prometheus --no-log 2>/dev/null | grep -c '^iscsi_check_finding{rule="no-path",severity="critical"')" -ge 1 ]
}
waitfor 60 mp_both_failed || fatal "--prometheus did not show the multipath LUN without a path within 60 s"
section multipath prometheus-both-failed iscsi-inventory --prometheus
section multipath check-both-failed $mp_check
section multipath check-json-both-failed $mp_check --json
# Both portals back: the sessions log in again (well within their 120 s
# recovery timeout) and the verdict is OK again.
echo 1 > "$C/iscsi/$MP_IQN/tpgt_1/enable"
echo 1 > "$C/iscsi/$MP_IQN/tpgt_2/enable"
mp_back() { $mp_check > /dev/null 2>&1; }
waitfor 90 mp_back || say "the multipath sessions did not come back within 90 s"
section multipath prometheus-back iscsi-inventory --prometheus
section multipath check-back $mp_check
section multipath check-json-back $mp_check --json
cd /

say "phase multipath: tearing down"
multipath -F > /tmp/mp.flush 2>&1
[ -z "$(dmsetup ls --target multipath 2>/dev/null | grep -v '^No devices')" ] ||
    fatal "the multipath map stays: $(cat /tmp/mp.flush)"
iscsiadm -m node -T "$MP_IQN" --logout > /tmp/mp.logout 2>&1
iscsiadm -m node -T "$MP_IQN" -o delete >> /tmp/mp.logout 2>&1
echo 0 > "$C/iscsi/$MP_IQN/tpgt_1/enable"
echo 0 > "$C/iscsi/$MP_IQN/tpgt_2/enable"
no_mp_session() { ! grep -qx "$MP_IQN" /sys/class/iscsi_session/*/targetname 2>/dev/null; }
waitfor 30 no_mp_session || fatal "the multipath sessions stay: $(cat /tmp/mp.logout)"
unset DM_DISABLE_UDEV
# udevd must be gone: the churn and SAN phases would wait for its rules.
udevadm control --exit > /dev/null 2>&1
udevd_gone() { ! pidof systemd-udevd > /dev/null; }
waitfor 10 udevd_gone || fatal "udevd did not stop"
rm -rf /run/udev /dev/disk
# Unloaded again, so that the disks of the later phases are scanned as before
# (scsi_dh_alua would attach to each).
for module in $(tac /modules-multipath.list); do
    rmmod "$(basename "$module" .ko)" 2>/dev/null
done
[ -e /sys/module/scsi_dh_alua ] && say "scsi_dh_alua stays loaded"
mp_took=$(($(centiseconds) - mp_started))
send "==== MULTIPATHED in $((mp_took / 100)).$((mp_took / 10 % 10))$((mp_took % 10)) s"

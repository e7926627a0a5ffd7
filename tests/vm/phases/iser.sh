# SPDX-License-Identifier: MIT
# Sourced by the test VM's init (tests/vm/init.sh), which provides section,
# run, waitfor, fatal, send, say, centiseconds and $C (LIO's configfs).
# The iser phase: a second transport beside the two tcp sessions.  The VM has
# no network card and no RDMA hardware, so soft RoCE (rdma_rxe) runs on a
# dummy network device with an address of its own (Debian's kernels do not
# build soft iWARP); LIO exports two LUNs through an iSER portal on that
# address (ib_isert), and open-iscsi logs in through an iface whose
# transport is iser (ib_iser).  The programs then see two transports, a SCSI
# host of each kind and the iSER session's disks: text, --json, --sessions
# and --prometheus, each checked against the dump.  The session logs out
# again afterwards; the iser transport stays registered for the later phases.
ISER_IP=10.77.0.1
ISER_PORTAL=$ISER_IP:3260
ISER_IQN=iqn.2003-01.org.example.vm:iser
# iser_fatal REASON: the kernel's last words with the reason, then the end.
iser_fatal() {
    section iser dmesg dmesg
    fatal "iser: $*"
}
while read -r module; do
    insmod "/lib/modules/$module" > /tmp/iser.insmod 2>&1 ||
        iser_fatal "insmod $module: $(cat /tmp/iser.insmod)"
done < /modules-iser.list
# dummy makes dummy0 as it loads.
ip addr add "$ISER_IP/24" dev dummy0 > /tmp/iser.net 2>&1 &&
    ip link set dummy0 up >> /tmp/iser.net 2>&1 ||
    iser_fatal "cannot set up dummy0: $(cat /tmp/iser.net)"
rdma link add rxe0 type rxe netdev dummy0 > /tmp/iser.rdma 2>&1 ||
    iser_fatal "rdma link add rxe0 on dummy0: $(cat /tmp/iser.rdma)"
rxe_active() { rdma link show rxe0/1 2>/dev/null | grep -q "state ACTIVE"; }
waitfor 30 rxe_active || iser_fatal "rxe0 is not ACTIVE: $(rdma link show 2>&1)"

iser_tpg=$C/iscsi/$ISER_IQN/tpgt_1
mkdir -p "$iser_tpg/np/$ISER_PORTAL" || iser_fatal "cannot create the iser portal"
for l in 0 1; do
    rd=$C/core/rd_mcp_4/iser$l
    mkdir -p "$rd" "$iser_tpg/lun/lun_$l" || iser_fatal "cannot create iser LUN $l"
    echo rd_pages=256 > "$rd/control"
    echo 1 > "$rd/enable"
    ln -s "$rd" "$iser_tpg/lun/lun_$l/iser$l"
done
# The portal's iSER listener (next to its tcp one): ib_isert binds an RDMA
# CM id to the address, which only works when an RDMA device serves it.
echo 1 > "$iser_tpg/np/$ISER_PORTAL/iser" 2> /tmp/iser.np ||
    iser_fatal "the target refuses iser on $ISER_PORTAL: $(cat /tmp/iser.np)"
echo 1 > "$iser_tpg/attrib/generate_node_acls"
echo 1 > "$iser_tpg/attrib/cache_dynamic_acls"
echo 0 > "$iser_tpg/attrib/demo_mode_write_protect"
echo 0 > "$iser_tpg/attrib/authentication"
echo 1 > "$iser_tpg/enable"

iser_adm() { "$@" > /tmp/iser.adm 2>&1 || iser_fatal "$*: $(cat /tmp/iser.adm)"; }
iser_adm iscsiadm -m iface -I iser0 -o new
iser_adm iscsiadm -m iface -I iser0 -o update -n iface.transport_name -v iser
iser_adm iscsiadm -m node -T "$ISER_IQN" -p "$ISER_PORTAL" -I iser0 -o new
section iser login timeout 60 iscsiadm -m node -T "$ISER_IQN" -p "$ISER_PORTAL" -I iser0 --login
iser_sessions() { grep -lx "$ISER_IQN" /sys/class/iscsi_session/*/targetname 2>/dev/null; }
iser_logged_in() {
    iser_session=$(iser_sessions | head -n 1)
    iser_session=${iser_session%/targetname}
    [ -n "$iser_session" ] && [ "$(cat "$iser_session/state")" = LOGGED_IN ]
}
waitfor 30 iser_logged_in || iser_fatal "the iser session did not log in"
iser_disks() { [ "$(ls -d "$iser_session"/device/target*/*:*:*:*/block/* 2>/dev/null | wc -l)" -ge 2 ]; }
waitfor 60 iser_disks || iser_fatal "the iser session's disks did not appear"
send "==== ISERSESSION ${iser_session##*/}"

mkdir -p /tmp/iser && cd /tmp/iser || fatal "no scratch directory"
section iser dump-before /bin/dump-sysfs
section iser inventory iscsi-inventory
section iser log cat SysReader.log
section iser json iscsi-inventory --json --no-log
section iser sessions iscsi-inventory --sessions --no-log
section iser prometheus iscsi-inventory --prometheus --no-log
section iser dump-after /bin/dump-sysfs
section iser buses sysfs-buses
section iser iscsiadm iscsiadm -m session -P 3
section iser rdma rdma link show
cd /

iscsiadm -m node -T "$ISER_IQN" -p "$ISER_PORTAL" -I iser0 --logout > /tmp/iser.adm 2>&1 ||
    iser_fatal "the iser session did not log out: $(cat /tmp/iser.adm)"
iscsiadm -m node -T "$ISER_IQN" -p "$ISER_PORTAL" -I iser0 -o delete > /tmp/iser.adm 2>&1
echo 0 > "$iser_tpg/enable"
no_iser_session() { [ -z "$(iser_sessions)" ]; }
waitfor 30 no_iser_session || iser_fatal "the iser session stays after its logout"

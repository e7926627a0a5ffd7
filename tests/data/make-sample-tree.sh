#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the sample iSCSI sysfs tree under DIR/sys, laid out as the kernel's
# iSCSI transport class lays it out: a hardware HBA host (host1, be2iscsi,
# under a PCI device) with one session, two software initiator hosts (host2
# and host3 under the platform bus: iscsi_tcp makes a host for each session),
# their disks (targets and LUNs below each session, a block device below most
# LUNs, each in class/block),
# the "be2iscsi" and "tcp" transports, the transport class's module version,
# and a scsi_host entry named "iscsi" whose "path" attributes lead to
# directories with subdirectories.
# Values have the forms a real kernel writes (tests/data/real-iscsi-loggedin
# is a copy of one): "(null)" for unset strings, digests as 0 or 1, the pid of
# the iscsid that created a session as its creator (-1 only for a session an
# HBA logs in from its flash, which this tree has none of), a recovery_tmo
# that never expires as "off", SCSI inquiry strings padded to their field
# width, I/O counters in hex.  Each driver shows only the attributes its
# transport makes visible: iscsi_tcp's host has no port state or speed;
# be2iscsi's has no IP address or netdev (those live in its iscsi_iface
# objects, left out here), and its sessions no tgt_reset_tmo or local_port.
# open-iscsi's iscsiadm reads this tree as it reads a kernel's
# (tests/iscsiadm_agrees_test.sh).
set -euo pipefail
root=${1:?usage: make-sample-tree.sh DIR}
rm -rf "$root/sys"
mkdir -p "$root/sys"
cd "$root/sys"

# rel FROM_DIR TO: relative path from one sysfs directory to another.
rel() { realpath -m --relative-to="/$1" "/$2"; }
# link AT TARGET: a relative symlink, as sysfs writes them (a link to an
# ancestor climbs one level more and names it: ../../../host0, never ../..).
link() {
  local r; r=$(rel "$(dirname "$1")" "$2")
  case "$r" in ..|*/..) r="$r/../$(basename "$2")";; esac
  mkdir -p "$(dirname "$1")"; ln -sfn "$r" "$1"
}
# attrs DIR name=value...: attribute files with a final newline.
attrs() { local d=$1; shift; mkdir -p "$d"; for kv in "$@"; do printf '%s\n' "${kv#*=}" > "$d/${kv%%=*}"; done; }
# power DIR: the power/ subdirectory every device has.
power() { attrs "$1/power" control=auto runtime_status=unsupported runtime_active_time=0 async=disabled; }
# classdev CLASS DIR [virtual]: class device directory, class entry, links.
classdev() {
  mkdir -p "$2"; link "class/$1/$(basename "$2")" "$2"; link "$2/subsystem" "class/$1"
  [ "${3:-}" = virtual ] || link "$2/device" "$(dirname "$(dirname "$2")")"
  printf '' > "$2/uevent"; power "$2"
}
# busdev BUS DIR [DRIVER]
busdev() {
  mkdir -p "$2" "bus/$1/drivers"; link "bus/$1/devices/$(basename "$2")" "$2"; link "$2/subsystem" "bus/$1"
  if [ -n "${3:-}" ]; then link "$2/driver" "bus/$1/drivers/$3"; link "bus/$1/drivers/$3/$(basename "$2")" "$2"; fi
  power "$2"
}

pci=devices/pci0000:00/0000:00:1f.2
busdev pci "$pci" be2iscsi
attrs "$pci" vendor=0x19a2 device=0x0712 class=0x0c0400 irq=11 enable=1 numa_node=-1
printf '' > "$pci/uevent"; printf '' > "$pci/reset"; chmod 200 "$pci/reset"

# host PARENT N PROC_NAME CAN_QUEUE CMD_PER_LUN SG_TABLESIZE ISCSI_HOST_ATTR=VALUE...
host() {
  local h=$1/host$2 n=$2
  busdev scsi "$h"; attrs "$h" uevent=DEVTYPE=scsi_host
  classdev iscsi_host "$h/iscsi_host/host$n"
  attrs "$h/iscsi_host/host$n" "${@:7}"
  classdev scsi_host "$h/scsi_host/host$n"
  attrs "$h/scsi_host/host$n" proc_name="$3" state=running host_busy=0 can_queue="$4" \
    cmd_per_lun="$5" sg_tablesize="$6" unique_id=0 active_mode=Initiator supported_mode=Initiator \
    eh_deadline=off nr_hw_queues=1 prot_capabilities=0 prot_guard_type=0 sg_prot_tablesize=0 use_blk_mq=1
  printf '' > "$h/scsi_host/host$n/scan"; chmod 200 "$h/scsi_host/host$n/scan"
  printf '' > "$h/scsi_host/host$n/host_reset"; chmod 200 "$h/scsi_host/host$n/host_reset"
}
# The HBA's port state and speed in the kernel's words; its IP address is in
# its iscsi_iface objects, which this tree leaves out.
host "$pci" 1 be2iscsi 1024 128 30 hwaddress=00:90:fa:12:34:56 \
  initiatorname=iqn.1994-05.com.example:hba1 port_state='LINK UP' port_speed='10 Gbps'
# iscsi_tcp makes a host for each session.
for n in 2 3; do
  host devices/platform "$n" iscsi_tcp 113 32 4096 hwaddress='(null)' initiatorname='(null)' \
    ipaddress=127.0.0.1 netdev='(null)'
done

# session HOST SID TARGET PORTAL_IP PORT STATE CONN_STATE IFACE DIGEST: the
# attributes every transport shows; iscsi_tcp's extras are added below.
creator=612  # the pid of the iscsid that logged the sessions in
session() {
  local s=$1/session$2 c=$1/session$2/connection$2:0
  mkdir -p "$s"; printf '' > "$s/uevent"; power "$s"
  classdev iscsi_session "$s/iscsi_session/session$2"
  attrs "$s/iscsi_session/session$2" targetname="$3" tpgt=1 state="$6" recovery_tmo=120 \
    initiatorname=iqn.1993-08.org.debian:01:5f2c1a9e7b3d ifacename="$8" username='(null)' \
    password='(null)' username_in='(null)' password_in='(null)' fast_abort=1 abort_tmo=15 lu_reset_tmo=30 \
    initial_r2t=0 immediate_data=1 first_burst_len=262144 max_burst_len=16776192 \
    max_outstanding_r2t=1 data_pdu_in_order=1 data_seq_in_order=1 erl=0 creator=$creator target_id=0 \
    target_state=SCANNED
  mkdir -p "$c"; printf '' > "$c/uevent"; power "$c"
  classdev iscsi_connection "$c/iscsi_connection/connection$2:0"
  attrs "$c/iscsi_connection/connection$2:0" persistent_address="$4" persistent_port="$5" address="$4" \
    port="$5" header_digest="$9" data_digest="$9" max_recv_dlength=262144 \
    max_xmit_dlength=262144 exp_statsn=$((100 + $2)) ping_tmo=5 recv_tmo=5 state="$7"
}
tcp_session() {  # the attributes only iscsi_tcp makes visible
  attrs "$1/session$2/iscsi_session/session$2" tgt_reset_tmo=30
  attrs "$1/session$2/connection$2:0/iscsi_connection/connection$2:0" local_port=$((45000 + $2))
}
# The HBA logged in through its default iface record, named after its MAC,
# with header and data digests.
session "$pci/host1" 1 iqn.2003-01.org.example:storage.lun1 192.168.10.50 3260 LOGGED_IN up \
  be2iscsi.00:90:fa:12:34:56.ipv4.0 1
# It holds the root disk, so its recovery never times out: the kernel shows
# a recovery_tmo of -1 as "off".
attrs "$pci/host1/session1/iscsi_session/session1" recovery_tmo=off
session devices/platform/host2 2 iqn.2003-01.org.linux-iscsi.target1 127.0.0.1 3260 LOGGED_IN up default 0
tcp_session devices/platform/host2 2
# A session whose target went away: the connection failed, iscsid keeps
# retrying until recovery_tmo.
session devices/platform/host3 3 iqn.2003-01.org.linux-iscsi.target2 127.0.0.1 3260 FAILED failed default 0
tcp_session devices/platform/host3 3
: > "devices/platform/host3/session3/iscsi_session/session3/initiatorname"  # an empty value
# Session 2 logged in with mutual CHAP: the kernel shows both secrets to root.
attrs devices/platform/host2/session2/iscsi_session/session2 username=iqn-initiator-user \
  password=SampleOutSecret username_in=target-user password_in=SampleInSecret

# lun SESSION_DIR H:C:T:L STATE [DISK MAJOR:MINOR WWID]: a logical unit in its
# target below the session, bound to sd, with its block device (in
# class/block too) when it has one.  Inquiry strings are padded to their
# field widths (8, 16, 4) as the kernel prints them.
lun() {
  local t=$1/target${2%:*} b
  [ -d "$t" ] || { busdev scsi "$t"; attrs "$t" uevent=DEVTYPE=scsi_target; }
  busdev scsi "$t/$2" sd
  attrs "$t/$2" state="$3" type=0 vendor='LIO-ORG ' model='IBLOCK          ' rev='4.0 ' \
    uevent=DEVTYPE=scsi_device scsi_level=7 queue_depth=128 timeout=30 device_blocked=0 \
    ioerr_cnt=0x0 iotmo_cnt=0x0 iorequest_cnt=0x$((40 + ${2##*:}))
  [ -n "${4:-}" ] || return 0
  b=$t/$2/block/$4
  classdev block "$b"; link "block/$4" "$b"
  attrs "$t/$2" wwid="$6"
  attrs "$b" dev="$5" size=2097152 ro=0 removable=0 \
    uevent="$(printf 'MAJOR=%s\nMINOR=%s\nDEVNAME=%s\nDEVTYPE=disk' "${5%:*}" "${5#*:}" "$4")"
  mkdir -p "$b/holders" "$b/slaves"
}
lun "$pci/host1/session1" 1:0:0:0 running sdc 8:32 naa.6001405a1b2c3d4e5f60718293a4b5c6
# Byte order would put LUN 10 before LUN 2; the failed session's LUN has no disk.
lun devices/platform/host2/session2 2:0:0:2 running sda 8:0 naa.60014057d1e2f3a4b5c6d7e8f9a0b1c2
lun devices/platform/host2/session2 2:0:0:10 running sdb 8:16 naa.6001405c3d4e5f60718293a4b5c6d7e8
lun devices/platform/host3/session3 3:0:0:1 transport-offline

# The transports, by their handles (kernel addresses) and capability bits:
# iscsi_tcp's recovery level 0, multiple R2T, header and data digests; the
# HBA's add text negotiation and data path offload.
classdev iscsi_transport devices/virtual/iscsi_transport/tcp virtual
attrs devices/virtual/iscsi_transport/tcp handle=18446744072640299136 caps=0x39
classdev iscsi_transport devices/virtual/iscsi_transport/be2iscsi virtual
attrs devices/virtual/iscsi_transport/be2iscsi handle=18446744072647647552 caps=0x8b9
attrs module/scsi_transport_iscsi version=2.0-870

# The "iscsi" scsi_host entry: besides its own path and its device's, a "path"
# attribute of its own leads to a directory of portals, each with attributes.
busdev platform devices/platform/iscsi
classdev scsi_host devices/platform/iscsi/scsi_host/iscsi
attrs devices/platform/iscsi/scsi_host/iscsi proc_name=iscsi_tcp state=running \
  path=/sys/devices/platform/iscsi/portals
attrs devices/platform/iscsi/portals/portal0 address=127.0.0.1 port=3260 tpgt=1
attrs devices/platform/iscsi/portals/portal1 address=192.168.10.50 port=3260 tpgt=1

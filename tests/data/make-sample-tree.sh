#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the sample iSCSI sysfs tree under DIR/sys, laid out as the kernel's
# iSCSI transport class lays it out: a hardware HBA host (host1, under a PCI
# device) with one session, a software initiator host (host2, under the
# platform bus) with two, their disks (targets and LUNs below each session,
# a block device below most LUNs), the "tcp" transport, and a scsi_host entry
# named "iscsi" whose "path" attributes lead to directories with
# subdirectories.
# Values follow what a real iscsi_tcp stack shows ("(null)" for unset strings).
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

host() {  # host PARENT N INITIATOR IP HWADDR NETDEV
  local h=$1/host$2
  busdev scsi "$h"; attrs "$h" uevent=DEVTYPE=scsi_host
  classdev iscsi_host "$h/iscsi_host/host$2"
  attrs "$h/iscsi_host/host$2" initiatorname="$3" ipaddress="$4" hwaddress="$5" netdev="$6" \
    port_state=LINK_UP port_speed=10Gbps
  classdev scsi_host "$h/scsi_host/host$2"
  attrs "$h/scsi_host/host$2" proc_name="$7" state=running host_busy=0 can_queue=113 cmd_per_lun=128 \
    sg_tablesize=4096 unique_id="$2"
  printf '' > "$h/scsi_host/host$2/scan"; chmod 200 "$h/scsi_host/host$2/scan"
  printf '' > "$h/scsi_host/host$2/host_reset"; chmod 200 "$h/scsi_host/host$2/host_reset"
}
host "$pci" 1 iqn.1994-05.com.example:hba1 192.168.10.21 00:90:fa:12:34:56 eth2 be2iscsi
host devices/platform 2 '(null)' 127.0.0.1 '(null)' '(null)' iscsi_tcp

session() {  # session HOST SID TARGET PORTAL_IP PORT STATE
  local s=$1/session$2 c=$1/session$2/connection$2:0
  mkdir -p "$s"; printf '' > "$s/uevent"; power "$s"
  classdev iscsi_session "$s/iscsi_session/session$2"
  attrs "$s/iscsi_session/session$2" targetname="$3" tpgt=1 state="$6" recovery_tmo=120 \
    initiatorname=iqn.1993-08.org.debian:01:5f2c1a9e7b3d ifacename=default username='(null)' \
    password='(null)' username_in='(null)' password_in='(null)' fast_abort=1 abort_tmo=15 lu_reset_tmo=30 \
    tgt_reset_tmo=30 initial_r2t=0 immediate_data=1 first_burst_len=262144 max_burst_len=16776192 \
    max_outstanding_r2t=1 data_pdu_in_order=1 data_seq_in_order=1 erl=0 creator=-1 target_id=0 \
    sid="$2" target_state=SCANNED
  mkdir -p "$c"; printf '' > "$c/uevent"; power "$c"
  classdev iscsi_connection "$c/iscsi_connection/connection$2:0"
  attrs "$c/iscsi_connection/connection$2:0" persistent_address="$4" persistent_port="$5" address="$4" \
    port="$5" local_port=$((45000 + $2)) header_digest=None data_digest=None max_recv_dlength=262144 \
    max_xmit_dlength=262144 exp_statsn=$((100 + $2)) ping_tmo=5 recv_tmo=5 state=up
}
session "$pci/host1" 1 iqn.2003-01.org.example:storage.lun1 192.168.10.50 3260 LOGGED_IN
session devices/platform/host2 2 iqn.2003-01.org.linux-iscsi.target1 127.0.0.1 3260 LOGGED_IN
session devices/platform/host2 3 iqn.2003-01.org.linux-iscsi.target2 127.0.0.1 3260 FAILED
: > "devices/platform/host2/session3/iscsi_session/session3/initiatorname"  # an empty value
# Session 2 logged in with mutual CHAP: the kernel shows both secrets to root.
attrs devices/platform/host2/session2/iscsi_session/session2 username=iqn-initiator-user \
  password=SampleOutSecret username_in=target-user password_in=SampleInSecret

# lun SESSION_DIR H:C:T:L STATE [DISK]: a logical unit in its target below the
# session, bound to sd, with its block device when it has one.
lun() {
  local t=$1/target${2%:*}
  [ -d "$t" ] || { busdev scsi "$t"; attrs "$t" uevent=DEVTYPE=scsi_target; }
  busdev scsi "$t/$2" sd
  attrs "$t/$2" state="$3" type=0 vendor=LIO-ORG model=IBLOCK rev=4.0 uevent=DEVTYPE=scsi_device
  if [ -n "${4:-}" ]; then attrs "$t/$2/block/$4" dev=8:0 size=2097152 ro=0; power "$t/$2/block/$4"; fi
}
lun "$pci/host1/session1" 1:0:0:0 running sdc
# Byte order would put LUN 10 before LUN 2; the failed session's LUN has no disk.
lun devices/platform/host2/session2 2:0:0:2 running sda
lun devices/platform/host2/session2 2:0:0:10 running sdb
lun devices/platform/host2/session3 2:0:1:1 transport-offline

classdev iscsi_transport devices/virtual/iscsi_transport/tcp virtual
attrs devices/virtual/iscsi_transport/tcp handle=18446744072640299136 caps=0x39

# The "iscsi" scsi_host entry: besides its own path and its device's, a "path"
# attribute of its own leads to a directory of portals, each with attributes.
busdev platform devices/platform/iscsi
classdev scsi_host devices/platform/iscsi/scsi_host/iscsi
attrs devices/platform/iscsi/scsi_host/iscsi proc_name=iscsi_tcp state=running \
  path=/sys/devices/platform/iscsi/portals
attrs devices/platform/iscsi/portals/portal0 address=127.0.0.1 port=3260 tpgt=1
attrs devices/platform/iscsi/portals/portal1 address=192.168.10.50 port=3260 tpgt=1

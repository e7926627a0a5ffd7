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
# The builders (rel, link, attrs, power, classdev, busdev, host, session,
# tcp_session, lun) and what each writes: tree-lib.sh.
. "$(cd "$(dirname "$0")" && pwd)/tree-lib.sh"
cd "$root/sys"

pci=devices/pci0000:00/0000:00:1f.2
busdev pci "$pci" be2iscsi
attrs "$pci" vendor=0x19a2 device=0x0712 class=0x0c0400 irq=11 enable=1 numa_node=-1
printf '' > "$pci/uevent"; printf '' > "$pci/reset"; chmod 200 "$pci/reset"

# The HBA's port state and speed in the kernel's words; its IP address is in
# its iscsi_iface objects, which this tree leaves out.
host "$pci" 1 be2iscsi 1024 128 30 hwaddress=00:90:fa:12:34:56 \
  initiatorname=iqn.1994-05.com.example:hba1 port_state='LINK UP' port_speed='10 Gbps'
# iscsi_tcp makes a host for each session.
for n in 2 3; do
  host devices/platform "$n" iscsi_tcp 113 32 4096 hwaddress='(null)' initiatorname='(null)' \
    ipaddress=127.0.0.1 netdev='(null)'
done

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

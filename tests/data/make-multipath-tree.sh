#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds, under DIR/sys, a host whose storage is in trouble, laid out as the
# kernel lays it out (the builders of make-sample-tree.sh, tree-lib.sh):
#  - one target reached through two portals (192.0.2.1:3260 portal group 1,
#    192.0.2.2:3260 portal group 2), a session each (iscsi_tcp makes a host
#    for each: host2 and host3), session2 LOGGED_IN, session3 FAILED with its
#    connection failed, as a session is while its portal is down and
#    recovery_tmo (120 s, open-iscsi's default) has not run out;
#  - LUN 0 seen through both (sdb on 2:0:0:0, sdc on 3:0:0:0, one WWID),
#    assembled by multipath into dm-0, "mpatha"; the failed session's device
#    is transport-offline: 1 of 2 paths running;
#  - LUN 1 through session2 alone (sdd, 2 GiB), read-only: its block device
#    shows ro 1, as a LUN the target exports write-protected does;
#  - LUN 5 through session2, taken offline by the SCSI layer after errors,
#    with no block device and no WWID.
# The demo shows the verdict forms (--check, --luns, --summary) on it, and
# the tests of those forms, of the metrics and of the alert rules run on it.
set -euo pipefail
root=${1:?usage: make-multipath-tree.sh DIR}
rm -rf "$root/sys"
mkdir -p "$root/sys"
. "$(cd "$(dirname "$0")" && pwd)/tree-lib.sh"
cd "$root/sys"

target=iqn.2003-01.org.example:storage
for n in 2 3; do
  host devices/platform "$n" iscsi_tcp 113 32 4096 hwaddress='(null)' initiatorname='(null)' \
    ipaddress=192.0.2.100 netdev='(null)'
done
session devices/platform/host2 2 "$target" 192.0.2.1 3260 LOGGED_IN up default 0
tcp_session devices/platform/host2 2
session devices/platform/host3 3 "$target" 192.0.2.2 3260 FAILED failed default 0
tcp_session devices/platform/host3 3
attrs devices/platform/host3/session3/iscsi_session/session3 tpgt=2

shared=naa.6001405f1e2d3c4b5a69788796a5b4c3
lun devices/platform/host2/session2 2:0:0:0 running sdb 8:16 "$shared"
lun devices/platform/host3/session3 3:0:0:0 transport-offline sdc 8:32 "$shared"
lun devices/platform/host2/session2 2:0:0:1 running sdd 8:48 naa.60014052c3d4e5f60718293a4b5c6d7e
attrs devices/platform/host2/session2/target2:0:0/2:0:0:1/block/sdd ro=1 size=4194304
lun devices/platform/host2/session2 2:0:0:5 offline

# The multipath map over sdb and sdc: a device-mapper block device whose
# uuid names its target type, holding both.
dm=devices/virtual/block/dm-0
classdev block "$dm" virtual; link block/dm-0 "$dm"
attrs "$dm" dev=254:0 size=2097152 ro=0 removable=0
attrs "$dm/dm" name=mpatha uuid=mpath-36001405f1e2d3c4b5a69788796a5b4c3 suspended=0
for disk in host2/session2/target2:0:0/2:0:0:0/block/sdb host3/session3/target3:0:0/3:0:0:0/block/sdc; do
  link "devices/platform/$disk/holders/dm-0" "$dm"
  link "$dm/slaves/${disk##*/}" "devices/platform/$disk"
done

classdev iscsi_transport devices/virtual/iscsi_transport/tcp virtual
attrs devices/virtual/iscsi_transport/tcp handle=18446744072640299136 caps=0x39
attrs module/scsi_transport_iscsi version=2.0-870

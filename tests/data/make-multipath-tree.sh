#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds, under DIR/sys, a host whose storage is in trouble, laid out as the
# kernel lays it out (the builders of make-sample-tree.sh, tree-lib.sh):
#  - one target reached through two portals (192.0.2.10:3260 portal group 1,
#    192.0.2.11:3260 portal group 2), a session each (iscsi_tcp makes a host
#    for each: host4 and host5), the first LOGGED_IN, the second FAILED with
#    its connection failed, as a session is while its portal is down and
#    recovery_tmo (120 s, open-iscsi's default) has not run out;
#  - LUN 0 seen through both (sdd on 4:0:0:0, sde on 5:0:0:0, one WWID),
#    assembled by multipath into dm-0, "mpatha"; the failed session's device
#    is transport-offline: 1 of 2 paths running;
#  - LUN 1 through the first session alone (sdf), read-only: its block device
#    shows ro 1, as a LUN the target exports write-protected does.
# What the verdict forms (--check, --luns, --summary) say of it is the
# demo's second example and the tests' multipath case.
set -euo pipefail
root=${1:?usage: make-multipath-tree.sh DIR}
rm -rf "$root/sys"
mkdir -p "$root/sys"
. "$(cd "$(dirname "$0")" && pwd)/tree-lib.sh"
cd "$root/sys"

target=iqn.2003-01.org.example:array1
for n in 4 5; do
  host devices/platform "$n" iscsi_tcp 113 32 4096 hwaddress='(null)' initiatorname='(null)' \
    ipaddress=192.0.2.1 netdev='(null)'
done
session devices/platform/host4 4 "$target" 192.0.2.10 3260 LOGGED_IN up default 0
tcp_session devices/platform/host4 4
session devices/platform/host5 5 "$target" 192.0.2.11 3260 FAILED failed default 0
tcp_session devices/platform/host5 5
attrs devices/platform/host5/session5/iscsi_session/session5 tpgt=2

wwid0=naa.6001405f1e2d3c4b5a69788796a5b4c3
lun devices/platform/host4/session4 4:0:0:0 running sdd 8:48 "$wwid0"
lun devices/platform/host5/session5 5:0:0:0 transport-offline sde 8:64 "$wwid0"
lun devices/platform/host4/session4 4:0:0:1 running sdf 8:80 naa.60014052c3d4e5f60718293a4b5c6d7e
attrs devices/platform/host4/session4/target4:0:0/4:0:0:1/block/sdf ro=1

# The multipath map over sdd and sde: a device-mapper block device whose
# uuid names its target type, holding both.
dm=devices/virtual/block/dm-0
classdev block "$dm" virtual; link block/dm-0 "$dm"
attrs "$dm" dev=254:0 size=2097152 ro=0 removable=0
attrs "$dm/dm" name=mpatha uuid=mpath-36001405f1e2d3c4b5a69788796a5b4c3 suspended=0
for disk in 4:0:0:0/block/sdd 5:0:0:0/block/sde; do
  h=${disk%%:*}
  b=devices/platform/host$h/session$h/target$h:0:0/$disk
  link "$b/holders/dm-0" "$dm"
  link "$dm/slaves/${disk##*/}" "$b"
done

classdev iscsi_transport devices/virtual/iscsi_transport/tcp virtual
attrs devices/virtual/iscsi_transport/tcp handle=18446744072640299136 caps=0x39
attrs module/scsi_transport_iscsi version=2.0-870

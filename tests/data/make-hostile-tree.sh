#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The sample tree (make-sample-tree.sh) and one more session on host2 whose
# name and values hold what an output must escape or carry: double quotes,
# backslashes, newlines and bytes that are not UTF-8 (a stray 0xff, a lead
# byte 0xfe that never starts UTF-8, a two-byte lead followed by no
# continuation).  Its session, its connection and its disk are laid out and
# linked as the kernel lays them out.
# Usage: make-hostile-tree.sh DIR   (writes DIR/sys)
set -euo pipefail
root=${1:?usage: make-hostile-tree.sh DIR}
bash "$(dirname "$0")/make-sample-tree.sh" "$root"
cd "$root/sys"

# attrs DIR name=value...: attribute files with a final newline.
attrs() { local d=$1; shift; mkdir -p "$d"; for kv in "$@"; do printf '%s\n' "${kv#*=}" > "$d/${kv%%=*}"; done; }

name=$'session9"\\\n\xfe'  # session9 " \ newline 0xfe
s=devices/platform/host2/session9
mkdir -p "$s"; : > "$s/uevent"

d=$s/iscsi_session/$name
attrs "$d" targetname=$'iqn.2003-01.org.example:"q"\\\nx\xff' state=$'LOGGED"\\IN' \
  ifacename=$'if\xc3(' initiatorname=$'iqn.1993-08.org.debian:\\x41' recovery_tmo=5
ln -s "../../$d" "class/iscsi_session/$name"
ln -s ../../../../../../class/iscsi_session "$d/subsystem"
ln -s ../../../session9 "$d/device"

c=$s/connection9:0/iscsi_connection/connection9:0
mkdir -p "$s/connection9:0"; : > "$s/connection9:0/uevent"
attrs "$c" persistent_address=$'10.0.0.9"\\' persistent_port=3260 state=$'up\n"down"'
ln -s "../../$c" "class/iscsi_connection/connection9:0"
ln -s ../../../../../../../class/iscsi_connection "$c/subsystem"
ln -s ../../../connection9:0 "$c/device"

l=$s/target2:0:9/2:0:9:0
attrs "$l" state=running wwid=$'naa."\\\n\xfe' ioerr_cnt=0x5 iotmo_cnt=0x1
attrs "$l/block/sdz" size=8
ln -s ../../../../../../bus/scsi "$l/subsystem"
ln -s "../../../$l" "bus/scsi/devices/2:0:9:0"

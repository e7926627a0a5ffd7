#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Checks the SCSI bus benchmark's pieces on a small bus: make-scsi-bus writes
# the layout and links the kernel writes, bus-list-floor lists exactly what
# GetDeviceList lists, bus-query-bench's queries answer, and bus-bench cuts
# a run short at its time limit.
#   check_bus_bench.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
expect() { [ "$2" = "$3" ] || fail "$1: got '$2', want '$3'"; }
under_sys() { UMOCKDEV_DIR=$root umockdev-wrapper "$@"; }

"$build/bench/make-scsi-bus" "$root" 30
sys=$root/sys
cd "$root"

# 30 devices over 4 hosts: 8, 8, 7 and 7, each a host, one target and 6, 6,
# 5 and 5 LUNs.
names=$(ls "$sys/bus/scsi/devices")
expect "devices on the bus" "$(wc -l <<<"$names")" 30
expect "hosts" "$(grep -c '^host' <<<"$names")" 4
expect "targets" "$(grep -c '^target' <<<"$names")" 4
expect "LUNs of host 1" "$(grep '^1:0:0:' <<<"$names" | tr '\n' ' ')" "1:0:0:0 1:0:0:1 1:0:0:2 1:0:0:3 1:0:0:4 1:0:0:5 "
expect "LUNs of host 3" "$(grep -c '^3:0:0:' <<<"$names")" 5
bound=("$sys"/bus/scsi/drivers/sd/*:*)
expect "LUNs bound to sd" "${#bound[@]}" 22

hba=devices/pci0000:00/0000:00:1f.2
lun=$hba/host3/target3:0:0/3:0:0:4
expect "bus entry" "$(readlink "$sys/bus/scsi/devices/3:0:0:4")" "../../../$lun"
expect "driver entry" "$(readlink "$sys/bus/scsi/drivers/sd/3:0:0:4")" "../../../../$lun"
expect "driver link" "$(readlink "$sys/$lun/driver")" ../../../../../../bus/scsi/drivers/sd
expect "LUN subsystem" "$(readlink "$sys/$lun/subsystem")" ../../../../../../bus/scsi
expect "target subsystem" "$(readlink "$sys/$hba/host3/target3:0:0/subsystem")" ../../../../../bus/scsi
expect "host subsystem" "$(readlink "$sys/$hba/host3/subsystem")" ../../../../bus/scsi
expect "host entry" "$(readlink "$sys/bus/scsi/devices/host3")" "../../../$hba/host3"
expect "class entry" "$(readlink "$sys/class/scsi_device/3:0:0:4")" "../../$lun/scsi_device/3:0:0:4"
expect "class device's device" "$(readlink "$sys/$lun/scsi_device/3:0:0:4/device")" ../../../3:0:0:4
expect "HBA on pci" "$(readlink "$sys/bus/pci/devices/0000:00:1f.2")" "../../../$hba"
expect "HBA driver" "$(readlink "$sys/$hba/driver")" ../../../bus/pci/drivers/ahci
expect "ahci's entry" "$(readlink "$sys/bus/pci/drivers/ahci/0000:00:1f.2")" "../../../../$hba"
expect "sd module" "$(readlink "$sys/bus/scsi/drivers/sd/module")" ../../../../module/sd_mod
expect "dangling links" "$(find "$sys" -xtype l)" ""
if [ -e "$sys/$hba/host3/driver" ] || [ -e "$sys/$hba/host3/target3:0:0/driver" ]; then
  fail "hosts and targets have no driver"
fi
expect "delete" "$(stat -c %A "$sys/$lun/delete")" --w-------
expect "state" "$(stat -c %A "$sys/$lun/state")" -rw-r--r--
expect "vendor" "$(cat "$sys/$lun/vendor")" "BENCH   "
expect "model" "$(cat "$sys/$lun/model")" "Bench Disk      "

# The floor's lines are GetDeviceList's, byte for byte.
floor=$(under_sys "$build/bench/bus-list-floor" scsi | sort)
list=$(under_sys "$build/bench/bus-query-bench" --list | sort)
expect "floor against GetDeviceList" "$floor" "$list"
expect "a LUN's line" "$(grep '^3:0:0:4 ' <<<"$floor")" "3:0:0:4 /sys/$lun sd"
expect "a host's line" "$(grep '^host2 ' <<<"$floor")" "host2 /sys/$hba/host2 unknown"

# bus-query-bench checks every answer itself (driver sd, PCI 00:1f.2).
under_sys "$build/bench/bus-query-bench" --calls 5 --seconds 10 >queries.out
expect "queries timed" "$(cut -d' ' -f1,3 queries.out | tr '\n' ,)" \
  "GetDeviceAttr 5,GetDeviceDriver 5,GetPCIDeviceBDF 5,"

# Past the limit every run is killed and shown as such; the driver goes on.
"$build/bench/bus-bench" --bin "$build" --work "$root/work" --sizes 12 --runs 1 \
  --max-seconds 0.001 >bench.out
row=$(grep -E '^ +12 ' bench.out) || fail "no row for 12 devices: $(cat bench.out)"
read -r -a cells <<<"$row"
# A run of a few devices may still finish inside the limit before the kill
# lands: such a cell holds its number.  Each cell is the killed mark or a
# number, the ratios "?" or a number, and the runs that start a program
# (sysfs-buses, systool) cannot finish in a millisecond, so killing is seen.
number='[0-9]+(\.[0-9]+)?'
shape="^- - - (>1\.0|$number) (>1\.0|$number) (\?|$number) >0\.001 >0\.001 \?$"
[[ "${cells[*]:1:9}" =~ $shape ]] ||
  fail "killed runs: got '${cells[*]:1:9}' in: $(cat bench.out)"
echo "ok"

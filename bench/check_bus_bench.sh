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

# bus-query-bench checks every answer itself (driver sd, PCI 00:1f.2).  Its
# time limit only guards against a hang: a query cut short by it would make
# fewer calls than asked, so it is set far above what 15 calls could take on
# any machine, loaded or not.
under_sys "$build/bench/bus-query-bench" --calls 5 --seconds 600 >queries.out
expect "queries timed" "$(cut -d' ' -f1,3 queries.out | tr '\n' ,)" \
  "GetDeviceAttr 5,GetDeviceDriver 5,GetPCIDeviceBDF 5,"

# The row of a run cut short.  Whether a run of a few devices ends before a
# short limit depends on the machine's load, so the check admits any figure
# where one is measured, and holds the cells to what the limit's rules make
# of them whatever the timing: per-call figures "-" (killed) or a number;
# times ">limit" (killed) or a number; a ratio "?" when its divisor was
# killed, else ">x" when its dividend was, else a number.
number='[0-9]+(\.[0-9]+)?'
# killed_row_ok CELLS...: the nine cells after the size.
killed_row_ok() {
  local cell
  for cell in "$1" "$2" "$3"; do [[ $cell =~ ^(-|$number)$ ]] || return 1; done
  for cell in "$4" "$5" "$7" "$8"; do [[ $cell =~ ^\>?$number$ ]] || return 1; done
  ratio_ok "$4" "$5" "$6" && ratio_ok "$7" "$8" "$9"
}
# ratio_ok DIVIDEND DIVISOR RATIO
ratio_ok() {
  case $2 in
    \>*) [ "$3" = "?" ] ;;
    *) case $1 in
         \>*) [[ $3 =~ ^\>$number$ ]] ;;
         *) [[ $3 =~ ^$number$ ]] ;;
       esac ;;
  esac
}
# A row seen on a loaded machine: the list killed, its floor not.
killed_row_ok - - - '>1.0' 0.9 '>1.17' '>0.001' '>0.001' '?' ||
  fail "a row with the list killed and its floor done is refused"
if killed_row_ok - - - '>1.0' 0.9 1.17 '>0.001' '>0.001' '?' ||
   killed_row_ok - - - 1.0 '>1.0' 1.00 '>0.001' '>0.001' '?' ||
   killed_row_ok '>1.0' - - 1.0 0.9 1.11 '>0.001' '>0.001' '?'; then
  fail "a row that breaks the limit's rules is admitted"
fi

# Past the limit the driver goes on, whatever finished in time.
"$build/bench/bus-bench" --bin "$build" --work "$root/work" --sizes 12 --runs 1 \
  --max-seconds 0.001 >bench.out
row=$(grep -E '^ +12 ' bench.out) || fail "no row for 12 devices: $(cat bench.out)"
read -r -a cells <<<"$row"
killed_row_ok "${cells[@]:1:9}" || fail "killed runs: got '${cells[*]:1:9}' in: $(cat bench.out)"

# Programs that never end are killed every time: stand-ins that sleep, on a
# tree made by the real make-scsi-bus.  The row is the killed marks alone.
hang=$root/hang
mkdir -p "$hang/bench" "$hang/examples/sysfs-buses" "$hang/path"
for program in bench/bus-query-bench bench/bus-list-floor examples/sysfs-buses/sysfs-buses \
               path/systool; do
  printf '#!/bin/sh\nexec sleep 600\n' >"$hang/$program"
  chmod 755 "$hang/$program"
done
ln -s "$build/bench/make-scsi-bus" "$hang/bench/make-scsi-bus"
PATH=$hang/path:$PATH "$build/bench/bus-bench" --bin "$hang" --work "$root/hang-work" \
  --sizes 12 --runs 1 --max-seconds 0.2 >hang.out
row=$(grep -E '^ +12 ' hang.out) || fail "no row for 12 devices: $(cat hang.out)"
read -r -a cells <<<"$row"
expect "runs that never end" "${cells[*]:1:9}" "- - - >200.0 >200.0 ? >0.200 >0.200 ?"
echo "ok"

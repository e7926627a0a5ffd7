#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Adds to an unpacked copy of a kernel's iSCSI objects what every kernel has
# and the copy left out: the SCSI bus's index of its devices.  For each device
# directory whose "subsystem" link leads to bus/scsi, bus/scsi/devices/<name>
# leads to it, and where its "driver" link names a driver, that driver's
# directory lists it too (relative links, as sysfs writes them).
# Usage: complete-scsi-bus.sh DIR   (the directory that holds sys/)
set -euo pipefail
sys=${1:?usage: complete-scsi-bus.sh DIR}/sys
cd "$sys"
find devices -name subsystem -type l | while read -r link; do
  [ "$(basename "$(readlink "$link")")" = scsi ] || continue
  dir=$(dirname "$link") name=$(basename "$(dirname "$link")")
  mkdir -p bus/scsi/devices
  ln -sfn "../../../$dir" "bus/scsi/devices/$name"
  if [ -L "$dir/driver" ]; then
    driver=$(basename "$(readlink "$dir/driver")")
    mkdir -p "bus/scsi/drivers/$driver"
    ln -sfn "../../../../$dir" "bus/scsi/drivers/$driver/$name"
  fi
done

#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The packaged service that writes the metrics for node_exporter:
#  - systemd-analyze security --offline rates it 2.0 or lower (it reads
#    sysfs and the device-mapper's maps and replaces one file, and is given
#    little more); of capabilities it holds CAP_SYS_ADMIN alone, and of
#    devices /dev/mapper/control, which the maps are asked through;
#  - the metrics it writes under the unit's restrictions are those of a plain
#    root run on the sample tree.  Where systemd runs the machine, through
#    systemd-run with the unit's own [Service] settings; elsewhere (a
#    container) the restrictions that shape what it can read and write are
#    set up by hand in a private mount namespace: CAP_SYS_ADMIN alone, no new
#    privileges, everything read-only but the textfile directory, a private
#    /tmp, other processes hidden in /proc, umask 077.
# Exits 77 (skipped) when neither half can run here.
# Usage: service_unit_test.sh TOOL SOURCE_DIR
set -euo pipefail
tool=$1 src=$2
unit=$src/debian/iscsi-inventory.iscsi-inventory-prometheus.service
. "$src/tests/lib/root-only-dir.sh"
work=$(scratch_dir); trap 'rm -rf "$work"' EXIT
failures=0 ran=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

# The unit's [Service] settings, one a line, comments left out.
settings() { sed -n '/^\[Service\]/,/^\[/{/^[A-Za-z]/p}' "$unit"; }

if ! command -v systemd-analyze >/dev/null; then
  echo "systemd-analyze is missing: the unit's exposure is not rated"
elif ! systemd-analyze --help 2>/dev/null | grep -q -- '--offline'; then
  echo "this systemd-analyze has no --offline (systemd 250 and later): the unit's exposure is not rated"
else
  ran=1
  mkdir "$work/unit"
  cp "$unit" "$work/unit/iscsi-inventory-prometheus.service"
  systemd-analyze security --offline=true --no-pager "$work/unit/iscsi-inventory-prometheus.service" \
    >"$work/analysis" 2>&1 || true
  level=$(sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p' "$work/analysis")
  if [ -z "$level" ]; then
    cat "$work/analysis"; fail "systemd-analyze gave no overall exposure level"
  elif ! awk -v l="$level" 'BEGIN { exit !(l <= 2.0) }'; then
    cat "$work/analysis"; fail "exposure $level, above 2.0"
  else
    echo "exposure $level"
  fi
  # The device-mapper answers only CAP_SYS_ADMIN, through its control node;
  # nothing else is given for it.
  held=$(sed -n 's/^✗ CapabilityBoundingSet=~\([^ ]*\) .*/\1/p' "$work/analysis" | tr '\n' ' ')
  [ "$held" = "CAP_SYS_ADMIN " ] || fail "capabilities held: ${held:-none}, not CAP_SYS_ADMIN alone"
  grep -q '^✓ PrivateDevices=' "$work/analysis" || fail "the unit sees the host's devices"
  grep -q '^✗ DeviceAllow=.* /dev/mapper/control:rw ' "$work/analysis" ||
    fail "the unit may not open /dev/mapper/control read-write"
  settings | grep -qx -- 'BindReadOnlyPaths=-/dev/mapper/control' ||
    fail "/dev/mapper/control is not bound into the unit's /dev"
  # The unit does not switch itself off: every line counted against it is
  # explained in its comments.
  while read -r setting; do
    grep -q "^#  - ${setting%%=*}=" "$unit" || fail "$setting is counted against the unit unexplained"
  done < <(sed -n 's/^✗ \([A-Za-z]*=\)[^ ]* .*/\1/p' "$work/analysis" | sort -u |
           sed 's|^RootDirectory=$|RootDirectory=/RootImage=|')
fi

# The metrics of a plain root run, then of one under the unit's restrictions.
if [ "$(id -u)" != 0 ]; then
  echo "not root: the metrics under the unit's restrictions are not compared"
else
  bash "$src/tests/data/make-sample-tree.sh" "$work/tree"
  mkdir "$work/plain" "$work/textfile"
  (cd "$work/plain" && UMOCKDEV_DIR=$work/tree umockdev-wrapper "$tool" \
     --prometheus="$work/plain/iscsi_inventory.prom" --no-log)
  # The unit has a /tmp of its own, which hides a build below /tmp (a clone
  # made in a mktemp -d directory): the directory of /tmp that holds the
  # build is given back to the run, read-only.
  keep=
  case $(realpath "$tool") in
    /tmp/*/*) keep=/tmp/$(realpath "$tool" | cut -d/ -f3) ;;
  esac
  if [ -d /run/systemd/system ] && command -v systemd-run >/dev/null; then
    ran=1
    # The unit's settings but for where it may write; the tree is served at
    # /sys by umockdev, from outside /tmp (the unit has a /tmp of its own).
    props=()
    while IFS= read -r setting; do
      case $setting in Type=*|ExecStart=*|ReadWritePaths=*) continue ;; esac
      props+=(-p "$setting")
    done < <(settings)
    [ -z "$keep" ] || props+=(-p "BindReadOnlyPaths=$keep")
    systemd-run --quiet --wait --pipe --service-type=oneshot "${props[@]}" \
      -p "ReadWritePaths=$work/textfile" -E "UMOCKDEV_DIR=$work/tree" \
      umockdev-wrapper "$tool" --prometheus="$work/textfile/iscsi_inventory.prom" --no-log ||
      fail "the run under the unit's settings failed"
    how="systemd-run with the unit's settings"
    # What the device-mapper asks for is there: the capability, and the
    # control node opened as libdevmapper opens it, where the host has one.
    got=$(systemd-run --quiet --wait --pipe --service-type=oneshot "${props[@]}" bash -c '
      sed -n "s/^CapEff:[[:space:]]*//p" /proc/self/status
      [ ! -c /dev/mapper/control ] || { exec 3<>/dev/mapper/control && echo control; }' 2>&1) || true
    [ "$(head -n1 <<<"$got")" = 0000000000200000 ] ||
      fail "under the unit's settings the capabilities are not CAP_SYS_ADMIN alone: $got"
    if [ -c /dev/mapper/control ] && grep -qw device-mapper /proc/misc; then
      grep -qx control <<<"$got" ||
        fail "under the unit's settings /dev/mapper/control cannot be opened read-write: $got"
    fi
  elif command -v unshare >/dev/null && command -v setpriv >/dev/null &&
       unshare -m -p -f true 2>/dev/null; then
    ran=1
    echo "systemd is not running this machine: the unit's restrictions are set up by hand"
    # What is set up below is what the unit asks for.
    for setting in CapabilityBoundingSet=CAP_SYS_ADMIN AmbientCapabilities= NoNewPrivileges=yes \
                   ProtectSystem=strict ReadWritePaths=-/var/lib/prometheus/node-exporter \
                   PrivateTmp=yes ProtectProc=invisible UMask=0077; do
      settings | grep -qx -- "$setting" || fail "the unit no longer has $setting"
    done
    mkdir "$work/tmp"
    unshare -m -p -f --propagation private bash -c '
      set -e
      work=$1 tool=$2 keep=$3
      mount -t proc -o hidepid=invisible proc /proc
      [ -z "$keep" ] || mount --rbind "$keep" "$work/tmp"
      mount -t tmpfs tmpfs /tmp
      if [ -n "$keep" ]; then
        mkdir "$keep"
        mount --rbind "$work/tmp" "$keep"
        mount -o remount,bind,ro "$keep"
      fi
      mount --bind "$work/textfile" "$work/textfile"
      mount --rbind "$work" "$work"
      mount -o remount,bind,ro "$work"
      mount -o remount,bind,ro /
      umask 077
      cd /
      UMOCKDEV_DIR=$work/tree exec setpriv --no-new-privs --bounding-set=-all,+sys_admin --inh-caps=-all \
        umockdev-wrapper "$tool" --prometheus="$work/textfile/iscsi_inventory.prom" --no-log
    ' sh "$work" "$tool" "$keep" || fail "the run under the unit's restrictions failed"
    how="CAP_SYS_ADMIN alone, read-only but the textfile directory"
  else
    echo "neither systemd nor private namespaces here: the metrics under the unit's" \
         "restrictions are not compared"
    how=
  fi
  if [ -n "$how" ]; then
    cmp -s "$work/plain/iscsi_inventory.prom" "$work/textfile/iscsi_inventory.prom" ||
      fail "the metrics under the unit's restrictions ($how) differ from a plain root run's"
    # The collector, another user, reads the file whatever the unit's umask.
    [ "$(stat -c %a "$work/textfile/iscsi_inventory.prom" 2>/dev/null)" = 644 ] ||
      fail "the metrics file is not readable by all under the unit's umask"
  fi
fi

[ "$ran" = 1 ] || { echo "SKIPPED: neither half of the check can run here"; exit 77; }
[ "$failures" = 0 ] || exit 1
echo "the service: exposure at most 2.0, CAP_SYS_ADMIN and /dev/mapper/control alone, the same metrics under its restrictions"

#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The builders the sample trees share, sourced from within DIR/sys: each
# writes an object as the kernel lays it out (see make-sample-tree.sh).

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

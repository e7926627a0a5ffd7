#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# An independent reader agrees: open-iscsi's own `iscsiadm -m session -P 3`
# reads the sample tree (make-sample-tree.sh) at /sys, then the copy of a real
# kernel's objects (real-iscsi-loggedin.tar.gz), and what it prints must
# match what iscsi-inventory --json and --sessions print on the same tree:
# for each session its target, portals (current and persistent, with the
# TPGT), SID, session state, connection state, timeouts (recovery, target
# reset, LUN reset, abort), host number, transport, digests, and its logical
# units with their attached disks and states.  iscsiadm must also see every
# session as made by iscsid ("non-flash"), as the kernel's creator pid says.
# On the real copy iscsiadm must also print what it printed on that machine
# (real-iscsi-loggedin.iscsiadm-P3.txt, recorded with the copy), but for the
# lines only iscsid and the module's version file give: so a tree bind-mounted
# over /sys is read as the kernel's, and the sample with it.
#
# How: as root, in a mount namespace of its own (and a network namespace, see
# below), with every mount made private first so that nothing reaches the
# machine's mount table, each tree's sys directory is bind-mounted over /sys
# in turn; both programs read it there (the tool without umockdev).  Files iscsiadm
# reads outside /sys are given to it in the namespace: an empty tmpfs over
# /run (its lock directory, /run/lock) and over /etc/iscsi (an empty
# iscsid.conf and an initiatorname.iscsi), so the machine's files are neither
# read nor touched.
#
# Where the two legitimately differ, and what the test does about it:
# - Connection state: iscsiadm does not read the connection's sysfs state; it
#   asks iscsid over an abstract socket, and with no iscsid prints "Unknown".
#   The test must not reach the machine's iscsid, and must not have iscsiadm
#   start one (finding none, it runs iscsid.conf's iscsid.startup, on Debian
#   `systemctl start iscsid.socket`): the new network namespace hides the
#   abstract socket, the empty iscsid.conf names no startup command, and the
#   tmpfs over /run hides systemd's and D-Bus's sockets besides.  So
#   iscsiadm's "Unknown" is required as such, and the tool's connection state
#   is checked against the state file itself, read by this script.
# - An attribute the driver does not show (be2iscsi has no tgt_reset_tmo):
#   iscsiadm prints "<empty>", the tool null (JSON) or "<unknown>" (text);
#   all three count as "absent".
# - A logical unit without a block device: iscsiadm prints its address but no
#   state (it gives the state on the "Attached scsi disk" line); the tool
#   gives the unit's state.  Only the address is compared there.
# - Order and spelling of logical units: iscsiadm lists them in directory
#   order with the channel as two digits (LUN 10 before LUN 2, "Channel
#   00"); the tool sorts by number.  Addresses are compared as numbers, as
#   sets per session.
# - A recovery_tmo of "off" (the kernel's word for -1, never time out; the
#   sample's HBA session has it): iscsiadm reads it as a number and prints 0,
#   which would mean "fail at once"; the tool gives null with recovery_off in
#   JSON and "off" in text.  Where the recovery_tmo file says "off" (read by
#   this script), iscsiadm's 0 and the tool's off are required; elsewhere
#   all three must give the same number.
# - The HBA's IP address: be2iscsi keeps it in iscsi_iface objects, which the
#   sample leaves out; iscsiadm prints "[default]", the tool "<unknown>".  Not
#   compared.
#
# Exits 77 (skip) where iscsiadm is missing and cannot be installed (CI
# installs Debian's open-iscsi as root), when not root, or where namespaces
# or mounts are not allowed (an unprivileged container).
# Usage: iscsiadm_agrees_test.sh TOOL SOURCE_DIR
set -euo pipefail
tool=$1 src=$2
export PATH="$PATH:/usr/sbin:/sbin"
. "$src/tests/lib/optional-package.sh"
need_package open-iscsi "iscsiadm is not installed (Debian package open-iscsi; CI installs it as root)" \
  command -v iscsiadm
if [ "$(id -u)" != 0 ]; then
  echo "SKIPPED: needs root (a mount namespace with a bind mount over /sys)"
  exit 77
fi
work=$(mktemp -d); trap 'rm -rf "$work"' EXIT
mkdir "$work/probe"
# shellcheck disable=SC2016  # $1 is the inner shell's
if ! unshare -mn sh -c 'mount --make-rprivate / && mount -t tmpfs tmpfs "$1"' sh "$work/probe" \
     >"$work/probe.err" 2>&1; then
  echo "SKIPPED: cannot make a private mount namespace here: $(head -1 "$work/probe.err")"
  exit 77
fi
mkdir -p "$work/sample" "$work/real"
bash "$src/tests/data/make-sample-tree.sh" "$work/sample"
tar xzf "$src/tests/data/real-iscsi-loggedin.tar.gz" -C "$work/real"

# In the namespace.  Every mount is private before the first one is made.
unshare -mn bash -s "$work" "$tool" <<'NS'
set -euo pipefail
work=$1 tool=$2
mount --make-rprivate /
mount -t tmpfs tmpfs /run
mkdir -p /run/lock
if [ -d /etc/iscsi ]; then
  mount -t tmpfs tmpfs /etc/iscsi
  : > /etc/iscsi/iscsid.conf
  echo "InitiatorName=iqn.1993-08.org.debian:01:5f2c1a9e7b3d" > /etc/iscsi/initiatorname.iscsi
fi
for tree in sample real; do
  out=$work/$tree.out; mkdir "$out"
  mount --bind "$work/$tree/sys" /sys
  # Finding no iscsid, iscsiadm says so on standard error (after retrying for
  # a few seconds); the sessions come from sysfs all the same, and it exits
  # with 0.
  iscsiadm -m session -P 3 > "$out/iscsiadm.txt" 2> "$out/iscsiadm.err" ||
    { cat "$out/iscsiadm.err" >&2; echo "FAIL: iscsiadm -m session -P 3 failed on the $tree tree" >&2
      exit 1; }
  (cd "$out" && "$tool" --json --no-log > tool.json && "$tool" --sessions --no-log > tool.txt)
  # The connections' own state files and the sessions' recovery_tmo, as the
  # kernel would give them.
  for c in /sys/class/iscsi_connection/*; do
    printf '%s %s\n' "${c##*/}" "$(cat "$c/state")"
  done > "$out/connection-states"
  for s in /sys/class/iscsi_session/*; do
    printf '%s %s\n' "${s##*/}" "$(cat "$s/recovery_tmo")"
  done > "$out/recovery-tmo"
  umount /sys
done
NS

# On the copy of a real kernel's objects iscsiadm prints what it printed on
# that machine, but for what only the kernel module (its version, which the
# copy leaves out) and iscsid (connection and internal states) know: so the
# copy, and the trees made like it, are read as a kernel's.
strip() { grep -v -e '^iSCSI Transport Class version ' -e '^version ' \
            -e 'iSCSI Connection State: ' -e 'Internal iscsid Session State: ' "$1"; }
if ! diff -u <(strip "$src/tests/data/real-iscsi-loggedin.iscsiadm-P3.txt") \
             <(strip "$work/real.out/iscsiadm.txt"); then
  echo "FAIL: iscsiadm reads the real kernel's copy otherwise than it read that kernel"
  exit 1
fi

python3 - "$work" <<'PY'
import json, re, sys
ABSENT = None

def absent(v):
    return ABSENT if v in (None, "<empty>", "<unknown>", "") else v

def sessions_text(path):
    """iscsiadm -m session -P 3 or iscsi-inventory --sessions: per SID a dict."""
    out, cur, lun = {}, None, None
    for raw in open(path, encoding="utf-8"):
        line = raw.rstrip("\n")
        m = re.match(r"Target: (\S+) \((.*)\)$", line)
        if m:
            cur = {"target": m[1], "tag": m[2], "luns": {}}
            continue
        if cur is None:
            continue
        s = line.strip()
        m = re.match(r"(Current|Persistent) Portal: (.*):(\d+),(\d+)$", s)
        if m:
            cur[m[1].lower() + "_portal"] = (m[2], m[3], m[4])
            continue
        m = re.match(r"SID: (\d+)$", s)
        if m:
            cur["sid"] = int(m[1])
            out[cur["sid"]] = cur
            continue
        m = re.match(r"(Iface Transport|iSCSI Connection State|iSCSI Session State|Recovery Timeout|"
                     r"Target Reset Timeout|LUN Reset Timeout|Abort Timeout|HeaderDigest|DataDigest): (.*)$", s)
        if m:
            cur[m[1]] = absent(m[2])
            continue
        m = re.match(r"Host Number: (\d+)", s)
        if m:
            cur["host"] = int(m[1])
            continue
        m = re.match(r"scsi(\d+) Channel (\d+) Id (\d+) Lun: (\d+)(?:\tState: (.*))?$", s)
        if m:
            lun = tuple(int(x) for x in m.groups()[:4])
            cur["luns"][lun] = {"unit_state": m[5], "disk": None, "disk_state": None}
            continue
        m = re.match(r"Attached scsi disk (\S+)\t+(?:State: (.*)|Size: .*)$", s)
        if m:
            cur["luns"][lun]["disk"] = m[1]
            cur["luns"][lun]["disk_state"] = m[2]
    return out

def compare(tree):
    """Rows of one tree, printed when any disagrees; whether all agree."""
    out = f"{sys.argv[1]}/{tree}.out"
    adm = sessions_text(f"{out}/iscsiadm.txt")
    txt = sessions_text(f"{out}/tool.txt")
    doc = json.load(open(f"{out}/tool.json"))
    sysfs_conn = dict(l.split(" ", 1) for l in open(f"{out}/connection-states").read().splitlines())
    sysfs_recovery = dict(l.split(" ", 1) for l in open(f"{out}/recovery-tmo").read().splitlines())

    rows = []  # (sid, field, iscsiadm, tool --json, tool --sessions); "-": not in that form
    def check(sid, field, a, j, t, same=lambda a, j, t: a == j == t):
        rows.append((sid, field, a, j, t, same(a, j, t)))

    fail = False
    if not adm or sorted(adm) != sorted(s["sid"] for s in doc["sessions"]) or sorted(adm) != sorted(txt):
        print(f"{tree} tree: sessions differ (or none): iscsiadm {sorted(adm)}, --json "
              f"{sorted(s['sid'] for s in doc['sessions'])}, --sessions {sorted(txt)}")
        fail = True
    for js in doc["sessions"]:
        sid = js["sid"]
        a, t = adm.get(sid, {}), txt.get(sid, {})
        conn = js["connections"][0] if js["connections"] else {}
        check(sid, "target", a.get("target"), js["target_name"], t.get("target"))
        check(sid, "made by iscsid", a.get("tag"), "-", "-",
              lambda a, j, t: a == "non-flash")
        check(sid, "current portal", a.get("current_portal"),
              (conn.get("address"), num(conn.get("port")), num(js["tpgt"])), t.get("current_portal"))
        check(sid, "persistent portal", a.get("persistent_portal"),
              (conn.get("persistent_address"), num(conn.get("persistent_port")), num(js["tpgt"])),
              t.get("persistent_portal"))
        check(sid, "session state", a.get("iSCSI Session State"), js["state"], t.get("iSCSI Session State"))
        # iscsiadm asks iscsid, which the namespace keeps out of reach: "Unknown".
        state_file = sysfs_conn.get(conn.get("name"))
        check(sid, "connection state (sysfs: %s)" % state_file, a.get("iSCSI Connection State"),
              conn.get("state"), t.get("iSCSI Connection State"),
              lambda a, j, t: a == "Unknown" and j == t == state_file)
        check(sid, "transport", a.get("Iface Transport"), js["transport"], t.get("Iface Transport"))
        check(sid, "host", a.get("host"), int(js["host"][4:]) if js["host"] else None, t.get("host"))
        tmo = js["timeouts"]
        if sysfs_recovery.get(js["name"]) == "off":
            check(sid, "Recovery Timeout (sysfs: off)", a.get("Recovery Timeout"),
                  (tmo["recovery"], tmo["recovery_off"]), t.get("Recovery Timeout"),
                  lambda a, j, t: a == "0" and j == (None, True) and t == "off")
        else:
            check(sid, "Recovery Timeout", a.get("Recovery Timeout"),
                  num(tmo["recovery"]) if not tmo["recovery_off"] else "off", t.get("Recovery Timeout"))
        for label, key in (("Target Reset Timeout", "tgt_reset"),
                           ("LUN Reset Timeout", "lu_reset"), ("Abort Timeout", "abort")):
            check(sid, label, a.get(label), num(tmo[key]), t.get(label))
        for label in ("HeaderDigest", "DataDigest"):
            check(sid, label, a.get(label), "-", t.get(label), lambda a, j, t: a == t)
        # Logical units: every address in all three; state and disk where
        # iscsiadm shows a disk.
        jl = {(d["host"], d["channel"], d["target"], d["lun"]): d for d in js["disks"]}
        al, tl = a.get("luns", {}), t.get("luns", {})
        check(sid, "logical units", sorted(al), sorted(jl), sorted(tl))
        for addr in sorted(set(al) | set(jl) | set(tl)):
            ad, jd, td = al.get(addr, {}), jl.get(addr, {}), tl.get(addr, {})
            check(sid, "disk at %d:%d:%d:%d" % addr, ad.get("disk"), jd.get("block_device"), td.get("disk"))
            if ad.get("disk"):
                check(sid, "state of %d:%d:%d:%d" % addr, ad.get("disk_state"), jd.get("state"),
                      td.get("unit_state"))

    width = max((len(r[1]) for r in rows), default=0)
    bad = [r for r in rows if not r[5]]
    for sid, field, a, j, t, same in rows if bad or fail else []:
        print(f"{'  ' if same else '!!'} {tree} SID {sid} {field:<{width}}  iscsiadm={a!r}  "
              f"--json={j!r}  --sessions={t!r}")
    if bad or fail:
        print(f"FAIL: {tree} tree: iscsiadm and iscsi-inventory disagree on {len(bad)} field(s) (marked !!)")
        return False
    print(f"{tree} tree: iscsiadm and iscsi-inventory agree on {len(rows)} fields of "
          f"{len(adm)} sessions")
    return True

def num(v):
    return ABSENT if v is None else str(v)

ok = [compare(tree) for tree in ("sample", "real")]
sys.exit(0 if all(ok) else 1)
PY

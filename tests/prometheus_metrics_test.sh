#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# iscsi-inventory --prometheus on the sample tree, on a copy of a real
# kernel's iSCSI objects, on a hostile tree (names and values with quotes,
# backslashes, newlines, invalid UTF-8) and on a multipath topology (one LUN
# through two sessions under a map, one path lost, a read-only disk), each
# checked by Prometheus's own promtool (format and naming rules); the hostile
# labels decoded back to the bytes sysfs holds.  Exits 77 (skip) where
# promtool is missing and cannot be installed (CI installs Debian's
# prometheus as root).
# Usage: prometheus_metrics_test.sh TOOL SOURCE_DIR MAKE_MULTIPATH_TREE
set -euo pipefail
tool=$1 src=$2
. "$src/tests/lib/optional-package.sh"
need_package prometheus "promtool is not installed (Debian package prometheus; make deps installs it)" command -v promtool
work=$(mktemp -d); trap 'rm -rf "$work"' EXIT
mkdir -p "$work/sample" "$work/real" "$work/hostile" "$work/multipath"
bash "$src/tests/data/make-sample-tree.sh" "$work/sample"
tar xzf "$src/tests/data/real-iscsi-loggedin.tar.gz" -C "$work/real"
bash "$src/tests/data/make-hostile-tree.sh" "$work/hostile"
bash "$src/tests/data/make-multipath-tree.sh" "$work/multipath"
for tree in sample real hostile multipath; do
  (cd "$work/$tree" && UMOCKDEV_DIR="$work/$tree" umockdev-wrapper "$tool" --prometheus --no-log) \
    > "$work/$tree.prom"
  # promtool prints a line per rule broken and then fails.
  if ! promtool check metrics < "$work/$tree.prom" > "$work/$tree.lint" 2>&1 ||
     [ -s "$work/$tree.lint" ]; then
    cat "$work/$tree.lint"
    echo "FAIL: promtool check metrics on the $tree tree" >&2
    exit 1
  fi
done

python3 - "$work" <<'PY'
import re, sys
work = sys.argv[1]
LABEL = re.compile(r'([a-zA-Z_][a-zA-Z0-9_]*)="((?:[^"\\\n]|\\[\\"n])*)"(,|\})')

def samples(tree):
    """Each sample as (name, {label: decoded value}, value)."""
    raw = open(f"{work}/{tree}.prom", "rb").read()
    text = raw.decode("utf-8")  # strict: fails on invalid UTF-8
    out = []
    for line in text.splitlines():
        if line.startswith("#"):
            continue
        name, _, rest = line.partition("{")
        labels = {}
        if rest:
            pos = 0
            while True:
                m = LABEL.match(rest, pos)
                assert m, f"{tree}: bad labels in {line!r}"
                labels[m[1]] = re.sub(r'\\(.)', lambda e: "\n" if e[1] == "n" else e[1], m[2])
                pos = m.end()
                if m[3] == "}":
                    break
            value = rest[pos:].strip()
        else:
            name, value = line.split(" ")
        out.append((name, labels, value))
    return out

def uncarry(s):
    """The bytes behind a carried string: \\\\ is a backslash, \\xHH a byte."""
    return re.sub(rb'\\(\\|x([0-9a-f]{2}))',
                  lambda m: b"\\" if m[1] == b"\\" else bytes([int(m[2], 16)]),
                  s.encode("utf-8"))

sample = samples("sample")
state = {(l["session"], l["state"]): v for n, l, v in sample if n == "iscsi_session_state"}
assert state[("session3", "FAILED")] == "1" and state[("session3", "LOGGED_IN")] == "0", state
assert state[("session2", "LOGGED_IN")] == "1"
disks = {l["session"]: v for n, l, v in sample if n == "iscsi_session_disks"}
assert disks == {"session1": "1", "session2": "2", "session3": "1"}, disks
info = {l["session"]: l for n, l, v in sample if n == "iscsi_session_info"}
assert info["session1"]["transport"] == "be2iscsi" and info["session2"]["transport"] == "tcp"
assert info["session1"]["portal"] == "192.168.10.50:3260"
# session1's recovery is "off": no number of seconds, so no sample.
recovery = {l["session"]: v for n, l, v in sample if n == "iscsi_session_recovery_timeout_seconds"}
assert recovery == {"session2": "120", "session3": "120"}, recovery

real = samples("real")
assert sorted(l["device"] for n, l, v in real if n == "iscsi_disk_info") == ["sda", "sdb"]
# Both LIO ramdisks hold 65536 sectors of 512 bytes.
assert [v for n, l, v in real if n == "iscsi_disk_size_bytes"] == ["33554432"] * 2
assert sum(1 for n, l, v in real
           if n == "iscsi_session_state" and l["state"] == "LOGGED_IN" and v == "1") == 2

hostile = samples("hostile")
name = b'session9"\\\n\xfe'
mine = [(n, l, v) for n, l, v in hostile if uncarry(l.get("session", "")) == name]
families = {n for n, l, v in mine}
assert families >= {"iscsi_session_info", "iscsi_session_state", "iscsi_connection_state",
                    "iscsi_disk_info", "iscsi_disk_io_errors_total"}, families
info = next(l for n, l, v in mine if n == "iscsi_session_info")
assert uncarry(info["target"]) == b'iqn.2003-01.org.example:"q"\\\nx\xff', info["target"]
assert uncarry(info["iface"]) == b"if\xc3(", info["iface"]
assert uncarry(info["initiator"]) == b"iqn.1993-08.org.debian:\\x41", info["initiator"]
assert uncarry(info["portal"]) == b'10.0.0.9"\\:3260', info["portal"]
odd = [l["state"] for n, l, v in mine if n == "iscsi_session_state" and v == "1"]
assert [uncarry(s) for s in odd] == [b'LOGGED"\\IN'], odd
odd = [l["state"] for n, l, v in mine if n == "iscsi_connection_state" and v == "1"]
assert [uncarry(s) for s in odd] == [b'up\n"down"'], odd
disk = next(l for n, l, v in mine if n == "iscsi_disk_info")
assert uncarry(disk["wwid"]) == b'naa."\\\n\xfe' and disk["device"] == "sdz", disk
# The families promtool saw on the multipath tree: every one this tool writes.
multipath = samples("multipath")
assert {n for n, l, v in multipath} == {
    "iscsi_session_info", "iscsi_session_state", "iscsi_connection_state",
    "iscsi_session_recovery_timeout_seconds", "iscsi_session_disks", "iscsi_disk_info",
    "iscsi_disk_io_errors_total", "iscsi_disk_io_timeouts_total", "iscsi_disk_state",
    "iscsi_disk_read_only", "iscsi_disk_size_bytes", "iscsi_lun_paths",
    "iscsi_lun_paths_running", "iscsi_check_status", "iscsi_check_finding",
    "iscsi_inventory_errors"}, multipath
# The unit without a WWID is a LUN of its own, named by its address.
paths = {(l["wwid"], l["multipath_device"]): v for n, l, v in multipath if n == "iscsi_lun_paths"}
assert paths == {("naa.6001405f1e2d3c4b5a69788796a5b4c3", "mpatha"): "2", ("naa.60014052c3d4e5f60718293a4b5c6d7e", ""): "1",
                 ("hctl:2:0:0:5", ""): "1"}, paths
running = {l["wwid"]: v for n, l, v in multipath if n == "iscsi_lun_paths_running"}
assert running == {"naa.6001405f1e2d3c4b5a69788796a5b4c3": "1", "naa.60014052c3d4e5f60718293a4b5c6d7e": "1",
                   "hctl:2:0:0:5": "0"}, running
print("promtool accepts the sample, real-kernel, hostile and multipath metrics; hostile labels "
      "decode to their bytes")
PY

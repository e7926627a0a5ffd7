#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# iscsi-inventory --json on the sample tree, the multipath tree and a copy of
# a real kernel's iSCSI objects, validated against the installed JSON Schema; and the schema
# itself shown to refuse what the program must never print; and the sample
# tree shown to have the forms of the real kernel's attributes.  Exits 77 (skip)
# where python3-jsonschema is missing.
# Usage: json_schema_test.sh TOOL SOURCE_DIR
set -euo pipefail
tool=$1 src=$2
schema=$src/tool/iscsi-inventory.schema.json
if ! python3 -c 'import jsonschema' 2>/dev/null; then
  echo "SKIPPED: python3-jsonschema is not installed (make deps installs it)"
  exit 77
fi
work=$(mktemp -d); trap 'rm -rf "$work"' EXIT
mkdir -p "$work/sample" "$work/real" "$work/multipath"
bash "$src/tests/data/make-sample-tree.sh" "$work/sample"
bash "$src/tests/data/make-multipath-tree.sh" "$work/multipath"
tar xzf "$src/tests/data/real-iscsi-loggedin.tar.gz" -C "$work/real"
for tree in sample real multipath; do
  (cd "$work/$tree" && UMOCKDEV_DIR="$work/$tree" umockdev-wrapper "$tool" --json --no-log) \
    > "$work/$tree.json"
done

python3 - "$schema" "$work/sample.json" "$work/real.json" "$work/multipath.json" <<'PY'
import copy, json, re, sys
import jsonschema

schema = json.load(open(sys.argv[1]))
cls = jsonschema.validators.validator_for(schema)
cls.check_schema(schema)
validator = cls(schema)
sample, real, multipath = (json.load(open(p)) for p in sys.argv[2:5])
for name, doc in (("sample", sample), ("real", real), ("multipath", multipath)):
    errors = list(validator.iter_errors(doc))
    for e in errors:
        print(f"{name}: {list(e.absolute_path)}: {e.message}")
    assert not errors, f"{name} tree: output does not match the schema"

# The sample tree holds every kind of object: three sessions with their disks,
# a virtual transport (no device), the "iscsi" scsi_host with directories.
assert [s["name"] for s in sample["iscsi_session"]] == ["session1", "session2", "session3"]
assert [d["block_device"] for d in sample["iscsi_session"][1]["disks"]] == ["sda", "sdb"]
assert sample["iscsi_session"][2]["disks"][0]["block_device"] is None
assert [(t["name"], t["device"]) for t in sample["iscsi_transport"]] == [("be2iscsi", None), ("tcp", None)]
assert set(sample["iscsi_scsi_host"]["directories"]) >= {"portal0", "portal1"}
assert real["iscsi_scsi_host"] is None

# The sample has the forms a kernel writes, as the real copy shows them: the
# iscsi_tcp objects have exactly the attributes the real ones have, and every
# attribute both trees have is a number in both, hex in both, or a string in
# both (the digests are 0 or 1, never "None").  Each session was made by
# iscsid, whose pid is its creator (-1 is an HBA's flash session).  SCSI
# inquiry strings, padded to 8, 16 and 4 bytes in sysfs, come without their
# padding in the joined records.
def form(value):
    if re.fullmatch(r"-?[0-9]+", value):
        return "number"
    return "hex" if re.fullmatch(r"0x[0-9a-f]+", value) else "string"
transport = {s["name"]: s["transport"] for s in sample["sessions"]}
assert transport == {"session1": "be2iscsi", "session2": "tcp", "session3": "tcp"}, transport
host_transport = {s["host"]: s["transport"] for s in sample["sessions"]}
for cls, of in (("iscsi_session", lambda n: transport[n]),
                ("iscsi_connection", lambda n: transport["session" + n[10:].split(":")[0]]),
                ("iscsi_host", lambda n: host_transport[n])):
    real_names = {k for d in real[cls] for k in d["attributes"]}
    real_forms = {}
    for d in real[cls]:
        for k, v in d["attributes"].items():
            real_forms.setdefault(k, set()).add(form(v))
    for d in sample[cls]:
        a = d["attributes"]
        if of(d["name"]) == "tcp":
            assert set(a) == real_names, (d["name"], set(a) ^ real_names)
        for k, v in a.items():
            if k == "recovery_tmo" and v == "off":
                continue  # the kernel's word for -1, a recovery that never expires
            assert k not in real_forms or form(v) in real_forms[k], (d["name"], k, v, real_forms[k])
for d in sample["iscsi_session"]:
    assert int(d["attributes"]["creator"]) > 0, (d["name"], d["attributes"]["creator"])
for doc in (sample, real):
    for s in doc["sessions"]:
        for disk in s["disks"]:
            if disk["vendor"] is not None:
                for key, width in (("vendor", 8), ("model", 16), ("rev", 4)):
                    assert 0 < len(disk[key]) <= width and disk[key][-1] != " ", disk

# One LUN per WWID, the failed session's unit without one alone, and every
# disk of every session a path of exactly one LUN.
assert [l["wwid"] for l in sample["luns"]] == sorted(
    d["wwid"] for s in sample["sessions"] for d in s["disks"] if d["wwid"]) + [None]
# The multipath tree's LUN 0 is one unit of two paths under its map, one
# running; LUN 1 is read-only; LUN 5, without a WWID, a unit of its own.
units = {l["wwid"]: l for l in multipath["luns"]}
lun0 = units["naa.6001405f1e2d3c4b5a69788796a5b4c3"]
assert lun0["multipath"] == {"name": "mpatha", "device": "dm-0", "features": None,
                             "queue_if_no_path": None, "hardware_handler": None, "groups": None}, lun0
assert [(p["session"], p["block_device"], p["state"]) for p in lun0["paths"]] == [
    ("session2", "sdb", "running"), ("session3", "sdc", "transport-offline")], lun0
assert [p["hctl"] for p in units[None]["paths"]] == ["2:0:0:5"], units[None]
assert lun0["paths_running"] == 1 and lun0["read_only"] is False, lun0
assert units["naa.60014052c3d4e5f60718293a4b5c6d7e"]["read_only"] is True
for doc in (sample, real, multipath):
    paths = sorted((p["session"], p["hctl"]) for l in doc["luns"] for p in l["paths"])
    assert paths == sorted((s["name"], d["hctl"]) for s in doc["sessions"] for d in s["disks"]), paths

# What the schema must refuse.
def refused(mutate, what):
    doc = copy.deepcopy(sample)
    mutate(doc)
    assert not validator.is_valid(doc), "schema accepts " + what
refused(lambda d: d.pop("iscsi_host"), "a missing class")
refused(lambda d: d["iscsi_host"][0]["attributes"].update(port=3260), "a number as value")
refused(lambda d: d["iscsi_host"][0].update(disks=[]), "disks outside a session")
refused(lambda d: d["iscsi_session"][0].pop("disks"), "a session without disks")
refused(lambda d: d["iscsi_session"][0]["disks"][0].pop("lun"), "a disk without its LUN")
refused(lambda d: d["iscsi_session"][0]["device"].pop("bus_id"), "a device without bus_id")
refused(lambda d: d["iscsi_scsi_host"].pop("directories"), "the iscsi host without directories")
refused(lambda d: d["iscsi_scsi_host"].update(name="host0"), "another scsi_host")
refused(lambda d: d.pop("luns"), "a document without its LUNs")
refused(lambda d: d["luns"][0].update(paths=[]), "a LUN without a path")
print("schema: sample and real-kernel output valid; malformed documents refused")
PY

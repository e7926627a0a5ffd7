#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# iscsi-inventory --json on the sample tree and on a copy of a real kernel's
# iSCSI objects, validated against the installed JSON Schema; and the schema
# itself shown to refuse what the program must never print.  Exits 77 (skip)
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
mkdir -p "$work/sample" "$work/real"
bash "$src/tests/data/make-sample-tree.sh" "$work/sample"
tar xzf "$src/tests/data/real-iscsi-loggedin.tar.gz" -C "$work/real"
bash "$src/tests/data/complete-scsi-bus.sh" "$work/real"  # the bus index the copy left out
for tree in sample real; do
  (cd "$work/$tree" && UMOCKDEV_DIR="$work/$tree" umockdev-wrapper "$tool" --json --no-log) \
    > "$work/$tree.json"
done

python3 - "$schema" "$work/sample.json" "$work/real.json" <<'PY'
import copy, json, sys
import jsonschema

schema = json.load(open(sys.argv[1]))
cls = jsonschema.validators.validator_for(schema)
cls.check_schema(schema)
validator = cls(schema)
sample, real = (json.load(open(p)) for p in sys.argv[2:4])
for name, doc in (("sample", sample), ("real", real)):
    errors = list(validator.iter_errors(doc))
    for e in errors:
        print(f"{name}: {list(e.absolute_path)}: {e.message}")
    assert not errors, f"{name} tree: output does not match the schema"

# The sample tree holds every kind of object: three sessions with their disks,
# a virtual transport (no device), the "iscsi" scsi_host with directories.
assert [s["name"] for s in sample["iscsi_session"]] == ["session1", "session2", "session3"]
assert [d["block_device"] for d in sample["iscsi_session"][1]["disks"]] == ["sda", "sdb"]
assert sample["iscsi_session"][2]["disks"][0]["block_device"] is None
assert sample["iscsi_transport"][0]["device"] is None
assert set(sample["iscsi_scsi_host"]["directories"]) >= {"portal0", "portal1"}
assert real["iscsi_scsi_host"] is None

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
print("schema: sample and real-kernel output valid; malformed documents refused")
PY

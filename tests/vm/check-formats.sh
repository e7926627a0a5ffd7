#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The machine-read outputs the multipath phase captured on a real kernel,
# checked on the host by the tools that read them: the --json documents
# (both paths running, and one failed in the device-mapper) against the
# installed JSON Schema (python3-jsonschema), every --prometheus
# exposition by Prometheus's own promtool (format and naming rules; it prints
# a line per rule broken).  vm-check compares their values with the dumps.
#
# usage: tests/vm/check-formats.sh RESULTS SOURCE_DIR
set -euo pipefail
results=$1 src=$2
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
. "$(dirname "$0")/sections.sh"
failures=0
python=
for candidate in python3 /usr/bin/python3; do
    if "$candidate" -c 'import jsonschema' 2>/dev/null; then python=$candidate; break; fi
done
[ -n "$python" ] || { echo "check-formats: python3-jsonschema is not installed (make deps installs it)"; exit 1; }
command -v promtool > /dev/null || { echo "check-formats: promtool is not installed (Debian's prometheus)"; exit 1; }

section "multipath json" > "$scratch/inventory.json" || { echo "check-formats: no multipath json section"; exit 1; }
section "multipath json-dmfailed" > "$scratch/dmfailed.json" ||
    { echo "check-formats: no multipath json-dmfailed section"; exit 1; }
# The document as it came, then (to show the schema does look at the joined
# records) a copy whose first disk with a holder lost its "multipath" flag:
# that one must be refused.
if ! "$python" - "$src/tool/iscsi-inventory.schema.json" "$scratch/inventory.json" "$scratch/dmfailed.json" <<'PY'
import copy, json, sys
import jsonschema
schema = json.load(open(sys.argv[1]))
validator = jsonschema.validators.validator_for(schema)(schema)
errors = []
for path in sys.argv[2:]:
    for e in validator.iter_errors(json.load(open(path))):
        errors.append(e)
        print(f"check-formats: the --json output ({path.split('/')[-1]}) at {list(e.absolute_path)}: {e.message}")
document = json.load(open(sys.argv[2]))
broken = copy.deepcopy(document)
holders = [h for s in broken.get("sessions", []) for d in s.get("disks", []) for h in d.get("holders", [])]
if not holders:
    print("check-formats: the --json output shows no holder")
    sys.exit(1)
del holders[0]["multipath"]
if validator.is_valid(broken):
    print("check-formats: the schema accepts a holder without its multipath flag")
    sys.exit(1)
sys.exit(1 if errors else 0)
PY
then
    failures=$((failures + 1))
fi
for name in prometheus prometheus-failed prometheus-dmfailed; do
    section "multipath $name" > "$scratch/$name.prom" || { echo "check-formats: no multipath $name section"; exit 1; }
    if ! promtool check metrics < "$scratch/$name.prom" > "$scratch/$name.lint" 2>&1 ||
       [ -s "$scratch/$name.lint" ]; then
        sed "s/^/check-formats: promtool on multipath $name: /" "$scratch/$name.lint"
        failures=$((failures + 1))
    fi
done
# promtool must refuse what breaks its rules: a counter without _total.
sed 's/^iscsi_disk_io_errors_total/iscsi_disk_io_errors/; s/^# \(HELP\|TYPE\) iscsi_disk_io_errors_total/# \1 iscsi_disk_io_errors/' \
    "$scratch/prometheus.prom" > "$scratch/broken.prom"
if promtool check metrics < "$scratch/broken.prom" > "$scratch/broken.lint" 2>&1 && [ ! -s "$scratch/broken.lint" ]; then
    echo "check-formats: promtool passes a counter named without _total"
    failures=$((failures + 1))
fi
[ "$failures" = 0 ] || exit 1
echo "check-formats: the multipath phase's --json documents match the schema; promtool passes its expositions" \
     "(and refuses a broken copy, as the schema does)"

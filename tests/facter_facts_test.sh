#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The facts script as Puppet's Facter reads it: Debian's facter runs it as an
# external fact under a name without .fact, and the fact iscsi_inventory
# must hold the sample tree's sessions with their disks (served at /sys
# through umockdev).  facter is installed here only in CI as root (it is not
# among the packages of make deps); elsewhere the test is skipped (exit 77).
# Usage: facter_facts_test.sh FACT_SCRIPT SOURCE_DIR
set -euo pipefail
fact=$1 src=$2
. "$src/tests/lib/optional-package.sh"
need_package facter "facter is not installed (apt-get install facter; CI installs it as root)" command -v facter
work=$(mktemp -d); trap 'rm -rf "$work"' EXIT
bash "$src/tests/data/make-sample-tree.sh" "$work"
mkdir -p "$work/facts.d" "$work/bin" "$work/home"
# The script under the name Facter's copy has; in facts.d a wrapper that shows
# the sample tree to it through umockdev, and to nothing else of Facter's.
ln -s "$fact" "$work/bin/iscsi_inventory"
cat > "$work/facts.d/iscsi_inventory" <<SH
#!/bin/sh
UMOCKDEV_DIR='$work' exec umockdev-wrapper '$work/bin/iscsi_inventory'
SH
chmod 755 "$work/facts.d/iscsi_inventory"

(cd "$work/home" && HOME=$work/home facter --external-dir "$work/facts.d" --json iscsi_inventory) \
  > "$work/out" 2> "$work/err" || { cat "$work/out" "$work/err"; exit 1; }

python3 - "$work/out" <<'PY'
import json, sys
text = open(sys.argv[1]).read()
assert "SampleOutSecret" not in text and "SampleInSecret" not in text, "CHAP secret in the facts"
facts = json.loads(text)
assert list(facts) == ["iscsi_inventory"], list(facts)
facts = facts["iscsi_inventory"]
assert "error" not in facts, facts
sessions = {s["name"]: s for s in facts["iscsi_session"]}
assert sorted(sessions) == ["session1", "session2", "session3"], sorted(sessions)
assert sessions["session3"]["attributes"]["state"] == "FAILED"
assert sessions["session2"]["attributes"]["password"] == "********"
assert sessions["session2"]["attributes"]["targetname"] == "iqn.2003-01.org.linux-iscsi.target1"
assert [(d["lun"], d["block_device"]) for d in sessions["session2"]["disks"]] == [("2", "sda"), ("10", "sdb")]
assert [c["name"] for c in facts["iscsi_connection"]] == ["connection1:0", "connection2:0", "connection3:0"]
print("facter's iscsi_inventory holds the sessions and their disks")
PY
# Nothing of Facter's complaints: a warning would mean the script's output
# was not taken as it is.
if grep -qi 'warn\|error' "$work/err"; then cat "$work/err"; exit 1; fi

#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The Ansible local-facts script as a fleet would use it: Debian's ansible-core
# gathers facts on localhost with the script in its fact_path, the script
# runs iscsi-inventory on the sample tree (served at /sys through umockdev),
# and ansible_local.iscsi_inventory must hold the sessions with their disks;
# a copy whose program fails gives its error as the facts, without a warning.
# ansible-core is installed here only in CI as root (it is not among the
# packages of make deps); elsewhere the test is skipped (exit 77).
# Usage: ansible_facts_test.sh FACT_SCRIPT SOURCE_DIR
set -euo pipefail
fact=$1 src=$2
. "$src/tests/lib/optional-package.sh"
need_package ansible-core "ansible-core is not installed (apt-get install ansible-core; CI installs it as root)" command -v ansible
. "$src/tests/lib/root-only-dir.sh"
# Root runs the failing stand-in below only from a directory only root can write.
work=$(scratch_dir); trap 'rm -rf "$work"' EXIT
bash "$src/tests/data/make-sample-tree.sh" "$work"
mkdir -p "$work/facts.d" "$work/home"
# In facts.d under the name a fleet gives it; umockdev shows the sample tree
# to the script and the program it runs, and to nothing else of Ansible's.
cat > "$work/facts.d/iscsi_inventory.fact" <<SH
#!/bin/sh
UMOCKDEV_DIR='$work' exec umockdev-wrapper '$fact'
SH
chmod 755 "$work/facts.d/iscsi_inventory.fact"
# Beside it a copy whose program fails: Ansible must take its error object as
# the facts, without a warning.
printf '#!/bin/sh\necho "iscsi-inventory: sysfs is not mounted" >&2\nexit 1\n' >"$work/failing"
sed "s|^installed=.*|installed='$work/failing'|" "$fact" >"$work/facts.d/failing.fact"
chmod 755 "$work/failing" "$work/facts.d/failing.fact"

HOME=$work/home ANSIBLE_LOCAL_TEMP=$work/home/tmp ANSIBLE_NOCOLOR=1 \
  ansible all -i localhost, -c local -e ansible_python_interpreter=/usr/bin/python3 \
    -m setup -a "gather_subset=!all,!min,local fact_path=$work/facts.d" > "$work/out" 2> "$work/err" ||
  { cat "$work/out" "$work/err"; exit 1; }

if grep -q WARNING "$work/err"; then cat "$work/err"; exit 1; fi
python3 - "$work/out" "$work/failing" <<'PY'
import json, sys
text = open(sys.argv[1]).read()
# The sample's session 2 uses mutual CHAP: its secrets never reach the facts.
assert "SampleOutSecret" not in text and "SampleInSecret" not in text, "CHAP secret in the facts"
prefix = "localhost | SUCCESS => "
assert text.startswith(prefix), text[:400]
result = json.loads(text[len(prefix):])
assert "warnings" not in result, result["warnings"]
local = result["ansible_facts"]["ansible_local"]
failing = sys.argv[2]
assert local["failing"] == {
    "error": failing + " exited with status 1: iscsi-inventory: sysfs is not mounted",
    "program": failing, "exit_status": 1}, local["failing"]
facts = local["iscsi_inventory"]
sessions = {s["name"]: s for s in facts["iscsi_session"]}
assert sorted(sessions) == ["session1", "session2", "session3"], sorted(sessions)
assert sessions["session3"]["attributes"]["state"] == "FAILED"
assert sessions["session2"]["attributes"]["password"] == "********"
assert sessions["session1"]["attributes"]["password"] == "(null)"
assert sessions["session2"]["attributes"]["targetname"] == "iqn.2003-01.org.linux-iscsi.target1"
assert [(d["lun"], d["block_device"]) for d in sessions["session2"]["disks"]] == [("2", "sda"), ("10", "sdb")]
assert [c["name"] for c in facts["iscsi_connection"]] == ["connection1:0", "connection2:0", "connection3:0"]
print("ansible_local.iscsi_inventory holds the sessions and their disks")
PY

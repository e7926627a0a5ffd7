#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# --json at 1,000 sessions (make-iscsi-tree: a host, a connection and a disk
# each) without the document in memory:
#  - its peak RSS stays within 3 times the text run's (the whole document
#    held in memory was more than 5 times at this size, and grows with it);
#  - the sessions kept aside come back whole whether they go to the spool
#    file, stay in memory because no spool file can be made ($TMPDIR names
#    no directory), or move to memory when the spool file cannot grow (a
#    file size limit: the write fails with EFBIG): the three documents are
#    the same, and hold every session with its disk.
# Usage: json_memory_test.sh TOOL MAKE_ISCSI_TREE
set -euo pipefail
tool=$1 make_tree=$2
work=$(mktemp -d); trap 'rm -rf "$work"' EXIT
"$make_tree" "$work" 1000
mkdir "$work/run"; cd "$work/run"
export UMOCKDEV_DIR=$work

# Peak RSS in KB of a command (its standard output to a file), from wait4.
peak() {
  python3 - "$@" <<'EOF'
import os, subprocess, sys
out = open(sys.argv[1], "wb")
child = subprocess.Popen(["umockdev-wrapper"] + sys.argv[2:], stdout=out)
_, status, usage = os.wait4(child.pid, 0)
if os.waitstatus_to_exitcode(status) != 0:
    sys.exit("%s failed: %d" % (sys.argv[2:], os.waitstatus_to_exitcode(status)))
print(usage.ru_maxrss)
EOF
}

text_kb=$(peak text.out "$tool" --no-log)
json_kb=$(peak spooled.json "$tool" --json --no-log)
echo "peak RSS: text $text_kb KB, json $json_kb KB"
if [ "$json_kb" -gt $((3 * text_kb)) ]; then
  echo "FAIL: --json peaks at more than 3 times the text run" >&2
  exit 1
fi

TMPDIR=$work/none umockdev-wrapper "$tool" --json --no-log > in-memory.json
# Ignored, SIGXFSZ stays ignored through exec: the write fails instead.  The
# output goes through a pipe, which the limit does not concern.
(ulimit -f 64; trap '' XFSZ; exec umockdev-wrapper "$tool" --json --no-log) | cat > limited.json
cmp spooled.json in-memory.json
cmp spooled.json limited.json
python3 - spooled.json <<'EOF'
import json, sys
document = json.load(open(sys.argv[1]))
sessions = document["sessions"]
assert len(sessions) == 1000, len(sessions)
assert sorted(s["sid"] for s in sessions) == list(range(1, 1001))
assert all(len(s["disks"]) == 1 and s["disks"][0]["size_bytes"] == 2097152 * 512 for s in sessions)
assert list(document)[-2:] == ["sessions", "errors"] and document["errors"] == []
EOF
echo ok

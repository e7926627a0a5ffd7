#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# --json and --prometheus at 1,000 sessions (make-iscsi-tree: a host, a
# connection and a disk each) without their output in memory:
#  - the peak RSS of each stays within 3 times the text run's (the whole
#    document held in memory was more than 5 times at this size, and grows
#    with it), and --json's within 1.2 times that of --luns, which holds
#    every path until the end as the document's "luns" must;
#  - what they keep aside (the JSON sessions, each metric family's samples)
#    comes back whole whether it goes to spool files, stays in memory because
#    no spool file can be made ($TMPDIR names no directory), or moves to
#    memory when a spool file cannot grow (a file size limit: the tool ignores
#    SIGXFSZ, and the write fails with EFBIG): the three outputs are the same,
#    and hold every session with its disk; the metrics written to a file are
#    those printed;
#  - an output file that the limit cuts ends the run with exit status 1 and a
#    message, never with SIGXFSZ.
# Usage: joined_memory_test.sh TOOL MAKE_ISCSI_TREE
set -euo pipefail
tool=$1 make_tree=$2
work=$(mktemp -d); trap 'rm -rf "$work"' EXIT
"$make_tree" "$work" 1000
mkdir "$work/run"; cd "$work/run"
export UMOCKDEV_DIR=$work

# Peak RSS in KB of a command (its standard output to a file), as GNU time
# takes it from wait4.  The process that measures must be small: a child
# keeps the peak of the process it was forked from (a Python's 13 MB
# measured every form alike).
peak() {
  local out=$1; shift
  /usr/bin/time -f %M -o "$work/peak.kb" umockdev-wrapper "$@" > "$out" ||
    { echo "FAIL: $* failed" >&2; exit 1; }
  cat "$work/peak.kb"
}

text_kb=$(peak text.out "$tool" --no-log)
json_kb=$(peak spooled.json "$tool" --json --no-log)
prom_kb=$(peak spooled.prom "$tool" --prometheus --no-log)
luns_kb=$(peak luns.out "$tool" --luns --no-log)
echo "peak RSS: text $text_kb KB, json $json_kb KB, prometheus $prom_kb KB, luns $luns_kb KB"
for form in json prom; do
  kb=${form}_kb
  if [ "${!kb}" -gt $((3 * text_kb)) ]; then
    echo "FAIL: --$form peaks at more than 3 times the text run" >&2
    exit 1
  fi
done
# The document's "luns" need every path until the walk ends, as --luns does,
# and no more: built whole, as a tree and as text, they held them twice more.
if [ "$json_kb" -gt $((luns_kb * 6 / 5)) ]; then
  echo "FAIL: --json peaks at more than 1.2 times --luns" >&2
  exit 1
fi

for form in json prom; do
  option=--json; [ $form = prom ] && option=--prometheus
  TMPDIR=$work/none umockdev-wrapper "$tool" $option --no-log > in-memory.$form
  # The tool ignores SIGXFSZ itself: its spool's write fails, and the spool
  # moves to memory.  The output goes through a pipe, which the limit does not
  # concern: it is whole.
  status=0
  (ulimit -f 64; exec umockdev-wrapper "$tool" $option --no-log 2> limited.err) | cat > limited.$form ||
    status=$?
  [ $status = 0 ] && [ ! -s limited.err ] || { cat limited.err; echo "FAIL: --$form limited: $status" >&2; exit 1; }
  cmp spooled.$form in-memory.$form
  cmp spooled.$form limited.$form
  # Standard output a file the limit cuts: the 64 KB that fit, one line, exit 1.
  status=0
  (ulimit -f 64; exec umockdev-wrapper "$tool" $option --no-log > cut.$form 2> cut.err) || status=$?
  [ $status = 1 ] || { echo "FAIL: --$form cut short: exit status $status" >&2; exit 1; }
  [ "$(cat cut.err)" = "iscsi-inventory: write error: File too large" ]
  cmp cut.$form <(head -c 65536 spooled.$form)
done
umockdev-wrapper "$tool" --prometheus="$work/run/file.prom" --no-log
cmp spooled.prom file.prom
[ "$(grep -c '^iscsi_session_info{' spooled.prom)" = 1000 ]
[ "$(grep -c '^iscsi_disk_info{' spooled.prom)" = 1000 ]
# Each family once, its samples together: a name never comes back after another.
[ -z "$(grep -v '^#' spooled.prom | sed 's/[{ ].*//' | uniq | sort | uniq -d)" ]
python3 - spooled.json <<'EOF'
import json, sys
document = json.load(open(sys.argv[1]))
sessions = document["sessions"]
assert len(sessions) == 1000, len(sessions)
assert sorted(s["sid"] for s in sessions) == list(range(1, 1001))
assert all(len(s["disks"]) == 1 and s["disks"][0]["size_bytes"] == 2097152 * 512 for s in sessions)
assert list(document)[-4:] == ["sessions", "luns", "multipath_states", "errors"] and document["errors"] == []
# The first half of the sessions come in pairs, two paths to one unit each;
# every other session's disk is a unit of its own.
paths = sorted(len(l["paths"]) for l in document["luns"])
assert paths == [1] * 500 + [2] * 250, (len(paths), paths[-1])
EOF
echo ok

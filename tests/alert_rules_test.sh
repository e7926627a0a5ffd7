#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The shipped alerting rules (tool/iscsi-inventory.rules.yml): promtool check
# rules on the file, promtool test rules on tests/alert_rules.test.yml (each
# alert on series that fire it and series that must not), and the rules on
# what the tool itself writes: the metrics of the multipath topology
# (tests/data/make-multipath-tree.sh), scraped from one host for five minutes, must fire
# exactly the alerts written below, so that the rules and the metrics cannot
# drift apart in a name or a label.  Exits 77 (skip) where promtool is
# missing and cannot be installed (CI installs Debian's prometheus as root).
# Usage: alert_rules_test.sh TOOL SOURCE_DIR MAKE_MULTIPATH_TREE
set -euo pipefail
tool=$1 src=$2
. "$src/tests/lib/optional-package.sh"
need_package prometheus "promtool is not installed (Debian package prometheus; make deps installs it)" command -v promtool
rules=$src/tool/iscsi-inventory.rules.yml
work=$(mktemp -d); trap 'rm -rf "$work"' EXIT

promtool check rules "$rules"
promtool test rules "$src/tests/alert_rules.test.yml"

bash "$src/tests/data/make-multipath-tree.sh" "$work/tree"
(cd "$work/tree" && UMOCKDEV_DIR="$work/tree" umockdev-wrapper "$tool" --prometheus --no-log) \
  > "$work/multipath.prom"
# Each family the rules name is one the tool writes.
for family in $(grep -o 'iscsi_[a-z_]*' "$rules" | grep -vx iscsi_inventory | sort -u); do
  grep -q "^# TYPE $family " "$work/multipath.prom" ||
    { echo "FAIL: the rules name $family, which the tool does not write" >&2; exit 1; }
done
cp "$rules" "$work/rules.yml"
# Every sample as a series of the host h1:9100 (job node), its value
# unchanged for five minutes.
python3 - "$work/multipath.prom" > "$work/series.yml" <<'PY'
import sys
for line in open(sys.argv[1], encoding="utf-8"):
    if line.startswith("#"):
        continue
    sample, value = line.rstrip("\n").rsplit(" ", 1)
    name, brace, labels = sample.partition("{")
    labels = 'instance="h1:9100",job="node"' + ("," + labels if brace else "}")
    series = (name + "{" + labels).replace("'", "''")
    print(f"      - series: '{series}'\n        values: '{value}x5'")
PY
cat > "$work/tool.test.yml" <<EOF
rule_files:
  - rules.yml
evaluation_interval: 1m
tests:
  - interval: 1m
    input_series:
$(cat "$work/series.yml")
    alert_rule_test:
      - eval_time: 2m
        alertname: IscsiSessionNotLoggedIn
        exp_alerts:
          - exp_labels:
              severity: warning
              instance: h1:9100
              job: node
              session: session3
              state: FAILED
              target: iqn.2003-01.org.example:storage
              portal: 192.0.2.2:3260
            exp_annotations:
              summary: "iSCSI session session3 on h1:9100 is FAILED"
              description: "session3 to iqn.2003-01.org.example:storage through 192.0.2.2:3260 has not been logged in for a minute."
      - eval_time: 2m
        alertname: IscsiLunPathsDegraded
        exp_alerts:
          - exp_labels:
              severity: warning
              instance: h1:9100
              job: node
              wwid: naa.6001405f1e2d3c4b5a69788796a5b4c3
              multipath_device: mpatha
              target: iqn.2003-01.org.example:storage
            exp_annotations:
              summary: "iSCSI LUN naa.6001405f1e2d3c4b5a69788796a5b4c3 on h1:9100 lost path redundancy"
              description: "naa.6001405f1e2d3c4b5a69788796a5b4c3 (multipath device mpatha), reached through target iqn.2003-01.org.example:storage, has only 1 running path(s) left."
      - eval_time: 2m
        alertname: IscsiLunNoRunningPath
        exp_alerts: []
      # Not 3:0:0:0: its session is FAILED, which is the session's alert.
      - eval_time: 2m
        alertname: IscsiDiskNotRunning
        exp_alerts:
          - exp_labels:
              severity: warning
              instance: h1:9100
              job: node
              session: session2
              hctl: "2:0:0:5"
              state: offline
              target: iqn.2003-01.org.example:storage
              portal: 192.0.2.1:3260
            exp_annotations:
              summary: "iSCSI disk 2:0:0:5 on h1:9100 is offline"
              description: "2:0:0:5 of session2 (target iqn.2003-01.org.example:storage through 192.0.2.1:3260) has not been running for a minute."
      - eval_time: 2m
        alertname: IscsiDiskReadOnly
        exp_alerts:
          - exp_labels:
              severity: warning
              instance: h1:9100
              job: node
              session: session2
              hctl: "2:0:0:1"
              target: iqn.2003-01.org.example:storage
              portal: 192.0.2.1:3260
              device: sdd
              wwid: naa.60014052c3d4e5f60718293a4b5c6d7e
            exp_annotations:
              summary: "iSCSI disk 2:0:0:1 (sdd) on h1:9100 is read-only"
              description: "2:0:0:1 of session2 (target iqn.2003-01.org.example:storage through 192.0.2.1:3260, WWID naa.60014052c3d4e5f60718293a4b5c6d7e) cannot be written."
      - eval_time: 5m
        alertname: IscsiInventoryErrors
        exp_alerts: []
EOF
if ! promtool test rules "$work/tool.test.yml"; then
  echo "FAIL: the rules on the tool's own metrics of the multipath topology" >&2
  exit 1
fi
echo "promtool accepts the rules; their unit tests and the tool's own metrics fire what they must"

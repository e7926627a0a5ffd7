#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The shipped alerting rules (tool/iscsi-inventory.rules.yml): promtool check
# rules on the file, promtool test rules on tests/alert_rules.test.yml (each
# alert on series that fire it and series that must not), and the rules on
# what the tool itself writes: on each shipped tree, --check and --prometheus
# run on the same tree, and the metrics, scraped from one host for five
# minutes, must fire one alert per finding of the check with the check's own
# severity, and nothing else, so that the check, the metrics and the rules
# cannot drift apart in a severity, a name or a label.  Exits 77 (skip) where promtool is
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

# The trees: the sample, the multipath topology (a LUN that lost a path with
# its session, an offline unit without a WWID, a read-only one) and the
# real kernel's copy.
bash "$src/tests/data/make-sample-tree.sh" "$work/sample"
bash "$src/tests/data/make-multipath-tree.sh" "$work/multipath"
mkdir "$work/real" && tar -xzf "$src/tests/data/real-iscsi-loggedin.tar.gz" -C "$work/real"
# The rules without their annotations, whose words unit tests above check:
# here what fires, and with which labels, is what counts.
awk '/^        annotations:/ { skip = 1; next }
     skip && /^          / { next }
     { skip = 0; print }' "$rules" > "$work/rules.yml"
for tree in sample multipath real; do
  root=$work/$tree
  [ -d "$root/sys" ] || root=$(dirname "$(find "$work/$tree" -maxdepth 3 -type d -name sys | head -1)")
  # The multipath tree's map as the device-mapper (stood in for) has it:
  # sdc failed there too, so the families of the map's own view are written.
  dm=""; [ "$tree" = multipath ] && dm=$src/tests/data/multipath-tree.dm
  (cd "$root" && ISCSI_DM_STANDIN=$dm UMOCKDEV_DIR="$root" umockdev-wrapper "$tool" --prometheus --no-log) \
    > "$work/$tree.prom"
  status=0
  (cd "$root" && ISCSI_DM_STANDIN=$dm UMOCKDEV_DIR="$root" umockdev-wrapper "$tool" --check --json --no-log) \
    > "$work/$tree.check" || status=$?
  [ "$status" -le 2 ] || { echo "FAIL: --check on the $tree tree: status $status" >&2; exit 1; }
  # Each family the rules name is one the tool writes (on the multipath
  # tree, which has every kind of finding the metrics carry).
  if [ "$tree" = multipath ]; then
    for family in $(grep -o 'iscsi_[a-z_]*' "$rules" | grep -vx iscsi_inventory | sort -u); do
      grep -q "^# TYPE $family " "$work/$tree.prom" ||
        { echo "FAIL: the rules name $family, which the tool does not write" >&2; exit 1; }
    done
  fi
  # Every sample as a series of the host h1:9100 (job node), its value
  # unchanged for five minutes; the alerts that must fire after two: one
  # IscsiCheckFinding per finding series, with its labels (an empty label
  # is none), and the findings must be the check's own, severity for
  # severity: one judge, two transports.  Nothing else may fire.
  python3 - "$work/$tree.prom" "$work/$tree.check" > "$work/$tree.test.yml" <<'PY'
import json, re, sys
from collections import Counter
series, alerts, carried = [], [], Counter()
for line in open(sys.argv[1], encoding="utf-8"):
    if line.startswith("#"):
        continue
    sample, value = line.rstrip("\n").rsplit(" ", 1)
    name, brace, labels = sample.partition("{")
    text = 'instance="h1:9100",job="node"' + ("," + labels if brace else "}")
    series.append((name + "{" + text).replace("'", "''") + "'\n        values: '" + value + "x5")
    if name == "iscsi_check_finding":
        pairs = dict(re.findall(r'([a-z_]+)="((?:[^"\\]|\\.)*)"', labels))
        carried[(pairs["rule"], pairs["severity"])] += 1
        exp = {"alertname": "IscsiCheckFinding", "instance": "h1:9100", "job": "node"}
        exp.update({k: v for k, v in pairs.items() if v})
        alerts.append(exp)
verdict = json.load(open(sys.argv[2]))
judged = Counter((f["rule"], f["severity"].lower()) for f in verdict["findings"])
if judged != carried:
    sys.exit("the check finds %s, the metrics carry %s" % (sorted(judged.items()), sorted(carried.items())))
print("rule_files:\n  - rules.yml\nevaluation_interval: 1m\ntests:\n  - interval: 1m\n    input_series:")
for s in series:
    print("      - series: '" + s + "'")
print("    alert_rule_test:\n      - eval_time: 2m\n        alertname: IscsiCheckFinding\n        exp_alerts:" +
      ("" if alerts else " []"))
for exp in alerts:
    print("          - exp_labels:")
    for k, v in exp.items():
        if k != "alertname":
            print("              %s: %s" % (k, json.dumps(v)))
for quiet in ("IscsiSessionFlapping", "IscsiLunPathsFlapping", "IscsiLunPathsGone",
              "IscsiInventoryErrors", "IscsiInventoryErrorsIntermittent"):
    print("      - eval_time: 5m\n        alertname: %s\n        exp_alerts: []" % quiet)
PY
  [ -s "$work/$tree.test.yml" ] || { echo "FAIL: the $tree tree: the check and the metrics disagree" >&2; exit 1; }
  if ! promtool test rules "$work/$tree.test.yml"; then
    echo "FAIL: the rules on the tool's own metrics of the $tree tree" >&2
    exit 1
  fi
done
echo "promtool accepts the rules; their unit tests pass, and on the sample, multipath and real trees" \
     "the alerts that fire are the check's findings, severity for severity"

#!/usr/bin/env bash
# vm-check's churn rules on hand-made results (churn_results.txt): what it
# must report run by run (churn_expected.txt) and what it must let pass (a
# value between two counts, an attribute one dump could not read, objects in
# one dump only, a host number handed out again, a driver one dump lacks).
# usage: vm_check_test.sh VM_CHECK
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
out=$(mktemp)
"$1" "$here/churn_results.txt" > "$out" && { echo "vm-check passed"; exit 1; }
grep '^FAIL \[churn run' "$out" | diff -u "$here/churn_expected.txt" -
status=$?
rm -f "$out"
exit $status

#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# vm-check's churn rules on hand-made results (churn_results.txt): what it
# must report run by run (churn_expected.txt) and what it must let pass (a
# value between two counts, an attribute one dump could not read, objects in
# one dump only, a host number handed out again, a driver one dump lacks).
#
# Its CHAP rules on hand-made results of the chap phase (chap_results.txt),
# where a secret leaks into the text inventory, --sessions and a trace log, a fact masks
# a session's "(null)", the facts script leaves a log, --show-secrets hides a
# secret, the probe got another value, a log has mode 644 and the target let
# a wrong secret in: each must be reported (chap_expected.txt), and nothing
# about the outputs that are right (the JSON, the metrics, the other trace
# logs, the "(null)" of a session without CHAP, "<empty>" for it in the
# session blocks).  Then the same results with the dump
# showing no secret, which must fail: a test that never saw the secrets
# could not see them leak.
#
# Its multipath rules on hand-made results of the multipath phase
# (multipath_results.txt), where iscsiadm attached another disk to a session
# than --json lists, a path's by_path names the other portal, and the
# metrics taken after a portal was disabled show its session logged in
# while the dump shows it FAILED: each must be reported
# (multipath_expected.txt), and nothing about what is right (a disk without
# a wwid shown as null, the paths' one WWID and map).  Then the same results
# with the three faults mended, which must pass those rules.
#
# Its iSER rules on hand-made results of the iser phase (iser_results.txt):
# a tcp and an iSER session, whose transports sysfs names through their SCSI
# hosts' proc_name, and where iscsiadm names another transport, the JSON
# splits a disk's address wrongly, shows another state and the driver's name
# as the transport, the session blocks show a channel as "00" and the iSER
# session as tcp, and the metrics miss a disk and name another block device:
# each must be reported (iser_expected.txt), and nothing about what is right
# (a byte the JSON escapes as \x65, a disk without state or block device,
# the disks' order by number: 1:0:0:2 before 1:0:0:10).
# usage: vm_check_test.sh VM_CHECK
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
out=$(mktemp)
scratch=$(mktemp)
trap 'rm -f "$out" "$scratch"' EXIT
status=0
"$1" "$here/churn_results.txt" churn > "$out" && { echo "vm-check passed the churn results"; exit 1; }
grep '^FAIL \[churn run' "$out" | diff -u "$here/churn_expected.txt" - || status=1

"$1" "$here/chap_results.txt" chap > "$out" && { echo "vm-check passed the chap results"; exit 1; }
grep '^FAIL \[chap secrets\]' "$out" | diff -u "$here/chap_expected.txt" - || status=1

# session5's password as the dump reads it, replaced with the kernel's "(null)".
sed 's/^C password 444 OK 546573742d4f75742d5365637265742d310a$/C password 444 OK 286e756c6c290a/' \
    "$here/chap_results.txt" > "$scratch"
"$1" "$scratch" chap > "$out"
grep '^FAIL \[chap secrets\] the dump' "$out" | diff -u - <(cat <<'WANT'
FAIL [chap secrets] the dump shows no password for session5
FAIL [chap secrets] the dump does not show two distinct secrets for session5
WANT
) || status=1
"$1" "$here/multipath_results.txt" multipath > "$out" && { echo "vm-check passed the multipath results"; exit 1; }
grep '^FAIL \[multipath records\]' "$out" | diff -u "$here/multipath_expected.txt" - || status=1
sed -e 's/Attached scsi disk sdb/Attached scsi disk sda/' \
    -e '/"hctl": "3:0:0:0"/,/by_path/ s/ip-127\.0\.0\.1:/ip-127.0.0.2:/' \
    -e '/BEGIN multipath prometheus-failed/,/END multipath prometheus-failed/ {
            s/\(session="session4",state="LOGGED_IN"}\) 1/\1 0/
            s/\(session="session4",state="FAILED"}\) 0/\1 1/
        }' "$here/multipath_results.txt" > "$scratch"
"$1" "$scratch" multipath > "$out"
grep '^FAIL \[multipath records\]' "$out" && { echo "vm-check fails the mended multipath results"; status=1; }
"$1" "$here/iser_results.txt" iser > "$out" && { echo "vm-check passed the iser results"; exit 1; }
grep -a '^FAIL \[iser\] iscsiadm names\|^FAIL \[iser --' "$out" | diff -u "$here/iser_expected.txt" - || status=1
exit $status

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
# while the dump shows it FAILED; --luns keeps a revision's padding and
# shows the failed path running; the metrics give a size in sectors, and
# after the failure still count both paths running with the failed disk
# "running", and before it carry a finding the check does not find;
# --check counts the paths as LUNs, names the LUN before the
# failed session, its JSON counts the failed path as running, and against
# the baseline it does not name the failed session; a timed
# run failed; with a path failed in the device-mapper alone, the JSON shows
# its fail count 0 where dmsetup shows 1, and --luns run without the
# privilege does not say first that the maps' own path states went unread:
# each must be reported (multipath_expected.txt), and nothing
# about what is right (a disk without a wwid shown as null and as a LUN of
# its own, the paths' one WWID and map, other metric families, a known state
# at 0, findings beyond those the rules demand).  Then the same results
# with every fault mended, which must pass those rules; the ratios printed
# are the medians' (not the means'), the tool's over its peer's.
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
grep '^FAIL \[multipath [a-z]' "$out" | diff -u "$here/multipath_expected.txt" - || status=1
sed -e 's/Attached scsi disk sdb/Attached scsi disk sda/' \
    -e '/"hctl": "3:0:0:0"/,/by_path/ s/ip-127\.0\.0\.1:/ip-127.0.0.2:/' \
    -e '/BEGIN multipath prometheus-failed/,/END multipath prometheus-failed/ {
            s/\(session="session4",state="LOGGED_IN"}\) 1/\1 0/
            s/\(session="session4",state="FAILED"}\) 0/\1 1/
            s/^\(iscsi_lun_paths_running{.*}\) 2$/\1 1/
            s/\(hctl="3:0:0:0",state="running"}\) 1/\1 0/
            s/\(hctl="3:0:0:0",state="blocked"}\) 0/\1 1/
        }' \
    -e '/BEGIN multipath luns$/,/END multipath luns / s/^\(\tRev: 4\.0\) $/\1/' \
    -e '/BEGIN multipath prometheus$/,/END multipath prometheus / s/\(hctl="2:0:0:0"}\) 2048$/\1 1048576/' \
    -e '/BEGIN multipath prometheus$/,/END multipath prometheus / { /^iscsi_check_finding{rule="read-only"/d; }' \
    -e '/BEGIN multipath luns-failed/,/END multipath luns-failed/ {
            s/sdd: running$/sdd: not running/
            s/2 of 2 paths running/1 of 2 paths running/
        }' \
    -e '/BEGIN multipath check$/,/END multipath check / s/ luns=3 / luns=2 /' \
    -e '/BEGIN multipath check-failed/,/END multipath check-failed/ {
            /^WARNING: LUN/ { h; d; }
            /^WARNING: session4/ G
        }' \
    -e '/BEGIN multipath check-json-failed/,/END multipath check-json-failed/ s/"paths_running": 3/"paths_running": 2/' \
    -e '/BEGIN multipath check-baseline-failed/,/END multipath check-baseline-failed/ {
            /^WARNING: LUN/ i WARNING: session4 (iqn.2003-01.org.example.vm:multipath, 127.0.0.2:3260) is FAILED
        }' \
    -e '/BEGIN multipath peers/,/END multipath peers/ s/^luns 7 1$/luns 7 0/' \
    -e '/BEGIN multipath json-dmfailed/,/END multipath json-dmfailed/ s/"dm_state": "failed", "fail_count": 0/"dm_state": "failed", "fail_count": 1/' \
    -e "/^==== BEGIN multipath luns-unprivileged\$/a Multipath maps' own path states not read: /dev/mapper/control: open failed: Permission denied" \
    "$here/multipath_results.txt" > "$scratch"
"$1" "$scratch" multipath > "$out"
grep '^FAIL \[multipath [a-z]' "$out" && { echo "vm-check fails the mended multipath results"; status=1; }
grep -qxF 'vm-check: peers: multipath: --sessions vs iscsiadm -P 3: 0.48 (0.10 s against 0.21 s); --luns vs multipath -ll: 0.50 (0.07 s against 0.14 s)' "$out" ||
    { echo "vm-check does not print the peers' ratios of the medians"; grep 'peers' "$out"; status=1; }
"$1" "$here/iser_results.txt" iser > "$out" && { echo "vm-check passed the iser results"; exit 1; }
grep -a '^FAIL \[iser\] iscsiadm names\|^FAIL \[iser --' "$out" | diff -u "$here/iser_expected.txt" - || status=1
exit $status

#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Proves that vm-check fails on results that differ from what the VM really
# reported: applies single changes, one at a time, to a copy of results that
# passed and expects vm-check to fail on each, naming the phase (a CHAP
# secret put where the masked runs showed "********" included, the
# multipath phase's joined records, metrics, LUN views and verdicts, a path
# failed in the device-mapper shown active, the peers' timed runs, and the
# iSER session shown as a tcp one).
#
# usage: tests/vm/mutate.sh RESULTS VM_CHECK
set -uo pipefail
results=$1 check=$2
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
"$check" "$results" > /dev/null || { echo "mutate: $results does not pass to begin with"; exit 1; }

failures=0 changes=0
# mutate PHASE SECTION PATTERN REPLACEMENT: in section SECTION (a "==== END"
# line when SECTION is "end:NAME"), the first line matching PATTERN (awk
# regex) gets REPLACEMENT for the match.
mutate() {
    local phase=$1 section=$2 pattern=$3 replacement=$4
    changes=$((changes + 1))
    if ! awk -v section="$section" -v pattern="$pattern" -v replacement="$replacement" '
        BEGIN { inside = 0; done = 0 }
        !done && section ~ /^end:/ && $0 == "==== END " substr(section, 5) " rc=0" {
            sub(pattern, replacement); done = 1; print; next }
        $0 == "==== BEGIN " section { inside = 1; print; next }
        /^==== END / { inside = 0 }
        inside && !done && $0 ~ pattern { sub(pattern, replacement); done = 1 }
        { print }
        END { exit done ? 0 : 3 }' "$results" > "$scratch/results.txt"; then
        echo "mutate: nothing in \"$section\" matches /$pattern/"
        failures=$((failures + 1))
        return
    fi
    if "$check" "$scratch/results.txt" > "$scratch/out"; then
        echo "mutate: vm-check passes with /$pattern/ -> \"$replacement\" in \"$section\""
        failures=$((failures + 1))
    elif ! grep -q "^FAIL \[$phase" "$scratch/out"; then
        echo "mutate: vm-check fails on /$pattern/ in \"$section\", but not in phase $phase:"
        head -n 3 "$scratch/out"
        failures=$((failures + 1))
    fi
}

last=$(grep -c '^==== BEGIN churn inventory-' "$results")
last_inventory=$((2 * last - 1))
mutate loggedin "loggedin inventory" "	state:: 	LOGGED_IN$" "	state:: 	FAILED"
mutate failed "failed inventory" "	state:: 	FAILED$" "	state:: 	LOGGED_IN"
mutate "churn run 1 " "churn inventory-1" "	caps:: 	0x" "	caps:: 	0x1"
mutate "churn run $last_inventory " "churn inventory-$last_inventory" "	handle:: 	[0-9]" "	handle:: 	9"
mutate "churn run 2 " "churn buses-2" " lun=0 " " lun=1 "
mutate "churn run 3 " "end:churn inventory-3" "rc=0$" "rc=143"
mutate "churn run 4 " "churn buses-4" "^  host" "  host0 driver=- path=/x\n  host"
mutate "churn run 5 " "churn trace-5" "	Leaving SysfsReader::GetClsDeviceAttr$" "	Leaving SysfsReader::GetClsDeviceList"
# The iSER session beside the tcp ones: its transport, as the SCSI host's
# driver names it in the dump and as each output shows it, and its disks.
mutate iser "iser dump-before" "^C proc_name ([0-7]+) OK 69736373695f697365720a$" "C proc_name 444 OK 69736373695f7463700a"
mutate iser "iser sessions" "Iface Transport: iser$" "Iface Transport: tcp"
mutate iser "iser prometheus" "transport=\"iser\"" "transport=\"tcp\""
mutate iser "iser json" "\"block_device\": \"sd[a-z]+\"" "\"block_device\": null"
mutate iser "iser json" "\"caps\": \"0x" "\"caps\": \"0x1"
mutate iser "iser json" "\"transport\": \"iser\"" "\"transport\": \"tcp\""
mutate iser "iser inventory" "	targetname:: 	iqn.2003-01.org.example.vm:iser$" "	targetname:: 	iqn.2003-01.org.example.vm:isar"
mutate san "san inventory" "	targetname:: 	iqn" "	targetname:: 	iqm"
mutate san "san buses" " lun=63 " " lun=62 "
mutate san "san times" "^iscsi-inventory [0-9]+$" "iscsi-inventory"
# The CHAP session's secrets, as --show-secrets printed them: each leaks
# once into a masked output, trace log or fact, and once more the tool
# shows a mask where it must show the secret, the dump shows none, a log is
# readable by all, or the probe's query got another value.
chap_session=$(sed -n 's/^==== CHAPSESSION //p' "$results")
secret() {
    awk -v key="$1" -v heading="NAME SESSION CLASS :: $chap_session" '
        /^==== BEGIN chap show-secrets$/ { inside = 1; next }
        /^==== END / { inside = 0 }
        inside && /^NAME / { mine = ($0 == heading) }
        inside && mine && index($0, "\t" key ":: \t") == 1 { print substr($0, length(key) + 6); exit }' "$results"
}
password=$(secret password) password_in=$(secret password_in)
mutate chap "chap inventory" "	password:: 	[*]+$" "	password:: 	$password"
mutate chap "chap fact" "\"password_in\": \"[*]+\"" "\"password_in\": \"$password_in\""
mutate chap "chap log" "	password_in: [*]+$" "	password_in: $password_in"
mutate chap "chap sessions" "		password_in: [*]+$" "		password_in: $password_in"
mutate chap "chap probe-log" "	password: [*]+$" "	password: $password"
mutate chap "chap show-secrets" "	password:: 	$password$" "	password:: 	********"
mutate chap "chap dump-before" "^C password_in 444 OK $(printf '%s\n' "$password_in" | od -An -v -tx1 | tr -d ' \n')$" \
    "C password_in 444 OK 286e756c6c290a"
mutate chap "chap modes" "^600 text/" "644 text/"
mutate chap "chap probe" "^C password fnv1a64:[0-9a-f]+$" "C password fnv1a64:0000000000000000"
# The multipath phase: a holder that is no multipath map, a by-path name
# with the other portal, a disk iscsiadm did not attach, a failed path shown
# FAILED no more.
mutate multipath "multipath json" '"multipath": true' '"multipath": false'
mutate multipath "multipath json" '"by_path": "ip-127[.]0[.]0[.]2:' '"by_path": "ip-127.0.0.1:'
mutate multipath "multipath iscsiadm" "Attached scsi disk sd" "Attached scsi disk sdz"
mutate multipath "multipath prometheus-failed" 'state="FAILED"[}] 1$' 'state="FAILED"} 0'
# The views per LUN, the LUN and disk metrics and the verdict: a failed
# path counted as running, a running one shown blocked, the failed disk's
# state at 0, a LUN's running paths 10 ("&" is the match), a plugin run
# that ended otherwise than it said, perfdata that counts wrong, a timed run
# that failed.
mutate multipath "multipath luns-failed" "1 of 2 paths running$" "2 of 2 paths running"
mutate multipath "multipath luns" "SCSI Device State: running$" "SCSI Device State: blocked"
mutate multipath "multipath prometheus-failed" 'state="blocked"[}] 1$' 'state="blocked"} 0'
mutate multipath "multipath prometheus" '^iscsi_lun_paths_running[{].*[}] 2$' '&0'
mutate multipath "end:multipath check" "rc=0$" "rc=1"
mutate multipath "end:multipath check-baseline" "rc=0$" "rc=2"
mutate multipath "multipath check-json-failed" '"paths_running": ?[0-9]+' '&0'
mutate multipath "multipath peers" " 0$" " 1"
# The path failed in the device-mapper alone, shown active by --luns and by
# the metrics.
mutate "multipath dm" "multipath luns-dmfailed" "DM State: failed," "DM State: active,"
mutate "multipath dm" "multipath prometheus-dmfailed" '^iscsi_lun_path_dm_active[{].*[}] 0$' '&1'
mutate san "san peers" " 0$" " 1"
mutate san "san peers" "^check [0-9]+ [0-2]$" "check 5 3"
if [ "$failures" != 0 ]; then
    echo "mutate: $failures changes went unnoticed"
    exit 1
fi
echo "mutate: vm-check caught each of $changes changes to the results"

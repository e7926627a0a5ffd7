# SPDX-License-Identifier: MIT
# Sourced by the test VM's init (tests/vm/init.sh), which provides section,
# run, waitfor, fatal, send, say, centiseconds and $C (LIO's configfs).
# One target's portal group disabled: its session goes FAILED and its
# connection's files fail to read; the session logs in again afterwards.
say "failing one session"
failed_session=$(grep -l "target1" /sys/class/iscsi_session/*/targetname | head -n 1)
failed_session=${failed_session%/targetname}
echo 0 > "$C/iscsi/iqn.2003-01.org.example.vm:target1/tpgt_1/enable"
failed() { [ "$(cat "$failed_session/state")" = FAILED ]; }
waitfor 60 failed || fatal "session ${failed_session##*/} did not fail"
send "==== FAILED ${failed_session##*/}"
say "phase failed"
run failed

say "restoring the failed session"
echo 1 > "$C/iscsi/iqn.2003-01.org.example.vm:target1/tpgt_1/enable"
recovered() { [ "$(cat "$failed_session/state" 2>/dev/null)" = LOGGED_IN ]; }
waitfor 90 recovered || fatal "session ${failed_session##*/} did not log in again"

# SPDX-License-Identifier: MIT
# Sourced by the test VM's init (tests/vm/init.sh), which provides section,
# run, waitfor, fatal, send, say, centiseconds and $C (LIO's configfs).
# The chap phase.  A third target admits this initiator only through its own
# ACL (no generated ACLs) and only after CHAP both ways: the initiator proves
# CHAP_SECRET to the target, the target proves CHAP_SECRET_IN back.  Two
# logins with one wrong secret each must be refused (so the target does ask,
# and the initiator does check the answer) before the right one logs in; the
# kernel then shows both secrets in the session's password and password_in,
# in clear text to root.  The dump reads them; iscsi-inventory (text, --json,
# --sessions, --prometheus, the facts script), the probe's query through the
# library and their trace logs must not show them, and --show-secrets must.  The secrets are spelled
# so that they appear nowhere else.  The session logs out again afterwards,
# and its target is disabled: the later phases do not see it.
say "phase chap"
chap_started=$(centiseconds)
INITIATOR=$(sed -n 's/^InitiatorName=//p' /etc/iscsi/initiatorname.iscsi)
CHAP_IQN=iqn.2003-01.org.example.vm:chap
CHAP_USER=vm-chap-initiator
CHAP_SECRET=Outbound-Chap-Secret-7Qx2
CHAP_USER_IN=vm-chap-target
CHAP_SECRET_IN=Inbound-Chap-Secret-9Kw5
chap_tpg=$C/iscsi/$CHAP_IQN/tpgt_1
chap_rd=$C/core/rd_mcp_3/chap
chap_acl=$chap_tpg/acls/$INITIATOR
mkdir -p "$chap_rd" || fatal "cannot create the chap backstore"
echo rd_pages=256 > "$chap_rd/control"
echo 1 > "$chap_rd/enable"
mkdir -p "$chap_tpg/np/127.0.0.1:3260" "$chap_tpg/lun/lun_0" || fatal "cannot create the chap target"
ln -s "$chap_rd" "$chap_tpg/lun/lun_0/chap"
mkdir -p "$chap_acl/lun_0" || fatal "cannot create the chap ACL"
ln -s "$chap_tpg/lun/lun_0" "$chap_acl/lun_0/lun_0"
# What the initiator must prove, and (the "mutual" pair) what the target
# proves back.  Without a newline: the target keeps every byte written.
for auth in "userid $CHAP_USER" "password $CHAP_SECRET" \
            "userid_mutual $CHAP_USER_IN" "password_mutual $CHAP_SECRET_IN"; do
    printf %s "${auth#* }" > "$chap_acl/auth/${auth%% *}" ||
        fatal "cannot set the ACL's ${auth%% *} ($(ls "$chap_acl/auth" | tr '\n' ' '))"
done
echo 0 > "$chap_tpg/attrib/generate_node_acls"
echo 0 > "$chap_tpg/attrib/demo_mode_write_protect"
echo 1 > "$chap_tpg/attrib/authentication"
echo 1 > "$chap_tpg/enable" || fatal "cannot enable the chap target"
chap_node() { iscsiadm -m node -T "$CHAP_IQN" -p 127.0.0.1:3260,1 "$@"; }
chap_set() { chap_node -o update -n "$1" -v "$2" > /tmp/chap.set 2>&1 || fatal "cannot set $1: $(cat /tmp/chap.set)"; }
chap_node -o new > /tmp/chap.set 2>&1 || fatal "cannot create the chap node record: $(cat /tmp/chap.set)"
chap_set node.session.auth.authmethod CHAP
chap_set node.session.auth.username "$CHAP_USER"
chap_set node.session.auth.username_in "$CHAP_USER_IN"
chap_sessions() { grep -lx "$CHAP_IQN" /sys/class/iscsi_session/*/targetname 2>/dev/null; }
no_chap_session() { [ -z "$(chap_sessions)" ]; }
chap_set node.session.auth.password wrong-outbound
chap_set node.session.auth.password_in "$CHAP_SECRET_IN"
section chap login-wrong-password timeout 60 iscsiadm -m node -T "$CHAP_IQN" -p 127.0.0.1:3260,1 --login
waitfor 30 no_chap_session || fatal "the refused chap session stays"
chap_set node.session.auth.password "$CHAP_SECRET"
chap_set node.session.auth.password_in wrong-inbound
section chap login-wrong-password-in timeout 60 iscsiadm -m node -T "$CHAP_IQN" -p 127.0.0.1:3260,1 --login
waitfor 30 no_chap_session || fatal "the refused chap session stays"
chap_set node.session.auth.password_in "$CHAP_SECRET_IN"
section chap login timeout 60 iscsiadm -m node -T "$CHAP_IQN" -p 127.0.0.1:3260,1 --login
chap_logged_in() {
    chap_session=$(chap_sessions | head -n 1)
    chap_session=${chap_session%/targetname}
    [ -n "$chap_session" ] && [ "$(cat "$chap_session/state")" = LOGGED_IN ]
}
waitfor 30 chap_logged_in || fatal "the chap session did not log in"
chap_session=${chap_session##*/}
send "==== CHAPSESSION $chap_session"
mkdir -p /tmp/chap/text /tmp/chap/json /tmp/chap/sessions /tmp/chap/prometheus /tmp/chap/fact \
         /tmp/chap/probe /tmp/chap/shown
section chap dump-before /bin/dump-sysfs
cd /tmp/chap/text
section chap inventory iscsi-inventory
section chap log cat SysReader.log
cd /tmp/chap/json
section chap json iscsi-inventory --json
section chap json-log cat SysReader.log
cd /tmp/chap/sessions
section chap sessions iscsi-inventory --sessions
section chap sessions-log cat SysReader.log
cd /tmp/chap/prometheus
section chap prometheus iscsi-inventory --prometheus
section chap prometheus-log cat SysReader.log
cd /tmp/chap/fact
section chap fact /usr/share/iscsi-inventory/iscsi_inventory.fact
section chap fact-files ls -A
cd /tmp/chap/probe
section chap probe vm-chap-probe iscsi_session "$chap_session" probe.log
section chap probe-log cat probe.log
cd /tmp/chap/shown
section chap show-secrets iscsi-inventory --show-secrets
section chap show-secrets-log cat SysReader.log
cd /tmp/chap
section chap modes stat -c '%a %n' text/SysReader.log json/SysReader.log sessions/SysReader.log \
    prometheus/SysReader.log shown/SysReader.log
section chap dump-after /bin/dump-sysfs
section chap buses sysfs-buses
section chap iscsiadm iscsiadm -m session -P 3
cd /
chap_node --logout > /tmp/chap.logout 2>&1 || fatal "the chap session did not log out: $(cat /tmp/chap.logout)"
chap_node -o delete > /tmp/chap.logout 2>&1
echo 0 > "$chap_tpg/enable"
waitfor 30 no_chap_session || fatal "the chap session stays after its logout"
chap_took=$(($(centiseconds) - chap_started))
send "==== CHAPPED in $((chap_took / 100)).$((chap_took / 10 % 10))$((chap_took % 10)) s"

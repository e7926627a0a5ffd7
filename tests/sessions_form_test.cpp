// SPDX-License-Identifier: MIT
// --sessions end to end: one block per session as the rules lay it out, the
// bytes of a hostile target made visible, and the transport named after the
// host's driver in every form that names it (the sample tree's whole output
// is in expected_output_test.cpp).
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdlib>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <utility>

#include "tool_fixture.h"

namespace {

using nlohmann::json;

class SessionsForm : public ToolTest {};

// Nothing a terminal obeys: no C0 control but tab and newline, no DEL, no C1
// control, and valid UTF-8 throughout.
bool InertOnATerminal(const std::string& text)
{
    for (std::size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if ((c < 0x20 && c != '\t' && c != '\n') || c == 0x7F)
            return false;
        if (c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) <= 0x9F)
            return false;
    }
    try {
        (void)json(text).dump();  // throws on invalid UTF-8
    } catch (const json::exception&) {
        return false;
    }
    return true;
}

// --sessions: one block per session, built from the joined records, with the
// kernel's 0/1 digests and switches in words, CHAP masked, and each disk
// with its size and by-path name; without a session, one line says so.
TEST_F(SessionsForm, ShowsEachSessionWithItsDisks)
{
    tree.Dir("class/net");
    ToolRun empty = RunTool(tree, cwd, {"--sessions", "--no-log"});
    EXPECT_EQ(0, empty.status);
    EXPECT_EQ("No iSCSI session (is iscsi_tcp, or the HBA's driver, loaded?)\n", empty.out);

    SessionSpec session;
    session.sid = 9;
    session.host = 4;
    session.hostAddress = "10.1.1.1";
    session.address = "10.1.1.2";
    session.target = "iqn.2003-01.org.example:t9";
    session.iface.reset();
    session.recoveryTimeout = "off";
    session.password = "View-Secret";
    session.sessionFiles = {{"username", "(null)"}, {"immediate_data", "1"}, {"initial_r2t", "0"}};
    session.connectionFiles = {{"header_digest", "1"}, {"data_digest", "0"}};
    LunSpec lun;
    lun.lun = 3;
    lun.wwid = "naa.60014051";
    lun.disk = "sdq";
    lun.sectors = "4194304";
    iscsi.Session(session).Lun(9, lun);
    ToolRun run = RunTool(tree, cwd, {"-s", "--no-log"});
    EXPECT_EQ(0, run.status);
    EXPECT_EQ("Target: iqn.2003-01.org.example:t9 (session9)\n"
              "\tCurrent Portal: 10.1.1.2:3260,1\n"
              "\tPersistent Portal: 10.1.1.2:3260,1\n"
              "\t\t**********\n\t\tInterface:\n\t\t**********\n"
              "\t\tIface Name: <unknown>\n"
              "\t\tIface Transport: tcp\n"
              "\t\tIface Initiatorname: <unknown>\n"
              "\t\tIface IPaddress: 10.1.1.1\n"
              "\t\tIface HWaddress: <unknown>\n"
              "\t\tIface Netdev: <unknown>\n"
              "\t\tSID: 9\n"
              "\t\tiSCSI Connection State: up\n"
              "\t\tiSCSI Session State: LOGGED_IN\n"
              "\t\t*********\n\t\tTimeouts:\n\t\t*********\n"
              "\t\tRecovery Timeout: off\n"
              "\t\tTarget Reset Timeout: <unknown>\n"
              "\t\tLUN Reset Timeout: <unknown>\n"
              "\t\tAbort Timeout: <unknown>\n"
              "\t\t*****\n\t\tCHAP:\n\t\t*****\n"
              "\t\tusername: <empty>\n"
              "\t\tpassword: ********\n"
              "\t\tusername_in: <unknown>\n"
              "\t\tpassword_in: <unknown>\n"
              "\t\t************************\n\t\tNegotiated iSCSI params:\n"
              "\t\t************************\n"
              "\t\tHeaderDigest: CRC32C\n"
              "\t\tDataDigest: None\n"
              "\t\tMaxRecvDataSegmentLength: <unknown>\n"
              "\t\tMaxXmitDataSegmentLength: <unknown>\n"
              "\t\tFirstBurstLength: <unknown>\n"
              "\t\tMaxBurstLength: <unknown>\n"
              "\t\tImmediateData: Yes\n"
              "\t\tInitialR2T: No\n"
              "\t\tMaxOutstandingR2T: <unknown>\n"
              "\t\t**********************\n\t\tAttached SCSI devices:\n"
              "\t\t**********************\n"
              "\t\tHost Number: 4\n"
              "\t\tscsi4 Channel 0 Id 0 Lun: 3\tState: running\n"
              "\t\t\tAttached scsi disk sdq\tSize: 2.00 GiB\n"
              "\t\t\tWWID: naa.60014051\n"
              "\t\t\tBy-path: ip-10.1.1.2:3260-iscsi-iqn.2003-01.org.example:t9-lun-3\n",
              run.out);
}

// A target names itself in discovery.  Its name and every other byte from
// sysfs reach --sessions visibly escaped, whatever standard output is: a
// FAILED session cannot show as LOGGED_IN, neither by a forged line nor by
// terminal controls that rewrite one.
TEST_F(SessionsForm, ShowsSysfsBytesVisibly)
{
    SessionSpec session;
    session.sid = 7;
    session.host = 4;
    session.target = "iqn.x:t\x1b[2K\r\n\t\tiSCSI Session State: LOGGED_IN\n\xc2\x9b" "1A\\x41\xff";
    session.state = "FAILED";
    session.iface = "default\x7f\x9b";
    // Neither connection nor portal group: the portal is unknown.
    session.connection = false;
    session.tpgt.reset();
    iscsi.Session(session);
    ToolRun run = RunTool(tree, cwd, {"--sessions", "--no-log"});
    EXPECT_EQ(0, run.status);
    EXPECT_EQ("", run.err);
    EXPECT_EQ(0u, run.out.find(
        R"(Target: iqn.x:t\x1b[2K\r\n\t\tiSCSI Session State: LOGGED_IN\n\xc2\x9b1A\\x41\xff (session7))"
        "\n\tCurrent Portal: <unknown>:<unknown>,<unknown>\n")) << run.out;
    EXPECT_NE(std::string::npos, run.out.find("\n\t\tIface Name: default\\x7f\\x9b\n")) << run.out;
    std::size_t states = 0;
    for (std::size_t at = 0; (at = run.out.find("iSCSI Session State: ", at)) != std::string::npos; ++at)
        ++states;
    EXPECT_EQ(2u, states);  // the escaped one in the name, and the session's own
    EXPECT_NE(std::string::npos, run.out.find("\n\t\tiSCSI Session State: FAILED\n"));
    EXPECT_EQ(std::string::npos, run.out.find("\n\t\tiSCSI Session State: LOGGED_IN"));
    EXPECT_TRUE(InertOnATerminal(run.out)) << run.out;

    // The hostile tree's session: quotes stay, backslashes are doubled, and
    // its newlines and stray bytes are escapes in every line of its block.
    SysTree hostile;
    ASSERT_TRUE(MakeDataTree(hostile, "make-hostile-tree.sh"));
    mkdir((hostile.Root() + "/cwd").c_str(), 0755);
    ToolRun all = RunTool(hostile, hostile.Root() + "/cwd", {"--sessions", "--no-log"});
    EXPECT_EQ(0, all.status);
    EXPECT_NE(std::string::npos,
              all.out.find(R"(Target: iqn.2003-01.org.example:"q"\\\nx\xff (session9"\\\n\xfe))"
                           "\n"))
        << all.out;
    for (const char* line : {"\t\tIface Name: if\\xc3(\n",
                             "\t\tIface Initiatorname: iqn.1993-08.org.debian:\\\\x41\n",
                             "\t\tiSCSI Connection State: up\\n\"down\"\n",
                             "\t\tiSCSI Session State: LOGGED\"\\\\IN\n",
                             "\t\t\tWWID: naa.\"\\\\\\n\\xfe\n"})
        EXPECT_NE(std::string::npos, all.out.find(line)) << line;
    EXPECT_TRUE(InertOnATerminal(all.out)) << all.out;
}

// The transport of a session, as iscsiadm names it, comes from its host's
// driver: the software transports' hosts are "iscsi_tcp" and "iscsi_iser"
// (ib_iser's, as a real kernel shows them), an offload HBA's driver keeps its
// own name; the same in --json, --sessions and --prometheus.
TEST_F(SessionsForm, TransportIsNamedAfterTheHostsDriver)
{
    const std::pair<int, const char*> hosts[] = {
        {1, "iscsi_tcp"}, {2, "iscsi_iser"}, {3, "be2iscsi"}, {4, "iscsi_"}};
    for (const auto& [n, procName] : hosts) {
        SessionSpec session;
        session.sid = n;
        session.procName = procName;
        iscsi.Session(session);
    }
    const std::map<std::string, std::string> want{
        {"session1", "tcp"}, {"session2", "iser"}, {"session3", "be2iscsi"}, {"session4", "iscsi_"}};

    ToolRun jsonRun = RunTool(tree, cwd, {"--json", "--no-log"});
    EXPECT_EQ(0, jsonRun.status);
    std::map<std::string, std::string> got;
    const json document = json::parse(jsonRun.out);
    for (const auto& session : document["sessions"])
        got[session["name"]] = session["transport"];
    EXPECT_EQ(want, got);

    ToolRun sessions = RunTool(tree, cwd, {"--sessions", "--no-log"});
    EXPECT_EQ(0, sessions.status);
    got.clear();
    std::smatch m;
    std::string current;
    std::istringstream blocks(sessions.out);
    for (std::string line; std::getline(blocks, line);) {
        if (std::regex_match(line, m, std::regex("Target: .* \\((session[0-9])\\)")))
            current = m[1];
        else if (std::regex_match(line, m, std::regex("\t\tIface Transport: (.*)")))
            got[current] = m[1];
    }
    EXPECT_EQ(want, got);

    ToolRun metrics = RunTool(tree, cwd, {"--prometheus", "--no-log"});
    EXPECT_EQ(0, metrics.status);
    got.clear();
    std::istringstream samples(metrics.out);
    for (std::string line; std::getline(samples, line);)
        if (std::regex_search(line, m, std::regex("^iscsi_session_info\\{session=\"(session[0-9])\".*transport=\"([^\"]*)\"")))
            got[m[1]] = m[2];
    EXPECT_EQ(want, got);
}


}  // namespace

// SPDX-License-Identifier: MIT
// --check, the monitoring plugin, and its baseline, on topologies built by
// hand; and the strict JSON reader the baseline is read with.  What the
// plugin must print is written here from its rules, not taken from the
// program.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <regex>
#include <string>
#include <vector>

#include "iscsi_tree.h"
#include "json/json_read.h"
#include "sys_tree.h"
#include "tool_run.h"

namespace {

const std::string kTarget = "iqn.2003-01.org.example:storage";

SessionSpec Portal(int sid, const std::string& address)
{
    SessionSpec session;
    session.sid = sid;
    session.address = address;
    session.recoveryTimeout = "5";  // what multipath setups use: no recovery-timeout finding
    return session;
}

LunSpec Disk(int lun, const std::string& wwid, const std::string& disk)
{
    LunSpec unit;
    unit.lun = lun;
    unit.wwid = wwid;
    unit.disk = disk;
    return unit;
}

// Two sessions to one target through two portals: LUN naa.6001405aa on both
// (sda 1:0:0:0, sdb 2:0:0:0) under multipath map mpatha, and LUN
// naa.6001405bb on the first alone (sdc 1:0:0:1).
struct Host {
    SessionSpec a = Portal(1, "192.0.2.1");
    SessionSpec b = Portal(2, "192.0.2.2");
    LunSpec aPath = Disk(0, "naa.6001405aa", "sda");
    LunSpec bPath = Disk(0, "naa.6001405aa", "sdb");
    LunSpec single = Disk(1, "naa.6001405bb", "sdc");
    bool withB = true;      // false: the second session logged out
    bool withBPath = true;  // false: the second session shows no unit

    void Build(SysTree& tree) const
    {
        IscsiTree iscsi(tree);
        iscsi.Session(a).Lun(a.sid, aPath).Lun(a.sid, single);
        if (withB)
            iscsi.Session(b);
        if (withB && withBPath)
            iscsi.Lun(b.sid, bPath);
        iscsi.Map("dm-0", "mpatha", withB && withBPath ? std::vector<std::string>{"sda", "sdb"}
                                                       : std::vector<std::string>{"sda"});
    }
};

std::string Perfdata(int sessions, int loggedIn, int luns, int paths, int running)
{
    return "'sessions'=" + std::to_string(sessions) + ";;;0 'sessions_logged_in'=" +
           std::to_string(loggedIn) + ";;;0 'luns'=" + std::to_string(luns) + ";;;0 'paths'=" +
           std::to_string(paths) + ";;;0 'paths_running'=" + std::to_string(running) + ";;;0";
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    for (std::size_t start = 0; start < text.size();) {
        std::size_t end = text.find('\n', start);
        lines.push_back(text.substr(start, end - start));
        start = end == std::string::npos ? text.size() : end + 1;
    }
    return lines;
}

class Check : public ::testing::Test {
protected:
    void SetUp() override
    {
        // Every check without --baseline reads the host's own baseline.
        if (access(DEFAULT_BASELINE, F_OK) == 0)
            GTEST_SKIP() << "a baseline at " DEFAULT_BASELINE " would be read by every check here";
        cwd = tree.Root() + "/cwd";
        mkdir(cwd.c_str(), 0755);
    }
    ToolRun Run(const Host& host, std::vector<std::string> args)
    {
        SysTree own;
        host.Build(own);
        args.insert(args.begin(), "--no-log");
        return RunTool(own, cwd, args);
    }
    std::string Write(const std::string& name, const std::string& content)
    {
        std::ofstream(cwd + "/" + name) << content;
        return cwd + "/" + name;
    }
    SysTree tree;
    std::string cwd;
};

// ---- Verdicts on one host ---------------------------------------------------

TEST_F(Check, HealthyHostIsOkWithItsCounts)
{
    ToolRun run = Run(Host(), {"--check"});
    EXPECT_EQ(0, run.status) << run.err;
    EXPECT_EQ("ISCSI OK - 2 sessions logged in, 2 LUNs, 3 of 3 paths running; no baseline | " +
                  Perfdata(2, 2, 2, 3, 3) + "\n",
              run.out);
    EXPECT_EQ("", run.err);

    // No session and no baseline to say any is missing: said so.
    ToolRun empty = RunTool(tree, cwd, {"--no-log", "--check"});
    EXPECT_EQ(0, empty.status);
    EXPECT_EQ("ISCSI OK - no iSCSI session; no baseline | " + Perfdata(0, 0, 0, 0, 0) + "\n", empty.out);
}

TEST_F(Check, PathLostUnderMultipathWarns)
{
    Host host;
    host.bPath.state = "offline";
    ToolRun run = Run(host, {"--check"});
    EXPECT_EQ(1, run.status);
    EXPECT_EQ("ISCSI WARNING - 1 warning; 2 sessions logged in, 2 LUNs, 2 of 3 paths running; no baseline | " +
                  Perfdata(2, 2, 2, 3, 2) + "\n" +
                  "WARNING [path-lost] LUN naa.6001405aa (sda 1:0:0:0, sdb 2:0:0:0): 1 of 2 paths "
                  "running under multipath mpatha; not running: sdb 2:0:0:0 (device offline)\n",
              run.out);
}

// A LUN with one path whose device does not take commands has none left,
// whatever word the kernel uses for it.
TEST_F(Check, SinglePathLunNotRunningIsCriticalWithItsDeviceState)
{
    for (const char* state : {"offline", "blocked", "transport-offline"}) {
        Host host;
        host.single.state = state;
        ToolRun run = Run(host, {"--check"});
        EXPECT_EQ(2, run.status) << state;
        EXPECT_EQ("ISCSI CRITICAL - 1 critical; 2 sessions logged in, 2 LUNs, 2 of 3 paths running; no baseline | " +
                      Perfdata(2, 2, 2, 3, 2) + "\n" +
                      "CRITICAL [no-path] LUN naa.6001405bb (sdc 1:0:0:1): no running path: sdc 1:0:0:1 "
                      "(device " + state + ")\n",
                  run.out);
    }
}

// A finding is as bad as what it does to I/O: a unit that cannot be reached
// is CRITICAL, one still reached through another path has lost redundancy
// (WARNING, or CRITICAL for sites that page on it), and a session that is
// gone is as bad as the worst it did to the units it carried.  The metrics'
// findings, which the alerts fire from, are the check's.
TEST_F(Check, SeverityFollowsImpact)
{
    struct Scenario {
        const char* what;
        std::function<void(Host&)> fault;
        std::vector<std::string> args;
        int status;
        std::vector<std::string> findings;  // "SEVERITY [rule]", in the order printed
    };
    const std::vector<Scenario> scenarios = {
        {"the session of a single-path unit down", [](Host& h) { h.a.state = "FAILED"; }, {}, 2,
         {"CRITICAL [session-state]", "CRITICAL [no-path]", "WARNING [path-lost]"}},
        {"one of two paths lost with its portal", [](Host& h) { h.b.state = "FAILED"; }, {}, 1,
         {"WARNING [session-state]", "WARNING [path-lost]"}},
        {"one of two paths lost, paging on redundancy", [](Host& h) { h.b.state = "FAILED"; },
         {"--redundancy-lost=critical"}, 2, {"CRITICAL [session-state]", "CRITICAL [path-lost]"}},
        {"every path lost", [](Host& h) { h.a.state = h.b.state = "FAILED"; }, {}, 2,
         {"CRITICAL [session-state]", "CRITICAL [session-state]", "CRITICAL [no-path]", "CRITICAL [no-path]"}},
        {"a session that carried no unit the tool can see",
         [](Host& h) {
             h.b.state = "FAILED";
             h.withBPath = false;
         },
         {}, 2, {"CRITICAL [session-state]"}},
        {"an offline unit without a WWID", [](Host& h) { h.single.wwid.reset(), h.single.state = "offline"; }, {},
         2, {"CRITICAL [no-path]"}},
    };
    for (const Scenario& scenario : scenarios) {
        Host host;
        scenario.fault(host);
        std::vector<std::string> args = {"--check", "--ignore=recovery-timeout"};
        args.insert(args.end(), scenario.args.begin(), scenario.args.end());
        ToolRun run = Run(host, args);
        EXPECT_EQ(scenario.status, run.status) << scenario.what << "\n" << run.out;
        std::vector<std::string> findings;
        for (const std::string& line : Lines(run.out))
            if (line.compare(0, 5, "ISCSI") != 0)
                findings.push_back(line.substr(0, line.find(']') + 1));
        EXPECT_EQ(scenario.findings, findings) << scenario.what << "\n" << run.out;
        if (!scenario.args.empty())
            continue;
        // The metrics, which the alerts fire from, carry the same verdict.
        static const std::regex series(R"re(^iscsi_check_finding\{rule="([^"]*)",severity="([^"]*)".*)re");
        std::vector<std::string> carried;
        std::smatch m;
        for (const std::string& line : Lines(Run(host, {"--prometheus"}).out))
            if (std::regex_match(line, m, series))
                carried.push_back((m[2] == "critical" ? "CRITICAL [" : "WARNING [") + m[1].str() + "]");
        EXPECT_EQ(scenario.findings, carried) << scenario.what;
    }
}

TEST_F(Check, ReadOnlyDiskWarnsUnlessIgnored)
{
    Host host;
    host.single.readOnly = "1";
    ToolRun run = Run(host, {"--check"});
    EXPECT_EQ(1, run.status);
    EXPECT_EQ("WARNING [read-only] LUN naa.6001405bb (sdc 1:0:0:1): read-only: sdc 1:0:0:1",
              Lines(run.out).at(1));

    ToolRun ignored = Run(host, {"--check", "--ignore=connection-state,read-only"});
    EXPECT_EQ(0, ignored.status);
    EXPECT_EQ(1u, Lines(ignored.out).size());
    EXPECT_EQ(0u, ignored.out.find("ISCSI OK - "));
}

// The recovery timeout is how long multipath waits for a path to fail: judged
// for sessions with paths under a map, against the threshold; "off" never
// fails and is longer than any.
TEST_F(Check, SlowFailoverUnderMultipath)
{
    const std::string session1 =
        "session1 (target " + kTarget + ", portal 192.0.2.1:3260, iface default)";
    Host host;
    host.a.recoveryTimeout = "120";
    ToolRun slow = Run(host, {"--check"});
    EXPECT_EQ(1, slow.status);
    EXPECT_EQ("WARNING [recovery-timeout] " + session1 + ": recovery timeout 120 s, longer than 30 s: "
              "multipath mpatha waits that long before it fails over",
              Lines(slow.out).at(1));
    EXPECT_EQ(0, Run(host, {"--check", "--max-recovery-timeout=180"}).status);
    EXPECT_EQ(0, Run(host, {"--check", "--max-recovery-timeout=120"}).status);

    host.a.recoveryTimeout = "off";
    ToolRun never = Run(host, {"--check", "--max-recovery-timeout=180"});
    EXPECT_EQ(1, never.status);
    EXPECT_EQ("WARNING [recovery-timeout] " + session1 + ": recovery timeout off: its I/O never fails, "
              "and multipath mpatha never fails over from it (longer than 180 s)",
              Lines(never.out).at(1));

    // Without multipath a long wait is the point: the session rides out an
    // outage rather than fail the I/O.
    SysTree alone;
    IscsiTree(alone).Session(SessionSpec()).Lun(1, Disk(0, "naa.6001405cc", "sda"));
    EXPECT_EQ(0, RunTool(alone, cwd, {"--no-log", "--check"}).status);
}

// A failed session whose unit still runs through the other portal has cost
// redundancy alone; its connection being down is part of that, not a finding
// of its own.  A logged-in session's connection that is not up is.  --json
// carries the same verdict for scripts.
TEST_F(Check, SessionAndConnectionStatesAndTheJsonForm)
{
    Host host;
    host.b.state = "FAILED";
    host.b.connectionState = "failed";
    host.bPath.state = "transport-offline";
    ToolRun run = Run(host, {"--check", "--json"});
    EXPECT_EQ(1, run.status) << run.err;
    EXPECT_EQ(nlohmann::json::parse(R"json({
      "format_version": "1.1", "status": "WARNING", "exit_code": 1,
      "summary": "2 warnings; 2 sessions, 1 logged in, 2 LUNs, 2 of 3 paths running; no baseline",
      "baseline": null,
      "findings": [
        {"severity": "WARNING", "rule": "session-state",
         "object": "session2 (target iqn.2003-01.org.example:storage, portal 192.0.2.2:3260, iface default)",
         "message": "not logged in (state FAILED); its logical units still run through other paths"},
        {"severity": "WARNING", "rule": "path-lost",
         "object": "LUN naa.6001405aa (sda 1:0:0:0, sdb 2:0:0:0)",
         "message": "1 of 2 paths running under multipath mpatha; not running: sdb 2:0:0:0 (device transport-offline, session2 FAILED)"}
      ],
      "perfdata": {"sessions": 2, "sessions_logged_in": 1, "luns": 2, "paths": 3, "paths_running": 2},
      "errors": []
    })json"),
              nlohmann::json::parse(run.out));

    Host down;
    down.a.connectionState = "down";
    ToolRun text = Run(down, {"--check"});
    EXPECT_EQ(1, text.status);
    EXPECT_EQ("WARNING [connection-state] session1 (target " + kTarget +
                  ", portal 192.0.2.1:3260, iface default): connection connection1:0 is down, not up",
              Lines(text.out).at(1));
}

// A target names itself: no byte of its name may forge a line or, through a
// vertical bar, performance data under labels that are not ours.
// A right-to-left override (U+202E) would show what follows it backwards.
TEST_F(Check, BytesFromSysfsForgeNeitherLinesNorPerfdata)
{
    Host host;
    host.a.target = "iqn.x|'sessions'=99\n\x1b[2J\xe2\x80\xae" "3260";
    host.a.state = "FREE";
    ToolRun run = Run(host, {"--check"});
    EXPECT_EQ(2, run.status);
    EXPECT_EQ(1, std::count(run.out.begin(), run.out.end(), '|'));
    EXPECT_EQ("CRITICAL [session-state] session1 (target iqn.x\\x7c'sessions'=99\\n\\x1b[2J\\xe2\\x80\\xae3260, "
              "portal 192.0.2.1:3260, iface default): not logged in (state FREE); no running path left "
              "to LUN naa.6001405bb",
              Lines(run.out).at(1));
    ToolRun json = Run(host, {"--check", "--json"});
    EXPECT_EQ("session1 (target iqn.x|'sessions'=99\n\x1b[2J\xe2\x80\xae" "3260, portal 192.0.2.1:3260, iface default)",
              nlohmann::json::parse(json.out)["findings"][0]["object"]);
    // The views for people show the same target the same way.
    for (const char* form : {"--summary", "--sessions", "--luns"}) {
        ToolRun view = Run(host, {form});
        EXPECT_NE(std::string::npos, view.out.find("iqn.x|'sessions'=99\\n\\x1b[2J\\xe2\\x80\\xae3260")) << form;
        EXPECT_EQ(std::string::npos, view.out.find("\xe2\x80\xae")) << form;
    }
}

// -T and -r select what is judged; a session they name that is not there is
// not logged in.
TEST_F(Check, SelectedSessionsThatAreNotThere)
{
    ToolRun run = Run(Host(), {"--check", "-r", "7", "-T", "iqn.2003-01.org.example:gone"});
    EXPECT_EQ(2, run.status);
    EXPECT_EQ("ISCSI CRITICAL - 2 critical; no iSCSI session selected; no baseline | " + Perfdata(0, 0, 0, 0, 0) + "\n"
              "CRITICAL [session-state] target iqn.2003-01.org.example:gone: no session to it (not logged in)\n"
              "CRITICAL [session-state] session7: no such session to the targets selected\n",
              run.out);
    EXPECT_EQ(0, Run(Host(), {"--check", "-r", "session2"}).status);
}

// ---- The baseline ---------------------------------------------------------

TEST_F(Check, SavedBaselineHoldsSessionsAndLunsByWwid)
{
    Host host;
    host.single.wwid.reset();  // no WWID: not in a baseline
    const std::string path = cwd + "/baseline.json";
    ToolRun run = Run(host, {"--save-baseline=" + path});
    EXPECT_EQ(0, run.status) << run.err;
    EXPECT_EQ("Saved the baseline '" + path + "': 2 sessions, 1 LUN (1 LUN without a WWID left out)\n",
              run.out);
    struct stat status;
    ASSERT_EQ(0, stat(path.c_str(), &status));
    EXPECT_EQ(0644u, status.st_mode & 07777);
    const std::string one = R"({"target": "iqn.2003-01.org.example:storage", "portal": "192.0.2.1:3260", "iface": "default"})";
    const std::string two = R"({"target": "iqn.2003-01.org.example:storage", "portal": "192.0.2.2:3260", "iface": "default"})";
    EXPECT_EQ(nlohmann::json::parse(R"({"format_version": "1.0", "sessions": [)" + one + ", " + two +
                                    R"(], "luns": [{"wwid": "naa.6001405aa", "paths": 2, "via": [)" + one +
                                    ", " + two + "]}]}"),
              nlohmann::json::parse(ReadFile(path)));
}

TEST_F(Check, BaselineFindsWhatIsMissingAndWhatIsExtra)
{
    const std::string before = cwd + "/before.json", without = cwd + "/without.json";
    Host host;
    ASSERT_EQ(0, Run(host, {"--save-baseline=" + before}).status);
    Host loggedOut = host;
    loggedOut.withB = false;
    // Saved while checking: the check is judged as well.
    ToolRun saved = Run(loggedOut, {"--check", "--save-baseline=" + without});
    EXPECT_EQ(0, saved.status);
    EXPECT_EQ("Saved the baseline '" + without + "': 1 session, 2 LUNs", Lines(saved.out).at(1));

    // The second session logged out: gone from sysfs, and its path with it;
    // what it carried still runs through the first.
    ToolRun missing = Run(loggedOut, {"--check", "--baseline=" + before});
    EXPECT_EQ(1, missing.status);
    EXPECT_EQ("ISCSI WARNING - 2 warnings; 1 session logged in, 2 LUNs, 2 of 2 paths running | " +
                  Perfdata(1, 1, 2, 2, 2) + "\n"
                  "WARNING [baseline-missing] session (target " + kTarget +
                  ", portal 192.0.2.2:3260, iface default): not there (not logged in); the baseline "
                  "expects 1 such session; its logical units still run through other paths\n"
                  "WARNING [baseline-missing] LUN naa.6001405aa (sda 1:0:0:0): 1 path where the "
                  "baseline expects 2\n",
              missing.out);

    ToolRun extra = Run(host, {"--check", "--baseline=" + without});
    EXPECT_EQ(1, extra.status);
    EXPECT_EQ("ISCSI WARNING - 2 warnings; 2 sessions logged in, 2 LUNs, 3 of 3 paths running | " +
                  Perfdata(2, 2, 2, 3, 3) + "\n"
                  "WARNING [baseline-extra] session (target " + kTarget +
                  ", portal 192.0.2.2:3260, iface default): not in the baseline (session2)\n"
                  "WARNING [baseline-extra] LUN naa.6001405aa (sda 1:0:0:0, sdb 2:0:0:0): 2 paths "
                  "where the baseline expects 1\n",
              extra.out);
    EXPECT_EQ(0, Run(host, {"--check", "--baseline=" + without, "--ignore=baseline-extra"}).status);

    // A LUN gone whole.
    Host lunGone = host;
    lunGone.single.wwid = "naa.6001405dd";
    ToolRun gone = Run(lunGone, {"--check", "--baseline=" + before});
    EXPECT_EQ(2, gone.status);
    EXPECT_NE(std::string::npos, gone.out.find("\nCRITICAL [baseline-missing] LUN naa.6001405bb: not "
                                               "there; the baseline expects it with 1 path\n"));
    EXPECT_NE(std::string::npos, gone.out.find("\nWARNING [baseline-extra] LUN naa.6001405dd (sdc "
                                               "1:0:0:1): not in the baseline (1 path)\n"));
}

// With a selection only the baseline's entries it would take are compared:
// by target for -T, by the selected sessions' target, portal and iface for -r.
TEST_F(Check, BaselineUnderASelection)
{
    const std::string other = "iqn.2003-01.org.example:other";
    Host host;
    host.b.target = other;
    const std::string path = cwd + "/baseline.json";
    ASSERT_EQ(0, Run(host, {"--save-baseline=" + path}).status);
    Host loggedOut = host;
    loggedOut.withB = false;

    EXPECT_EQ(0, Run(loggedOut, {"--check", "--baseline=" + path, "-T", kTarget}).status);
    EXPECT_EQ(0, Run(loggedOut, {"--check", "--baseline=" + path, "-r", "1"}).status);
    ToolRun run = Run(loggedOut, {"--check", "--baseline=" + path, "-T", other});
    EXPECT_EQ(2, run.status);
    EXPECT_EQ("ISCSI CRITICAL - 3 critical; no iSCSI session selected | " + Perfdata(0, 0, 0, 0, 0) + "\n"
              "CRITICAL [baseline-missing] session (target " + other +
                  ", portal 192.0.2.2:3260, iface default): not there (not logged in); the baseline "
                  "expects 1 such session; no running path left to LUN naa.6001405aa\n"
                  "CRITICAL [baseline-missing] LUN naa.6001405aa: not there; the baseline expects it "
                  "with 1 path\n"
                  "CRITICAL [session-state] target " + other + ": no session to it (not logged in)\n",
              run.out);
}

// A baseline saved by the check that compares with it keeps what the host
// lost: the loss is reported at every run (a monitoring system that notifies
// after three failures in a row does), while what is new is learnt.  Saving
// a host that is not OK says so on standard error.
TEST_F(Check, RollingBaselineNeverLearnsALoss)
{
    const std::string rolling = cwd + "/rolling.json";
    Host host;
    ASSERT_EQ(0, Run(host, {"--save-baseline=" + rolling}).status);
    Host loggedOut = host;
    loggedOut.withB = false;
    const std::vector<std::string> roll = {"--check", "--baseline=" + rolling, "--save-baseline=" + rolling};
    for (int i = 0; i < 3; ++i) {
        ToolRun run = Run(loggedOut, roll);
        EXPECT_EQ(1, run.status) << i;
        EXPECT_EQ("Saved the baseline '" + rolling + "': 2 sessions, 2 LUNs", Lines(run.out).at(3));
        EXPECT_EQ("iscsi-inventory: saved the baseline '" + rolling + "' of a host that is not OK (WARNING: "
                  "2 warnings); it keeps 1 session, 1 LUN path that the host has lost, which later checks "
                  "still expect\n",
                  run.err);
    }
    ToolRun back = Run(host, roll);
    EXPECT_EQ(0, back.status) << back.out;
    EXPECT_EQ("", back.err);

    // Learnt: a session and a path more than it held, once.
    const std::string learning = cwd + "/learning.json";
    ASSERT_EQ(0, Run(loggedOut, {"--save-baseline=" + learning}).status);
    EXPECT_EQ(1, Run(host, {"--check", "--baseline=" + learning, "--save-baseline=" + learning}).status);
    EXPECT_EQ(0, Run(host, {"--check", "--baseline=" + learning, "--save-baseline=" + learning}).status);

    // A baseline of the host as it is, fault and all, is saved only on purpose.
    Host failed = host;
    failed.b.state = "FAILED";
    ToolRun snapshot = Run(failed, {"--save-baseline=" + learning});
    EXPECT_EQ(0, snapshot.status);
    EXPECT_EQ("iscsi-inventory: saved the baseline '" + learning + "' of a host that is not OK (WARNING: "
              "2 warnings); it holds the host as it is, so a check against it will not report "
              "what is wrong now\n",
              snapshot.err);
    // With a baseline that cannot be used, saving would drop what it expects.
    const std::string bad = Write("bad.json", "{}");
    ToolRun unusable = Run(host, {"--check", "--baseline=" + bad, "--save-baseline=" + learning});
    EXPECT_EQ(3, unusable.status);
    EXPECT_EQ("UNKNOWN: the baseline '" + learning + "' was not saved: the baseline '" + bad +
                  "' could not be used, and what it expects would be lost",
              Lines(unusable.out).at(2));
}

// The host's own baseline: --save-baseline without a file writes it, and a
// check without --baseline holds the host against it.  Served in a private
// mount namespace over the nearest directory above it that exists, never
// the machine's own.
TEST_F(Check, TheHostsOwnBaselineByDefault)
{
    const std::string path = DEFAULT_BASELINE;
    std::string above = path.substr(0, path.rfind('/'));
    while (access(above.c_str(), F_OK) != 0)
        above = above.substr(0, above.rfind('/'));
    if (geteuid() != 0 || above.size() <= 1)
        GTEST_SKIP() << "needs root and a directory above " << path << " to mount over";
    const std::string state = tree.Root() + "/state";
    ASSERT_EQ(0, system(("mkdir -p '" + state + path.substr(above.size(), path.rfind('/') - above.size()) + "'").c_str()));
    RunOptions own;
    own.binds = {{state, above}};
    Host host;
    SysTree built;
    host.Build(built);
    ToolRun saved = RunTool(built, cwd, {"--no-log", "--save-baseline"}, own);
    if (saved.status == kNoNamespace)
        GTEST_SKIP() << "needs a private mount namespace (unshare -m), not available here";
    EXPECT_EQ("Saved the baseline '" + path + "': 2 sessions, 2 LUNs\n", saved.out);
    EXPECT_EQ(0, access((state + path.substr(above.size())).c_str(), F_OK));
    Host loggedOut = host;
    loggedOut.withB = false;
    SysTree lost;
    loggedOut.Build(lost);
    ToolRun check = RunTool(lost, cwd, {"--no-log", "--check"}, own);
    EXPECT_EQ(1, check.status);
    EXPECT_EQ(0u, check.out.find("ISCSI WARNING - 2 warnings; 1 session logged in, 2 LUNs, 2 of 2 paths running | "))
        << check.out;
    EXPECT_NE(std::string::npos, check.out.find("\nWARNING [baseline-missing] session (target ")) << check.out;
    EXPECT_EQ(path, nlohmann::json::parse(RunTool(lost, cwd, {"--no-log", "--check", "--json"}, own).out)["baseline"]);
}

TEST_F(Check, UnusableBaselineIsUnknown)
{
    const std::string directory = cwd + "/dir";
    mkdir(directory.c_str(), 0755);
    const std::string cases[][2] = {
        {Write("cut.json", R"({"format_version": "1.0", "sessions": [})"),
         "not a baseline: line 1, column 40: expected a value"},
        {Write("version.json", R"({"format_version": "2.0", "sessions": [], "luns": []})"),
         "not a baseline: format_version: \"2.0\" is not a version this program reads (1.x)"},
        {Write("paths.json", "{\"format_version\": \"1.0\", \"sessions\": [],\n \"luns\": "
                             "[{\"wwid\": \"naa.1\", \"paths\": 3, \"via\": []}]}"),
         "not a baseline: luns[0].paths: 3 where \"via\" names 0"},
        {Write("twice.json", R"({"format_version": "1.0", "format_version": "1.0"})"),
         "not a baseline: line 1, column 27: the key \"format_version\" comes twice"},
        {Write("empty.json", ""), "not a baseline: line 1, column 1: expected a value, found the end of the text"},
        {cwd + "/absent.json", "No such file or directory"},
        {directory, "not a regular file"},
    };
    for (const auto& [path, why] : cases) {
        ToolRun run = Run(Host(), {"--check", "--baseline=" + path});
        EXPECT_EQ(3, run.status) << path;
        const std::string problem = "cannot use the baseline '" + path + "': " + why;
        // What was read is whole: its counts stand.
        EXPECT_EQ("ISCSI UNKNOWN - " + problem + " | " + Perfdata(2, 2, 2, 3, 3) + "\nUNKNOWN: " +
                      problem + "\n",
                  run.out);
    }
}

// ---- What could not be read -----------------------------------------------

TEST_F(Check, UnreadableClassIsUnknownAndNeverSavedOrCompared)
{
    Host host;
    host.Build(tree);
    const std::string baseline = cwd + "/baseline.json";
    ASSERT_EQ(0, RunTool(tree, cwd, {"--no-log", "--save-baseline=" + baseline}).status);
    ToolCopy copy;
    ASSERT_TRUE(copy.Ok());
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to run the tool as another user";
    ASSERT_EQ(0, chmod(tree.Abs("class/iscsi_session").c_str(), 0700));
    ASSERT_EQ(0, chmod(tree.Root().c_str(), 0755));
    const std::string open = cwd + "/open";
    ASSERT_EQ(0, mkdir(open.c_str(), 0777));
    ASSERT_EQ(0, chmod(open.c_str(), 0777));
    RunOptions nobody;
    nobody.uid = 65534;

    ToolRun run = copy.Run(tree, cwd, nobody, {"--no-log", "--check"});
    EXPECT_EQ(3, run.status);
    EXPECT_EQ("ISCSI UNKNOWN - cannot read class iscsi_session: Permission denied\n"
              "UNKNOWN: cannot read class iscsi_session: Permission denied\n",
              run.out);

    // The sessions that could not be read are not missing, and a host read in
    // part is no baseline.
    const std::string saved = open + "/new.json";
    ToolRun compared = copy.Run(tree, cwd, nobody,
                                {"--no-log", "--check", "--baseline=" + baseline, "--save-baseline=" + saved});
    EXPECT_EQ(3, compared.status);
    EXPECT_EQ("ISCSI UNKNOWN - cannot read class iscsi_session: Permission denied (and 2 more problems)\n"
              "UNKNOWN: cannot read class iscsi_session: Permission denied\n"
              "UNKNOWN: the baseline '" + baseline + "' was not compared: sysfs could not be read whole\n"
              "UNKNOWN: the baseline '" + saved + "' was not saved: sysfs could not be read whole\n",
              compared.out);
    EXPECT_NE(0, access(saved.c_str(), F_OK));

    ToolRun saveOnly = copy.Run(tree, cwd, nobody, {"--no-log", "--save-baseline=" + saved});
    EXPECT_EQ(1, saveOnly.status);
    EXPECT_EQ("", saveOnly.out);
    EXPECT_EQ("iscsi-inventory: cannot read class iscsi_session: Permission denied\n"
              "iscsi-inventory: not saving the baseline '" + saved + "': sysfs could not be read whole\n",
              saveOnly.err);
    EXPECT_NE(0, access(saved.c_str(), F_OK));

    ToolRun json = copy.Run(tree, cwd, nobody, {"--no-log", "--check", "--json"});
    EXPECT_EQ(3, json.status);
    nlohmann::json document = nlohmann::json::parse(json.out);
    EXPECT_EQ("UNKNOWN", document["status"]);
    EXPECT_EQ(3, document["exit_code"]);
    EXPECT_TRUE(document["perfdata"].is_null());
    EXPECT_EQ(nlohmann::json::parse(R"([{"object": "class iscsi_session", "error": "Permission denied"}])"),
              document["errors"]);
    chmod(tree.Abs("class/iscsi_session").c_str(), 0755);
}

// ---- The JSON reader --------------------------------------------------------

using inventory::JsonLimits;
using inventory::JsonReading;
using inventory::ReadJson;
using Fault = JsonReading::Fault;

TEST(JsonRead, TakesOnlyStrictJson)
{
    const std::pair<const char*, Fault> cases[] = {
        {"[1,]", Fault::Syntax},           {"{\"a\":1,}", Fault::Syntax},
        {"01", Fault::Syntax},             {"[1] x", Fault::Syntax},
        {"'a'", Fault::Syntax},            {"\xEF\xBB\xBF[]", Fault::Syntax},
        {"[1 // no\n]", Fault::Syntax},    {"\"a\tb\"", Fault::Syntax},
        {"\"\\ud800\"", Fault::Syntax},    {"\"\\udc00\\ud800\"", Fault::Syntax},
        {"\"\\ud800\\u0041\"", Fault::Syntax}, {"\"\xC0\xAF\"", Fault::Syntax},
        {"\"\xED\xA0\x80\"", Fault::Syntax}, {"\"\\x41\"", Fault::Syntax},
        {"nul", Fault::Syntax},            {"", Fault::Syntax},
        {"-1", Fault::Unsupported},        {"1.5", Fault::Unsupported},
        {"1e2", Fault::Unsupported},       {"18446744073709551616", Fault::Unsupported},
        {"{\"a\":1,\"a\":1}", Fault::DuplicateKey},
        {" [ {\"a\" : [true, false, null]} ]\r\n", Fault::None},
        {"18446744073709551615", Fault::None},
    };
    for (const auto& [text, fault] : cases)
        EXPECT_EQ(fault, ReadJson(text).fault) << text;
    EXPECT_EQ(Fault::Syntax, ReadJson(std::string("[1]\0", 4)).fault);
}

TEST(JsonRead, DecodesEscapesToUtf8)
{
    JsonReading reading = ReadJson(R"(["\ud83d\ude00\u00e9\u0000\"\\\/\b\f\n\r\t", "caf)" "\xC3\xA9" R"("])");
    ASSERT_TRUE(reading.value) << reading.message;
    const auto& elements = reading.value->Elements();
    ASSERT_EQ(2u, elements.size());
    EXPECT_EQ(std::string("\xF0\x9F\x98\x80\xC3\xA9\0\"\\/\b\f\n\r\t", 15), elements[0].Text());
    EXPECT_EQ("caf\xC3\xA9", elements[1].Text());
}

TEST(JsonRead, LimitsDepthValuesAndSize)
{
    JsonLimits limits;
    limits.maxDepth = 3;
    limits.maxValues = 5;
    limits.maxBytes = 20;
    EXPECT_EQ(Fault::None, ReadJson("[[[1]]]", limits).fault);
    JsonReading deep = ReadJson("[[[[1]]]]", limits);
    EXPECT_EQ(Fault::Limit, deep.fault);
    EXPECT_EQ("line 1, column 4: arrays and objects nested deeper than 3 levels", deep.message);
    EXPECT_EQ(Fault::None, ReadJson("[1,2,3,4]", limits).fault);
    EXPECT_EQ(Fault::Limit, ReadJson("[1,2,3,4,5]", limits).fault);
    EXPECT_EQ(Fault::Limit, ReadJson("[1,                    2]", limits).fault);
    // Far deeper than any stack takes, under the default limits.
    EXPECT_EQ(Fault::Limit, ReadJson(std::string(1000000, '[')).fault);
}

// Sysfs not there and not mountable (not root): nothing was judged, so the
// verdict is UNKNOWN, said on standard output where monitoring reads it.
TEST_F(Check, SysfsOutOfReachIsUnknown)
{
    ToolCopy copy;
    ASSERT_TRUE(copy.Ok());
    ASSERT_EQ(0, chmod(tree.Root().c_str(), 0755));
    RunOptions opts;
    opts.withoutSysfs = true;
    opts.uid = 65534;
    ToolRun run = copy.Run(tree, cwd, opts, {"--no-log", "--check"});
    if (run.status == kNoNamespace)
        GTEST_SKIP() << "needs a private mount namespace (unshare -m), not available here";
    EXPECT_EQ(3, run.status) << run.out << run.err;
    EXPECT_EQ(0u, run.out.find("ISCSI UNKNOWN - ")) << run.out;
    EXPECT_NE(std::string::npos, run.out.find("sysfs")) << run.out;
    EXPECT_EQ(std::string::npos, run.out.find("OK")) << run.out;
}

}  // namespace

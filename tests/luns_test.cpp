// SPDX-License-Identifier: MIT
// The views per logical unit and per session (--luns, --summary, the
// document's "luns" and the redundancy metrics of --prometheus) on
// topologies built by hand: what they must show is written here from the
// rules, not taken from the program.
#include <unistd.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <cstdlib>
#include <string>

#include "iscsi_tree.h"
#include "sys_tree.h"
#include "tool_run.h"

namespace {

class Luns : public ::testing::Test {
protected:
    void SetUp() override
    {
        cwd = tree.Root() + "/cwd";
        mkdir(cwd.c_str(), 0755);
    }
    ToolRun Run(std::vector<std::string> args)
    {
        args.insert(args.begin(), "--no-log");
        return RunTool(tree, cwd, args);
    }
    SysTree tree;
    IscsiTree iscsi{tree};
    std::string cwd;
};

// Two sessions through two portals to one LUN under a multipath map, one of
// them failed: one block, both paths, 1 of 2 running; inquiry strings without
// their padding.
TEST_F(Luns, OneBlockPerLunWithEveryPath)
{
    SessionSpec a;
    a.sid = 2;
    a.address = "192.0.2.1";
    SessionSpec b = a;
    b.sid = 10;
    b.address = "192.0.2.2";
    b.state = "FAILED";
    b.connectionState = "failed";
    LunSpec lun;
    lun.wwid = "naa.6001405aa";
    lun.disk = "sdb";
    LunSpec other = lun;
    other.disk = "sdc";
    other.state = "transport-offline";
    iscsi.Session(a).Lun(2, lun).Session(b).Lun(10, other).Map("dm-0", "mpatha", {"sdb", "sdc"});

    ToolRun run = Run({"--luns"});
    EXPECT_EQ(0, run.status) << run.err;
    EXPECT_EQ("LUN: naa.6001405aa\n"
              "\tSize: 1.00 GiB\n"
              "\tVendor: LIO-ORG\n"
              "\tModel: IBLOCK\n"
              "\tRev: 4.0\n"
              "\tRead-only: No\n"
              "\tMultipath: mpatha (dm-0)\n"
              "\tPath: 2:0:0:0 sdb: running\n"
              "\t\tSession: session2 (LOGGED_IN)\n"
              "\t\tTarget: iqn.2003-01.org.example:storage\n"
              "\t\tPortal: 192.0.2.1:3260\n"
              "\t\tIface: default\n"
              "\t\tSCSI Device State: running\n"
              "\t\tRead-only: No\n"
              "\tPath: 10:0:0:0 sdc: not running\n"
              "\t\tSession: session10 (FAILED)\n"
              "\t\tTarget: iqn.2003-01.org.example:storage\n"
              "\t\tPortal: 192.0.2.2:3260\n"
              "\t\tIface: default\n"
              "\t\tSCSI Device State: transport-offline\n"
              "\t\tRead-only: No\n"
              "\t1 of 2 paths running\n",
              run.out);
}

// A LUN without a WWID is a unit of its own; units with one come first, in
// WWID order, whatever order their sessions are in; a blank line between
// blocks.  Values the kernel did not give show as <unknown>.
TEST_F(Luns, UnitsWithoutWwidComeLastEachAlone)
{
    SessionSpec s;
    s.sid = 3;
    LunSpec a;
    a.lun = 1;  // no WWID, no block device
    a.state = "offline";
    LunSpec b;
    b.lun = 2;
    b.wwid = "naa.2";
    b.disk = "sdd";
    b.readOnly = "1";
    LunSpec c = b;
    c.lun = 3;
    c.wwid = "naa.1";
    c.disk = "sde";
    c.readOnly = "0";
    iscsi.Session(s).Lun(3, a).Lun(3, b).Lun(3, c);

    ToolRun run = Run({"--luns"});
    EXPECT_EQ(0, run.status) << run.err;
    const std::string path = "\t\tSession: session3 (LOGGED_IN)\n"
                             "\t\tTarget: iqn.2003-01.org.example:storage\n"
                             "\t\tPortal: 192.0.2.10:3260\n"
                             "\t\tIface: default\n";
    const std::string inquiry = "\tVendor: LIO-ORG\n\tModel: IBLOCK\n\tRev: 4.0\n";
    EXPECT_EQ("LUN: naa.1\n\tSize: 1.00 GiB\n" + inquiry +
                  "\tRead-only: No\n\tMultipath: none\n\tPath: 3:0:0:3 sde: running\n" + path +
                  "\t\tSCSI Device State: running\n\t\tRead-only: No\n\t1 of 1 path running\n\n"
                  "LUN: naa.2\n\tSize: 1.00 GiB\n" + inquiry +
                  "\tRead-only: Yes\n\tMultipath: none\n\tPath: 3:0:0:2 sdd: running\n" + path +
                  "\t\tSCSI Device State: running\n\t\tRead-only: Yes\n\t1 of 1 path running\n\n"
                  "LUN: 3:0:0:1 (no WWID)\n\tSize: <unknown>\n" + inquiry +
                  "\tRead-only: <unknown>\n\tMultipath: none\n"
                  "\tPath: 3:0:0:1 (no block device): not running\n" + path +
                  "\t\tSCSI Device State: offline\n\t\tRead-only: <unknown>\n"
                  "\t0 of 1 path running\n",
              run.out);
}

// The document's "luns": the same units as --luns, typed; a map's name, and
// read_only true when any path's block device is read-only.
TEST_F(Luns, DocumentJoinsPathsIntoUnits)
{
    SessionSpec a;
    a.sid = 1;
    a.address = "fd00::1";
    SessionSpec b = a;
    b.sid = 2;
    b.address = "192.0.2.2";
    b.iface = "eth1";
    LunSpec lun;
    lun.wwid = "naa.6001405bb";
    lun.disk = "sda";
    LunSpec other = lun;
    other.disk = "sdb";
    other.readOnly = "1";
    other.sectors = "4096";
    iscsi.Session(a).Lun(1, lun).Session(b).Lun(2, other).Map("dm-3", "mpathb", {"sda", "sdb"});

    ToolRun run = Run({"--json"});
    ASSERT_EQ(0, run.status) << run.err;
    nlohmann::json document = nlohmann::json::parse(run.out);
    EXPECT_EQ("1.3", document["format_version"]);
    EXPECT_EQ(nlohmann::json::parse(R"([{
        "wwid": "naa.6001405bb", "size_bytes": 1073741824, "vendor": "LIO-ORG",
        "model": "IBLOCK", "rev": "4.0", "read_only": true,
        "multipath": {"name": "mpathb", "device": "dm-3", "features": null,
                      "queue_if_no_path": null, "hardware_handler": null, "groups": null},
        "paths": [
          {"session": "session1", "target": "iqn.2003-01.org.example:storage",
           "portal": "[fd00::1]:3260", "iface": "default", "hctl": "1:0:0:0",
           "block_device": "sda", "state": "running",
           "dm_state": null, "fail_count": null, "group": null},
          {"session": "session2", "target": "iqn.2003-01.org.example:storage",
           "portal": "192.0.2.2:3260", "iface": "eth1", "hctl": "2:0:0:0",
           "block_device": "sdb", "state": "running",
           "dm_state": null, "fail_count": null, "group": null}],
        "paths_running": 2}])"),
              document["luns"]);
    // The joined disk records lose the inquiry padding too.
    EXPECT_EQ("IBLOCK", document["sessions"][0]["disks"][0]["model"]);
}

// --summary: a line per session, as iscsiadm lists them, with its units
// running of all and its health; -T and -r select, for every view that
// takes them, and nothing else.
TEST_F(Luns, SummaryAndSelection)
{
    SessionSpec a;
    a.sid = 1;
    a.target = "iqn.2003-01.org.example:a";
    SessionSpec b;
    b.sid = 2;
    b.target = "iqn.2003-01.org.example:b";
    b.address = "192.0.2.20";
    b.connectionState = "down";  // logged in, but a connection is not up
    SessionSpec c;
    c.sid = 12;
    c.target = "iqn.2003-01.org.example:b";
    c.state = "FAILED";
    c.tpgt = "2";
    LunSpec lun;
    lun.wwid = "naa.a";
    lun.disk = "sda";
    LunSpec mp;
    mp.wwid = "naa.b";
    mp.disk = "sdb";
    LunSpec mp2 = mp;
    mp2.disk = "sdc";
    mp2.state = "transport-offline";
    iscsi.Session(a).Lun(1, lun).Session(b).Lun(2, mp).Session(c).Lun(12, mp2);
    iscsi.Map("dm-0", "mpatha", {"sdb", "sdc"});

    const std::string one = "tcp: [1] 192.0.2.10:3260,1 iqn.2003-01.org.example:a iface default "
                            "LOGGED_IN 1 of 1 LUN running: OK\n";
    const std::string two = "tcp: [2] 192.0.2.20:3260,1 iqn.2003-01.org.example:b iface default "
                            "LOGGED_IN 1 of 1 LUN running multipath mpatha: DEGRADED (connection connection2:0 down)\n";
    const std::string twelve = "tcp: [12] 192.0.2.10:3260,2 iqn.2003-01.org.example:b iface default "
                               "FAILED 0 of 1 LUN running multipath mpatha: FAILED (LUN naa.b 12:0:0:0: device "
                               "transport-offline, session12 FAILED)\n";
    ToolRun run = Run({"--summary"});
    EXPECT_EQ(0, run.status) << run.err;
    EXPECT_EQ(one + twelve + two, run.out);  // in the class listing's order

    EXPECT_EQ(twelve + two, Run({"--summary", "-T", "iqn.2003-01.org.example:b"}).out);
    EXPECT_EQ(one + two, Run({"--summary", "-r", "2", "--session=session1"}).out);
    EXPECT_EQ(twelve, Run({"--summary", "-T", "iqn.2003-01.org.example:b", "-r", "12"}).out);
    // A selection that takes no session fails, as iscsiadm's does, naming it.
    for (const char* form : {"--sessions", "--summary", "--luns"}) {
        ToolRun none = Run({form, "-r", "session3", "-T", "iqn.2003-01.org.example:c"});
        EXPECT_EQ(1, none.status) << form;
        EXPECT_EQ("", none.out) << form;
        EXPECT_EQ("iscsi-inventory: no iSCSI session matches the selection (target iqn.2003-01.org.example:c, "
                  "session session3)\n",
                  none.err);
    }
    // A unit seen through a selected session shows that session's paths alone.
    ToolRun luns = Run({"--luns", "-r", "12"});
    EXPECT_NE(std::string::npos, luns.out.find("\t0 of 1 path running\n")) << luns.out;
    EXPECT_EQ(std::string::npos, luns.out.find("session2"));

    // The text, --json and --prometheus forms show everything, always.
    for (const char* form : {"--json", "--prometheus"}) {
        ToolRun refused = Run({form, "-T", "iqn.2003-01.org.example:a"});
        EXPECT_EQ(2, refused.status) << form;
        EXPECT_EQ("", refused.out);
    }
    EXPECT_EQ(2, Run({"-r", "1"}).status);
}

// Nothing to show is said in words, and is no failure.
TEST_F(Luns, NoSessionOrNoUnit)
{
    tree.Dir("class/iscsi_session");
    const std::string none = "No iSCSI session (is iscsi_tcp, or the HBA's driver, loaded?)\n";
    EXPECT_EQ(none, Run({"--luns"}).out);
    EXPECT_EQ(none, Run({"--summary"}).out);
    iscsi.Session(SessionSpec());
    ToolRun run = Run({"--luns"});
    EXPECT_EQ(0, run.status);
    EXPECT_EQ("No logical unit on the iSCSI sessions\n", run.out);
}

// The sample lines of one metric family, in the order written, and the
// families' names in the order of their TYPE lines.
std::string SamplesOf(const std::string& exposition, const std::string& family)
{
    std::istringstream lines(exposition);
    std::string line, samples;
    while (std::getline(lines, line))
        if (line.compare(0, family.size() + 1, family + "{") == 0)
            samples += line + "\n";
    return samples;
}

std::string FamiliesOf(const std::string& exposition)
{
    std::istringstream lines(exposition);
    std::string line, names;
    while (std::getline(lines, line))
        if (line.compare(0, 7, "# TYPE ") == 0)
            names += line.substr(7, line.find(' ', 7) - 7) + "\n";
    return names;
}

std::string CurrentStates(const std::string& samples)
{
    std::istringstream lines(samples);
    std::string line, current;
    while (std::getline(lines, line))
        if (line.size() > 2 && line.compare(line.size() - 2, 2, " 1") == 0)
            current += line + "\n";
    return current;
}

// The multipath tree: its LUN 0 has two paths, one lost with its session,
// both under mpatha, which iscsi_disk_info and iscsi_lun_paths name alike;
// the disk without a WWID is a LUN of its own, named by its address, and the
// disk without a block device has neither size nor read-only sample.  The
// verdict's families come after the LUNs'.
TEST_F(Luns, RedundancyMetrics)
{
    ASSERT_EQ(0, system(("bash " SOURCE_DIR "/tests/data/make-multipath-tree.sh " + tree.Root()).c_str()));
    ToolRun run = Run({"--prometheus"});
    EXPECT_EQ(0, run.status) << run.err;
    EXPECT_EQ(std::string::npos, run.out.find("TreeSecret"));
    EXPECT_EQ("iscsi_session_info\n"
              "iscsi_session_state\n"
              "iscsi_connection_state\n"
              "iscsi_session_recovery_timeout_seconds\n"
              "iscsi_session_disks\n"
              "iscsi_disk_info\n"
              "iscsi_disk_io_errors_total\n"
              "iscsi_disk_io_timeouts_total\n"
              "iscsi_disk_state\n"
              "iscsi_disk_read_only\n"
              "iscsi_disk_size_bytes\n"
              "iscsi_lun_paths\n"
              "iscsi_lun_paths_running\n"
              "iscsi_check_status\n"
              "iscsi_check_finding\n"
              "iscsi_inventory_errors\n",
              FamiliesOf(run.out));
    EXPECT_EQ(
        R"(iscsi_disk_info{session="session2",hctl="2:0:0:0",device="sdb",wwid="naa.6001405f1e2d3c4b5a69788796a5b4c3",by_path="ip-192.0.2.1:3260-iscsi-iqn.2003-01.org.example:storage-lun-0",multipath_device="mpatha"} 1
iscsi_disk_info{session="session2",hctl="2:0:0:1",device="sdd",wwid="naa.60014052c3d4e5f60718293a4b5c6d7e",by_path="ip-192.0.2.1:3260-iscsi-iqn.2003-01.org.example:storage-lun-1",multipath_device=""} 1
iscsi_disk_info{session="session2",hctl="2:0:0:5",device="",wwid="",by_path="ip-192.0.2.1:3260-iscsi-iqn.2003-01.org.example:storage-lun-5",multipath_device=""} 1
iscsi_disk_info{session="session3",hctl="3:0:0:0",device="sdc",wwid="naa.6001405f1e2d3c4b5a69788796a5b4c3",by_path="ip-192.0.2.2:3260-iscsi-iqn.2003-01.org.example:storage-lun-0",multipath_device="mpatha"} 1
)",
        SamplesOf(run.out, "iscsi_disk_info"));
    // Ten known states for each of the four disks, the current one 1.
    const std::string states = SamplesOf(run.out, "iscsi_disk_state");
    EXPECT_EQ(40, std::count(states.begin(), states.end(), '\n')) << states;
    EXPECT_EQ(R"(iscsi_disk_state{session="session2",hctl="2:0:0:0",state="running"} 1
iscsi_disk_state{session="session2",hctl="2:0:0:1",state="running"} 1
iscsi_disk_state{session="session2",hctl="2:0:0:5",state="offline"} 1
iscsi_disk_state{session="session3",hctl="3:0:0:0",state="transport-offline"} 1
)",
              CurrentStates(states));
    EXPECT_EQ(R"(iscsi_disk_read_only{session="session2",hctl="2:0:0:0"} 0
iscsi_disk_read_only{session="session2",hctl="2:0:0:1"} 1
iscsi_disk_read_only{session="session3",hctl="3:0:0:0"} 0
)",
              SamplesOf(run.out, "iscsi_disk_read_only"));
    EXPECT_EQ(R"(iscsi_disk_size_bytes{session="session2",hctl="2:0:0:0"} 1073741824
iscsi_disk_size_bytes{session="session2",hctl="2:0:0:1"} 2147483648
iscsi_disk_size_bytes{session="session3",hctl="3:0:0:0"} 1073741824
)",
              SamplesOf(run.out, "iscsi_disk_size_bytes"));
    EXPECT_EQ(R"(iscsi_lun_paths{wwid="naa.60014052c3d4e5f60718293a4b5c6d7e",multipath_device=""} 1
iscsi_lun_paths{wwid="naa.6001405f1e2d3c4b5a69788796a5b4c3",multipath_device="mpatha"} 2
iscsi_lun_paths{wwid="hctl:2:0:0:5",multipath_device=""} 1
)",
              SamplesOf(run.out, "iscsi_lun_paths"));
    EXPECT_EQ(R"(iscsi_lun_paths_running{wwid="naa.60014052c3d4e5f60718293a4b5c6d7e"} 1
iscsi_lun_paths_running{wwid="naa.6001405f1e2d3c4b5a69788796a5b4c3"} 1
iscsi_lun_paths_running{wwid="hctl:2:0:0:5"} 0
)",
              SamplesOf(run.out, "iscsi_lun_paths_running"));
}

// A path runs only when its device runs and its session is logged in: a
// running disk of a failed session is no running path.  A map whose name
// cannot be read is named by its device, as iscsi_disk_info names it.  A LUN
// without a WWID is named by its address.
TEST_F(Luns, RedundancyMetricsOfAFailedSessionAndAnUnnamedMap)
{
    SessionSpec failed;
    failed.sid = 4;
    failed.state = "FAILED";
    LunSpec lun;
    lun.wwid = "naa.6001405cc";
    lun.disk = "sde";
    iscsi.Session(failed).Lun(4, lun).Map("dm-1", "mpathc", {"sde"});
    ASSERT_EQ(0, unlink(tree.Abs("devices/virtual/block/dm-1/dm/name").c_str()));
    ToolRun run = Run({"--prometheus"});
    EXPECT_EQ(0, run.status) << run.err;
    EXPECT_NE(std::string::npos, run.out.find(",multipath_device=\"dm-1\"} 1\n")) << run.out;
    EXPECT_EQ("iscsi_lun_paths{wwid=\"naa.6001405cc\",multipath_device=\"dm-1\"} 1\n",
              SamplesOf(run.out, "iscsi_lun_paths"));
    EXPECT_EQ("iscsi_lun_paths_running{wwid=\"naa.6001405cc\"} 0\n",
              SamplesOf(run.out, "iscsi_lun_paths_running"));

    SysTree bare;
    IscsiTree(bare).Session(failed).Lun(4, LunSpec{});
    run = RunTool(bare, cwd, {"--no-log", "--prometheus"});
    EXPECT_EQ(0, run.status) << run.err;
    EXPECT_EQ("iscsi_lun_paths_running{wwid=\"hctl:4:0:0:0\"} 0\n", SamplesOf(run.out, "iscsi_lun_paths_running"));
}

// A path whose SCSI device runs in a logged-in session but has no block
// device (the sd driver never bound it, or it went away) carries no I/O: not
// running in every view, with the reason where a view gives one.
TEST_F(Luns, APathWithoutItsBlockDeviceDoesNotRun)
{
    SessionSpec a;
    a.sid = 1;
    SessionSpec b = a;
    b.sid = 2;
    b.address = "192.0.2.2";
    LunSpec lun;
    lun.wwid = "naa.6001405aa";
    lun.disk = "sda";
    LunSpec unbound = lun;
    unbound.disk.reset();
    iscsi.Session(a).Lun(1, lun).Session(b).Lun(2, unbound).Map("dm-0", "mpatha", {"sda"});

    const std::string luns = Run({"--luns"}).out;
    EXPECT_NE(std::string::npos, luns.find("\tPath: 2:0:0:0 (no block device): not running\n")) << luns;
    EXPECT_NE(std::string::npos, luns.find("\t1 of 2 paths running\n")) << luns;
    EXPECT_EQ(1, nlohmann::json::parse(Run({"--json"}).out)["luns"][0]["paths_running"]);
    EXPECT_EQ("iscsi_lun_paths_running{wwid=\"naa.6001405aa\"} 1\n",
              SamplesOf(Run({"--prometheus"}).out, "iscsi_lun_paths_running"));
    EXPECT_NE(std::string::npos, Run({"--summary"}).out.find(" LOGGED_IN 0 of 1 LUN running: DEGRADED (LUN naa.6001405aa 2:0:0:0: no block device)\n"));
    ToolRun check = Run({"--check"});
    EXPECT_EQ(1, check.status);
    EXPECT_NE(std::string::npos,
              check.out.find("WARNING [path-lost] LUN naa.6001405aa (sda 1:0:0:0, 2:0:0:0): 1 of 2 paths running "
                             "under multipath mpatha; not running: 2:0:0:0 (no block device)\n"))
        << check.out;
}

}  // namespace

// The device-mapper's own view of a map (a stand-in answers for the
// kernel): a path it failed while its SCSI device still runs is not
// running in every view; a map that queues with no path left is CRITICAL;
// without the privilege every view says once that the states were not read
// and judges from sysfs.
class MapStates : public Luns {
protected:
    void SetUp() override
    {
        Luns::SetUp();
        SessionSpec a;
        a.sid = 2;
        a.address = "192.0.2.1";
        SessionSpec b = a;
        b.sid = 3;
        b.address = "192.0.2.2";
        LunSpec lun;
        lun.wwid = "naa.6001405aa";
        lun.disk = "sdb";  // 8:16
        LunSpec other = lun;
        other.disk = "sdc";  // 8:32
        iscsi.Session(a).Lun(2, lun).Session(b).Lun(3, other).Map("dm-0", "mpatha", {"sdb", "sdc"});
    }
    // Runs with the device-mapper answering for dm-0 (253:0): its table and
    // the state letters and fail counts of sdb and sdc in its status.
    ToolRun RunWithMap(std::vector<std::string> args, const std::string& sdb, const std::string& sdc,
                       const std::string& extra = "")
    {
        const std::string file = tree.Root() + "/dm-answers";
        std::ofstream(file) << "253:0 uuid mpath-mpatha\n"
                            << "253:0 table 1 queue_if_no_path 0 1 1 round-robin 0 2 1 8:16 1000 8:32 1000\n"
                            << "253:0 status 2 0 0 0 1 1 A 0 2 0 8:16 " << sdb << " 8:32 " << sdc << "\n"
                            << extra;
        RunOptions options;
        options.deviceMapper = file;
        args.insert(args.begin(), "--no-log");
        return RunTool(tree, cwd, args, options);
    }
};

TEST_F(MapStates, APathTheDeviceMapperFailedIsNotRunning)
{
    ToolRun luns = RunWithMap({"--luns"}, "A 0", "F 3");
    EXPECT_EQ(0, luns.status) << luns.err;
    EXPECT_EQ("LUN: naa.6001405aa\n"
              "\tSize: 1.00 GiB\n"
              "\tVendor: LIO-ORG\n"
              "\tModel: IBLOCK\n"
              "\tRev: 4.0\n"
              "\tRead-only: No\n"
              "\tMultipath: mpatha (dm-0)\n"
              "\t\tFeatures: queue_if_no_path\n"
              "\t\tHardware Handler: none\n"
              "\t\tGroup 1: active, round-robin 0, 2 paths\n"
              "\tPath: 2:0:0:0 sdb: running\n"
              "\t\tSession: session2 (LOGGED_IN)\n"
              "\t\tTarget: iqn.2003-01.org.example:storage\n"
              "\t\tPortal: 192.0.2.1:3260\n"
              "\t\tIface: default\n"
              "\t\tSCSI Device State: running\n"
              "\t\tRead-only: No\n"
              "\t\tDM State: active, group 1, 0 failures\n"
              "\tPath: 3:0:0:0 sdc: not running\n"
              "\t\tSession: session3 (LOGGED_IN)\n"
              "\t\tTarget: iqn.2003-01.org.example:storage\n"
              "\t\tPortal: 192.0.2.2:3260\n"
              "\t\tIface: default\n"
              "\t\tSCSI Device State: running\n"
              "\t\tRead-only: No\n"
              "\t\tDM State: failed, group 1, 3 failures\n"
              "\t1 of 2 paths running\n",
              luns.out);

    ToolRun json = RunWithMap({"--json"}, "A 0", "F 3");
    ASSERT_EQ(0, json.status) << json.err;
    const nlohmann::json document = nlohmann::json::parse(json.out);
    EXPECT_EQ(nlohmann::json::parse(R"({"read": true, "reason": null})"), document["multipath_states"]);
    const nlohmann::json& lun = document["luns"][0];
    EXPECT_EQ(nlohmann::json::parse(R"({"name": "mpatha", "device": "dm-0", "features": ["queue_if_no_path"],
        "queue_if_no_path": true, "hardware_handler": "",
        "groups": [{"state": "active", "selector": "round-robin 0", "paths": 2}]})"),
              lun["multipath"]);
    EXPECT_EQ("failed", lun["paths"][1]["dm_state"]);
    EXPECT_EQ(3, lun["paths"][1]["fail_count"]);
    EXPECT_EQ(1, lun["paths"][1]["group"]);
    EXPECT_EQ(1, lun["paths_running"]);

    ToolRun metrics = RunWithMap({"--prometheus"}, "A 0", "F 3");
    EXPECT_EQ(0, metrics.status) << metrics.err;
    for (const char* line :
         {"iscsi_multipath_states_read 1\n",
          "iscsi_lun_path_dm_active{wwid=\"naa.6001405aa\",session=\"session3\",hctl=\"3:0:0:0\","
          "multipath_device=\"mpatha\"} 0\n",
          "iscsi_lun_path_dm_failures_total{wwid=\"naa.6001405aa\",session=\"session3\",hctl=\"3:0:0:0\","
          "multipath_device=\"mpatha\"} 3\n",
          "iscsi_multipath_queue_if_no_path{wwid=\"naa.6001405aa\",multipath_device=\"mpatha\"} 1\n",
          "iscsi_lun_paths_running{wwid=\"naa.6001405aa\"} 1\n"})
        EXPECT_NE(std::string::npos, metrics.out.find(line)) << line;

    ToolRun check = RunWithMap({"--check", "--ignore=recovery-timeout"}, "A 0", "F 3");
    EXPECT_EQ(1, check.status) << check.out;
    EXPECT_NE(std::string::npos,
              check.out.find("\nWARNING [path-lost] LUN naa.6001405aa (sdb 2:0:0:0, sdc 3:0:0:0): 1 of 2 paths "
                             "running under multipath mpatha; not running: sdc 3:0:0:0 (failed by the "
                             "device-mapper)\n"))
        << check.out;
}

TEST_F(MapStates, AMapThatQueuesWithNoPathLeftHangsItsIo)
{
    ToolRun check = RunWithMap({"--check", "--ignore=recovery-timeout"}, "F 1", "F 3");
    EXPECT_EQ(2, check.status) << check.out;
    EXPECT_NE(std::string::npos,
              check.out.find("\nCRITICAL [queue-no-path] LUN naa.6001405aa (sdb 2:0:0:0, sdc 3:0:0:0): multipath "
                             "mpatha queues I/O with no running path (queue_if_no_path): I/O to it hangs\n"))
        << check.out;
}

TEST_F(MapStates, WithoutThePrivilegeEachViewSaysSoOnceAndJudgesFromSysfs)
{
    ToolRun luns = RunWithMap({"--luns"}, "A 0", "F 3", "refuse 1\n");
    EXPECT_EQ(0, luns.status) << luns.err;
    EXPECT_EQ(0u, luns.out.find("Multipath maps' own path states not read: device-mapper table failed: "
                                "Operation not permitted\nLUN: naa.6001405aa\n"))
        << luns.out;
    EXPECT_NE(std::string::npos, luns.out.find("\t2 of 2 paths running\n"));
    EXPECT_EQ(std::string::npos, luns.out.find("DM State"));

    ToolRun check = RunWithMap({"--check", "--ignore=recovery-timeout"}, "A 0", "F 3", "refuse 1\n");
    EXPECT_EQ(0, check.status) << check.out;
    EXPECT_NE(std::string::npos,
              check.out.find("; multipath path states not read (device-mapper table failed: Operation not "
                             "permitted)"))
        << check.out;
    ToolRun summary = RunWithMap({"--summary"}, "A 0", "F 3", "refuse 1\n");
    EXPECT_NE(std::string::npos,
              summary.out.find("\nMultipath maps' own path states not read: device-mapper table failed: "
                               "Operation not permitted\n"))
        << summary.out;
    ToolRun metrics = RunWithMap({"--prometheus"}, "A 0", "F 3", "refuse 1\n");
    EXPECT_NE(std::string::npos, metrics.out.find("\niscsi_multipath_states_read 0\n"));
    ToolRun json = RunWithMap({"--json"}, "A 0", "F 3", "refuse 1\n");
    EXPECT_EQ(false, nlohmann::json::parse(json.out)["multipath_states"]["read"]);
}

// The number names another map now (the machine's own, or one made since):
// the map sysfs showed is gone, and its paths are judged from sysfs.
TEST_F(MapStates, ANumberThatNamesAnotherMapIsAMapGone)
{
    ToolRun luns = RunWithMap({"--luns"}, "A 0", "F 3", "253:0 uuid LVM-vg-root\n");
    EXPECT_EQ(0, luns.status) << luns.err;
    EXPECT_EQ("", luns.err);
    EXPECT_EQ(std::string::npos, luns.out.find("DM State")) << luns.out;
    EXPECT_NE(std::string::npos, luns.out.find("\t2 of 2 paths running\n")) << luns.out;
}

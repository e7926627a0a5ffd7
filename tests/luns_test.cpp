// SPDX-License-Identifier: MIT
// The views per logical unit and per session (--luns, --summary, the
// document's "luns" and the redundancy metrics of --prometheus) on
// topologies built by hand: what they must show is written here from the
// rules, not taken from the program.
#include <unistd.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <sstream>
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

// The multipath topology: LUN aa has two paths, one lost with its session,
// both under mpatha, which iscsi_disk_info and iscsi_lun_paths name alike;
// the disk without a WWID is no LUN of the metrics, and the disk without a
// block device has neither size nor read-only sample.
TEST_F(Luns, RedundancyMetrics)
{
    iscsi.MultipathTopology();
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
              "iscsi_inventory_errors\n",
              FamiliesOf(run.out));
    EXPECT_EQ(
        R"(iscsi_disk_info{session="session2",hctl="2:0:0:0",device="sdb",wwid="naa.6001405aa",by_path="ip-192.0.2.1:3260-iscsi-iqn.2003-01.org.example:storage-lun-0",multipath_device="mpatha"} 1
iscsi_disk_info{session="session2",hctl="2:0:0:1",device="sdd",wwid="naa.6001405bb",by_path="ip-192.0.2.1:3260-iscsi-iqn.2003-01.org.example:storage-lun-1",multipath_device=""} 1
iscsi_disk_info{session="session2",hctl="2:0:0:5",device="",wwid="",by_path="ip-192.0.2.1:3260-iscsi-iqn.2003-01.org.example:storage-lun-5",multipath_device=""} 1
iscsi_disk_info{session="session3",hctl="3:0:0:0",device="sdc",wwid="naa.6001405aa",by_path="ip-192.0.2.2:3260-iscsi-iqn.2003-01.org.example:storage-lun-0",multipath_device="mpatha"} 1
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
    EXPECT_EQ(R"(iscsi_lun_paths{wwid="naa.6001405aa",multipath_device="mpatha"} 2
iscsi_lun_paths{wwid="naa.6001405bb",multipath_device=""} 1
)",
              SamplesOf(run.out, "iscsi_lun_paths"));
    EXPECT_EQ(R"(iscsi_lun_paths_running{wwid="naa.6001405aa"} 1
iscsi_lun_paths_running{wwid="naa.6001405bb"} 1
)",
              SamplesOf(run.out, "iscsi_lun_paths_running"));
}

// A path runs only when its device runs and its session is logged in: a
// running disk of a failed session is no running path.  A map whose name
// cannot be read is named by its device, as iscsi_disk_info names it.  No
// LUN with a WWID, no LUN family.
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
    EXPECT_EQ(std::string::npos, run.out.find("iscsi_lun_paths")) << run.out;
}

}  // namespace

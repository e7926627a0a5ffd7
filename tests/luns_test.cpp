// SPDX-License-Identifier: MIT
// The views per logical unit and per session (--luns, --summary, and the
// document's "luns") on topologies built by hand: what they must show is
// written here from the rules, not taken from the program.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

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

}  // namespace

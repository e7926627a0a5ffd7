// SPDX-License-Identifier: MIT
// Each form's whole output on the trees of tests/data against its reviewed
// file in tests/data/expected, written by hand from the output rules of the
// man page and the scripts that lay the trees out.
//
// The sample tree (make-sample-tree.sh): an offload HBA's session (be2iscsi,
// on a PCI card; no IP address or netdev on its host, no tgt_reset_tmo or
// local port, digests on, a recovery timeout that is "off"), a logged-in
// iscsi_tcp session with mutual CHAP and two LUNs (LUN 10 after LUN 2), and a
// failed one whose LUN has no disk; the "iscsi" scsi_host entry with its
// directory listings.  The multipath tree (make-multipath-tree.sh): a LUN
// under mpatha that lost one of its two paths with its session, a read-only
// LUN, and an offline unit without WWID.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tool_fixture.h"

namespace {

struct Case {
    const char* name;        // the test's name
    const char* script;      // the tree, from tests/data
    std::vector<std::string> args;
    const char* file;        // in tests/data/expected
    int status;
    bool exposition;         // HELP lines left out of the comparison
};

class ExpectedOutput : public ToolTest, public ::testing::WithParamInterface<Case> {};

TEST_P(ExpectedOutput, MatchesTheReviewedFile)
{
    const Case& c = GetParam();
    ASSERT_TRUE(MakeDataTree(tree, c.script));
    std::vector<std::string> args = c.args;
    args.push_back("--no-log");
    ToolRun run = RunTool(tree, cwd, args);
    EXPECT_EQ(c.status, run.status) << run.err;
    EXPECT_EQ("", run.err);
    const std::string expected = Expected(c.file);
    ASSERT_NE("", expected);
    EXPECT_EQ(expected, c.exposition ? WithoutHelp(run.out) : run.out);
}

INSTANTIATE_TEST_SUITE_P(
    Trees, ExpectedOutput,
    ::testing::Values(
        // The text form, byte for byte: what a program piping it reads.
        Case{"SampleText", "make-sample-tree.sh", {}, "sample.text", 0, false},
        Case{"SampleSessions", "make-sample-tree.sh", {"--sessions"}, "sample.sessions", 0, false},
        Case{"SampleSummary", "make-sample-tree.sh", {"--summary"}, "sample.summary", 0, false},
        Case{"SampleLuns", "make-sample-tree.sh", {"--luns"}, "sample.luns", 0, false},
        Case{"SamplePrometheus", "make-sample-tree.sh", {"--prometheus"}, "sample.prometheus", 0, true},
        Case{"MultipathLuns", "make-multipath-tree.sh", {"--luns"}, "multipath.luns", 0, false},
        // Critical findings: the plugin's exit status is 2.
        Case{"MultipathCheck", "make-multipath-tree.sh", {"--check"}, "multipath.check", 2, false}),
    [](const ::testing::TestParamInfo<Case>& test) { return std::string(test.param.name); });

}  // namespace

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
#include <nlohmann/json.hpp>

#include <string>
#include <vector>

#include "tool_fixture.h"

namespace {

// How an output is held against its file.
enum class Compare {
    Bytes,       // byte for byte
    Exposition,  // without the HELP lines, whose text is prose
    Document,    // as parsed JSON documents
};

struct Case {
    const char* name;        // the test's name
    const char* script;      // the tree, from tests/data
    std::vector<std::string> args;
    const char* file;        // in tests/data/expected
    int status;
    Compare compare;
};

const char* const kSample = "make-sample-tree.sh";
const char* const kMultipath = "make-multipath-tree.sh";

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
    switch (c.compare) {
    case Compare::Bytes:
        EXPECT_EQ(expected, run.out);
        break;
    case Compare::Exposition:
        EXPECT_EQ(expected, WithoutHelp(run.out));
        break;
    case Compare::Document:
        EXPECT_EQ(nlohmann::json::parse(expected), nlohmann::json::parse(run.out));
        break;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Trees, ExpectedOutput,
    ::testing::Values(
        // The text form byte for byte: what a program piping it reads.
        Case{"SampleText", kSample, {}, "sample.text", 0, Compare::Bytes},
        Case{"SampleJson", kSample, {"--json"}, "sample.json", 0, Compare::Document},
        Case{"SampleSessions", kSample, {"--sessions"}, "sample.sessions", 0, Compare::Bytes},
        Case{"SampleSummary", kSample, {"--summary"}, "sample.summary", 0, Compare::Bytes},
        Case{"SampleLuns", kSample, {"--luns"}, "sample.luns", 0, Compare::Bytes},
        Case{"SamplePrometheus", kSample, {"--prometheus"}, "sample.prometheus", 0, Compare::Exposition},
        Case{"MultipathLuns", kMultipath, {"--luns"}, "multipath.luns", 0, Compare::Bytes},
        // Critical findings: the plugin's exit status is 2.
        Case{"MultipathCheck", kMultipath, {"--check"}, "multipath.check", 2, Compare::Bytes}),
    [](const ::testing::TestParamInfo<Case>& test) { return std::string(test.param.name); });

}  // namespace

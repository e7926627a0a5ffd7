// SPDX-License-Identifier: MIT
// A multipath target's table and status params as the kernel writes them,
// parsed into its groups and paths; anything malformed is an error that
// says where, never a map.  Each expected map is read off the strings by
// hand, by the kernel's layout of the two.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "mapper/map_reader.h"
#include "mapper/multipath_map.h"

namespace {

using inventory::mapper::MapPath;
using inventory::mapper::MapRead;
using inventory::mapper::MapTarget;
using inventory::mapper::MultipathMap;
using inventory::mapper::ParseMultipathMap;
using inventory::mapper::PathGroup;
using Outcome = MapRead::Outcome;

void ExpectSameMap(const MultipathMap& want, const MultipathMap& got)
{
    EXPECT_EQ(want.features, got.features);
    EXPECT_EQ(want.queueIfNoPath, got.queueIfNoPath);
    EXPECT_EQ(want.hardwareHandler, got.hardwareHandler);
    EXPECT_EQ(want.handlerArgs, got.handlerArgs);
    EXPECT_EQ(want.nextGroup, got.nextGroup);
    EXPECT_EQ(want.queueIo, got.queueIo);
    EXPECT_EQ(want.pgInitCount, got.pgInitCount);
    ASSERT_EQ(want.groups.size(), got.groups.size());
    for (std::size_t g = 0; g < want.groups.size(); ++g) {
        SCOPED_TRACE("group " + std::to_string(g + 1));
        EXPECT_EQ(want.groups[g].state, got.groups[g].state);
        EXPECT_EQ(want.groups[g].selector, got.groups[g].selector);
        ASSERT_EQ(want.groups[g].paths.size(), got.groups[g].paths.size());
        for (std::size_t p = 0; p < want.groups[g].paths.size(); ++p) {
            SCOPED_TRACE("path " + std::to_string(p + 1));
            const MapPath& w = want.groups[g].paths[p];
            const MapPath& o = got.groups[g].paths[p];
            EXPECT_EQ(w.major, o.major);
            EXPECT_EQ(w.minor, o.minor);
            EXPECT_EQ(w.active, o.active);
            EXPECT_EQ(w.failCount, o.failCount);
            EXPECT_EQ(w.selectorArgs, o.selectorArgs);
            EXPECT_EQ(w.selectorStatus, o.selectorStatus);
        }
    }
}

struct Scenario {
    const char* name;
    const char* table;
    const char* status;
    std::optional<MultipathMap> map;  // or else the error starts with:
    const char* error;
};

MultipathMap Map(std::vector<std::string> features, std::string handler, std::vector<std::string> handlerArgs,
                 unsigned nextGroup, unsigned queueIo, unsigned pgInitCount, std::vector<PathGroup> groups)
{
    MultipathMap map;
    map.features = std::move(features);
    map.queueIfNoPath = !map.features.empty() && map.features[0] == "queue_if_no_path";
    map.hardwareHandler = std::move(handler);
    map.handlerArgs = std::move(handlerArgs);
    map.nextGroup = nextGroup;
    map.queueIo = queueIo;
    map.pgInitCount = pgInitCount;
    map.groups = std::move(groups);
    return map;
}

const Scenario kScenarios[] = {
    {"two active paths in one group",
     "0 0 1 1 round-robin 0 2 1 8:16 1000 8:32 1000 ", "2 0 0 0 1 1 A 0 2 0 8:16 A 0 8:32 A 0 ",
     Map({}, "", {}, 1, 0, 0,
         {{'A', "round-robin 0", {{8, 16, true, 0, {"1000"}, {}}, {8, 32, true, 0, {"1000"}, {}}}}}),
     nullptr},
    {"queue_if_no_path with pg_init_retries, service-time",
     "3 queue_if_no_path pg_init_retries 50 0 1 1 service-time 0 2 2 8:0 128 1 8:16 128 4",
     "2 0 0 0 1 1 E 0 2 2 8:0 A 0 0 1 8:16 A 0 0 4",
     Map({"queue_if_no_path", "pg_init_retries", "50"}, "", {}, 1, 0, 0,
         {{'E', "service-time 0",
           {{8, 0, true, 0, {"128", "1"}, {"0", "1"}}, {8, 16, true, 0, {"128", "4"}, {"0", "4"}}}}}),
     nullptr},
    {"a failed path, failed three times, I/O held back",
     "1 queue_if_no_path 0 1 1 round-robin 0 2 1 65:16 1000 65:32 1000", "2 1 0 0 1 1 A 0 2 0 65:16 F 3 65:32 A 0",
     Map({"queue_if_no_path"}, "", {}, 1, 1, 0,
         {{'A', "round-robin 0", {{65, 16, false, 3, {"1000"}, {}}, {65, 32, true, 0, {"1000"}, {}}}}}),
     nullptr},
    {"alua, first group active, second enabled",
     "0 1 alua 2 1 service-time 0 1 2 8:16 1 1 service-time 0 1 2 8:32 1 1",
     "2 0 1 0 2 1 A 0 1 2 8:16 A 0 0 1 E 0 1 2 8:32 A 0 0 1",
     Map({}, "alua", {}, 1, 0, 1,
         {{'A', "service-time 0", {{8, 16, true, 0, {"1", "1"}, {"0", "1"}}}},
          {'E', "service-time 0", {{8, 32, true, 0, {"1", "1"}, {"0", "1"}}}}}),
     nullptr},
    {"a handler with arguments, first group disabled, switching to the second",
     "0 3 emc 1 0 2 2 round-robin 1 x 1 1 8:16 1000 round-robin 0 1 1 8:32 1000",
     "2 0 0 0 2 2 D 0 1 0 8:16 F 1 A 0 1 0 8:32 A 0",
     Map({}, "emc", {"1", "0"}, 2, 0, 0,
         {{'D', "round-robin 1 x", {{8, 16, false, 1, {"1000"}, {}}}},
          {'A', "round-robin 0", {{8, 32, true, 0, {"1000"}, {}}}}}),
     nullptr},
    {"no group, no path", "0 0 0 0", "2 0 0 0 0 0", Map({}, "", {}, 0, 0, 0, {}), nullptr},
    {"no group, as older kernels number it", "0 0 0 1", "2 0 0 0 0 1", Map({}, "", {}, 0, 0, 0, {}), nullptr},

    {"feature count past the end", "3 queue_if_no_path", "2 0 0 0 0 0", std::nullopt,
     "table: feature count 3 runs past the end"},
    {"path arguments past the end", "0 0 1 1 round-robin 0 1 2 8:16 1000", "2 0 0 0 1 1 A 0 1 0 8:16 A 0",
     std::nullopt, "table: group 1 path 1 argument count 2 runs past the end"},
    {"group count past the end", "0 0 2 1 round-robin 0 1 1 8:16 1000", "2 0 0 0 1 1 A 0 1 0 8:16 A 0",
     std::nullopt, "table: ends before group 2 selector"},
    {"a word for the next group", "0 0 1 x round-robin 0 1 1 8:16 1000", "", std::nullopt,
     "table: next group 'x' is not a number"},
    {"a signed count", "0 0 -1 1", "", std::nullopt, "table: group count '-1' is not a number"},
    {"a count beyond 32 bits", "4294967296 x", "", std::nullopt, "table: feature count '4294967296' is not a number"},
    {"a word for a fail count", "0 0 1 1 round-robin 0 1 1 8:16 1000", "2 0 0 0 1 1 A 0 1 0 8:16 A x",
     std::nullopt, "status: group 1 path 1 fail count 'x' is not a number"},
    {"a path named by name", "0 0 1 1 round-robin 0 1 1 sdb 1000", "", std::nullopt,
     "table: group 1 path 1 'sdb' is not major:minor"},
    {"a group state the kernel never writes", "0 0 1 1 round-robin 0 1 1 8:16 1000",
     "2 0 0 0 1 1 X 0 1 0 8:16 A 0", std::nullopt, "status: group 1 state 'X' is not one of A, E, D"},
    {"a group's letter for a path", "0 0 1 1 round-robin 0 1 1 8:16 1000", "2 0 0 0 1 1 A 0 1 0 8:16 E 0",
     std::nullopt, "status: group 1 path 1 state 'E' is not one of A, F"},
    {"trailing words in the table", "0 0 1 1 round-robin 0 1 1 8:16 1000 junk", "2 0 0 0 1 1 A 0 1 0 8:16 A 0",
     std::nullopt, "table: 1 word(s) left over after the last group, from 'junk'"},
    {"trailing words in the status", "0 0 1 1 round-robin 0 1 1 8:16 1000", "2 0 0 0 1 1 A 0 1 0 8:16 A 0 0 7",
     std::nullopt, "status: 2 word(s) left over after the last group, from '0'"},
    {"status features that are no numbers", "0 0 0 0", "2 on 0 0 0 0", std::nullopt,
     "status: features 'on 0' are not two numbers"},
    {"a next group that is none", "0 0 1 1 round-robin 0 1 1 8:16 1000", "2 0 0 0 1 2 A 0 1 0 8:16 A 0",
     std::nullopt, "status: next group 2 is none of its 1 groups"},
    {"a status of other paths", "0 0 1 1 round-robin 0 2 1 8:16 1000 8:32 1000",
     "2 0 0 0 1 1 A 0 2 0 8:16 A 0 8:48 A 0", std::nullopt,
     "table and status disagree: group 1 path 2 is 8:32 against 8:48"},
    {"nothing at all", "", "", std::nullopt, "table: ends before feature count"},
};

TEST(MultipathMap, ParsesTheKernelsTableAndStatus)
{
    for (const Scenario& scenario : kScenarios) {
        SCOPED_TRACE(scenario.name);
        const auto parse = ParseMultipathMap(scenario.table, scenario.status);
        if (scenario.map) {
            ASSERT_TRUE(parse.map) << parse.error;
            EXPECT_EQ("", parse.error);
            ExpectSameMap(*scenario.map, *parse.map);
        } else {
            EXPECT_FALSE(parse.map);
            EXPECT_EQ(scenario.error, parse.error);
        }
    }
}

// What a map's targets make of it: a map of another kind, or several
// targets, is no multipath map; a table that changed under the status, or
// params that do not parse, is a failure with the reason.
TEST(MultipathMap, OnlyOneMultipathTargetIsAMap)
{
    const MapTarget good{"multipath", "0 0 0 0"};
    const MapTarget goodStatus{"multipath", "2 0 0 0 0 0"};
    const MapTarget linear{"linear", "8:16 0"};
    const struct {
        const char* name;
        std::vector<MapTarget> table;
        std::vector<MapTarget> status;
        Outcome outcome;
        const char* reason;
    } cases[] = {
        {"multipath", {good}, {goodStatus}, Outcome::kMap, ""},
        {"no table loaded", {}, {}, Outcome::kNotMultipath, "no table is loaded"},
        {"linear", {linear}, {{"linear", ""}}, Outcome::kNotMultipath, "targets: linear"},
        {"two targets", {good, linear}, {goodStatus, {"linear", ""}}, Outcome::kNotMultipath,
         "targets: multipath, linear"},
        {"reloaded between", {good}, {{"linear", ""}}, Outcome::kFailed,
         "the map changed between its table and its status (now linear)"},
        {"params that do not parse", {{"multipath", "0 0 1"}}, {goodStatus}, Outcome::kFailed,
         "table: ends before next group"},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.name);
        const MapRead read = inventory::mapper::MapFromTargets(each.table, each.status);
        EXPECT_EQ(each.outcome, read.outcome);
        EXPECT_EQ(each.outcome == Outcome::kMap, read.map.has_value());
        EXPECT_EQ(each.reason, read.reason);
    }
}

}  // namespace

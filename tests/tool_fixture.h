// SPDX-License-Identifier: MIT
// What the tests of iscsi-inventory share: a tree of their own with the
// topology builder over it and a directory to run in, the sample trees of
// tests/data, the reviewed outputs in tests/data/expected, and the readers
// of the exposition format.
#ifndef SYSFSREADER_TESTS_TOOL_FIXTURE_H
#define SYSFSREADER_TESTS_TOOL_FIXTURE_H

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "iscsi_tree.h"
#include "sys_tree.h"
#include "tool_run.h"

class ToolTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        cwd = tree.Root() + "/cwd";
        mkdir(cwd.c_str(), 0755);
    }
    SysTree tree;
    IscsiTree iscsi{tree};
    std::string cwd;  // where the tool runs, and writes its log
};

// Lays out one of the trees of tests/data (make-sample-tree.sh,
// make-multipath-tree.sh) under tree.
inline bool MakeDataTree(const SysTree& tree, const std::string& script)
{
    return system(("bash " SOURCE_DIR "/tests/data/" + script + " " + tree.Root()).c_str()) == 0;
}

// A reviewed output of tests/data/expected.
inline std::string Expected(const std::string& name)
{
    const std::string path = SOURCE_DIR "/tests/data/expected/" + name;
    EXPECT_EQ(0, access(path.c_str(), R_OK)) << path;
    return ReadFile(path);
}

inline bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

// The names in dir, sorted.
inline std::vector<std::string> Names(const std::string& dir)
{
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

// An exposition without its HELP lines, whose text is prose; each HELP line
// must name the family whose TYPE line follows it.
inline std::string WithoutHelp(const std::string& exposition)
{
    std::istringstream lines(exposition);
    std::string line, withoutHelp, help;
    while (std::getline(lines, line)) {
        if (line.compare(0, 7, "# HELP ") == 0) {
            EXPECT_TRUE(help.empty()) << line;
            help = line.substr(7, line.find(' ', 7) - 7);
            continue;
        }
        if (line.compare(0, 7, "# TYPE ") == 0) {
            EXPECT_EQ(help, line.substr(7, line.find(' ', 7) - 7));
            help.clear();
        }
        withoutHelp += line + "\n";
    }
    EXPECT_TRUE(help.empty());
    return withoutHelp;
}

#endif

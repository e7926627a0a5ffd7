// SPDX-License-Identifier: MIT
// The file replacement, compiled in from its source: what the producer hands
// over, in any pieces, is the new file, with exactly the mode asked for; a
// producer or a write that fails leaves the old file and no other name.  The
// links on the way, signals and file systems without anonymous files are
// tested end to end (prometheus_form_test.cpp, MetricsFile).
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "file_size_limit.h"
#include "files/write_file.h"

namespace {

using inventory::PieceWriter;
using inventory::WriteFile;
constexpr base::PathTrust kDestination = base::PathTrust::Destination;

class WriteFileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/replace-file-test.XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(pattern));
        dir = pattern;
        file = dir + "/m.prom";
        std::ofstream(file) << "old\n";
    }
    void TearDown() override { std::filesystem::remove_all(dir); }
    std::string Content() const
    {
        std::ifstream in(file);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }
    std::vector<std::string> Names() const
    {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(dir))
            names.push_back(entry.path().filename());
        std::sort(names.begin(), names.end());
        return names;
    }
    std::string dir, file;
    const std::vector<std::string> justTheFile{"m.prom"};
};

TEST_F(WriteFileTest, EveryPieceInOrderWithExactlyTheModeAskedFor)
{
    const mode_t umaskWas = umask(077);
    std::string why = "stale";
    const int error = WriteFile(file, 0640, kDestination, [](const PieceWriter& write) {
        for (const std::string& piece : {std::string("a"), std::string(), std::string("bc\n"),
                                         std::string(100000, 'd')})
            if (int failed = write(piece))
                return failed;
        return 0;
    }, why);
    umask(umaskWas);
    EXPECT_EQ(0, error);
    EXPECT_EQ("", why);
    EXPECT_EQ("abc\n" + std::string(100000, 'd'), Content());
    struct stat st;
    ASSERT_EQ(0, stat(file.c_str(), &st));
    EXPECT_EQ(0100640u, st.st_mode);
    EXPECT_EQ(justTheFile, Names());
}

// A producer that cannot make the whole content: its error, and nothing
// of what it handed over reaches the file.
TEST_F(WriteFileTest, AProducerThatFailsLeavesTheOldFile)
{
    std::string why;
    const int error = WriteFile(file, 0644, kDestination, [](const PieceWriter& write) {
        write("half of it");
        return EIO;
    }, why);
    EXPECT_EQ(EIO, error);
    EXPECT_EQ(std::strerror(EIO), why);
    EXPECT_EQ("old\n", Content());
    EXPECT_EQ(justTheFile, Names());
}

// A write that fails (here at a file size limit) is the run's error even
// when the producer goes on regardless: every later write reports it too
// and writes nothing.
TEST_F(WriteFileTest, AFailedWriteStopsTheWriter)
{
    std::vector<int> results;
    std::string why;
    int error = 0;
    {
        FileSizeLimit limit(5000);
        ASSERT_TRUE(limit.Set());
        error = WriteFile(file, 0644, kDestination, [&results](const PieceWriter& write) {
            const std::string piece(4096, 'x');
            for (int i = 0; i < 3; ++i)
                results.push_back(write(piece));
            return 0;
        }, why);
    }
    EXPECT_EQ(EFBIG, error);
    EXPECT_EQ(std::strerror(EFBIG), why);
    EXPECT_EQ((std::vector<int>{0, EFBIG, EFBIG}), results);
    EXPECT_EQ("old\n", Content());
    EXPECT_EQ(justTheFile, Names());
}

// Names that lead to no file to replace: the producer is never asked.
TEST_F(WriteFileTest, PathsThatNameNoFile)
{
    bool asked = false;
    auto produce = [&asked](const PieceWriter&) {
        asked = true;
        return 0;
    };
    struct Bad {
        std::string path;
        int error;
    };
    for (const Bad& bad : {Bad{"", ENOENT}, Bad{dir + "/", EISDIR}, Bad{dir + "/.", EISDIR},
                           Bad{dir + "/..", EISDIR}, Bad{dir + "/missing/m.prom", ENOENT},
                           Bad{file + "/m.prom", ENOTDIR}}) {
        std::string why;
        EXPECT_EQ(bad.error, WriteFile(bad.path, 0644, kDestination, produce, why)) << bad.path;
        EXPECT_EQ(std::strerror(bad.error), why) << bad.path;
    }
    EXPECT_FALSE(asked);
    EXPECT_EQ("old\n", Content());
}

}  // namespace

// SPDX-License-Identifier: MIT
// The spool the forms keep text aside in, compiled in from its source: an
// unlinked file in $TMPDIR, memory where no such file can be made, memory for
// the rest when a write to the file fails; each way gives every byte back in
// order, and a file that lost what was written is an error, never less text.
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <algorithm>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "file_size_limit.h"
#include "files/spool.h"

namespace {

using inventory::Spool;
constexpr std::size_t kChunk = Spool::kChunk;

class SpoolTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/spool-test.XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(pattern));
        dir = pattern;
        const char* was = getenv("TMPDIR");
        if (was != nullptr)
            tmpdirWas = was;
        setenv("TMPDIR", dir.c_str(), 1);
    }
    void TearDown() override
    {
        if (tmpdirWas)
            setenv("TMPDIR", tmpdirWas->c_str(), 1);
        else
            unsetenv("TMPDIR");
        std::filesystem::remove_all(dir);
    }
    // The descriptor of a file this process holds open in dir, or -1.
    int FileIn(const std::string& where) const
    {
        for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
            std::error_code error;
            const std::string target = std::filesystem::read_symlink(entry.path(), error);
            if (!error && target.compare(0, where.size() + 1, where + "/") == 0)
                return std::stoi(entry.path().filename());
        }
        return -1;
    }
    std::string dir;
    std::optional<std::string> tmpdirWas;
};

// Text no piece of which looks like another: every byte value, NUL included.
std::string Text(std::size_t size, unsigned seed)
{
    std::string text(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        text[i] = static_cast<char>((i * 131 + seed * 7 + i / 251) & 0xFF);
    return text;
}

struct Replayed {
    int error = 0;
    std::string text;
    std::size_t largestPiece = 0;
};

Replayed Replay(const Spool& spool)
{
    Replayed replayed;
    replayed.error = spool.Replay([&](std::string_view piece) {
        replayed.text.append(piece);
        replayed.largestPiece = std::max(replayed.largestPiece, piece.size());
    });
    return replayed;
}

// Pieces of every size around a chunk, appended one after the other.
std::string AppendAround(Spool& spool)
{
    std::string all;
    unsigned seed = 0;
    for (std::size_t size : {std::size_t{1}, kChunk - 1, std::size_t{0}, kChunk + 1, std::size_t{7},
                             2 * kChunk, std::size_t{1000}, kChunk}) {
        const std::string piece = Text(size, ++seed);
        spool.Append(piece);
        all += piece;
    }
    return all;
}

TEST_F(SpoolTest, SmallTextStaysInMemoryWithoutAFile)
{
    Spool spool;
    EXPECT_TRUE(spool.Empty());
    spool.Append("");
    EXPECT_TRUE(spool.Empty());
    spool.Append(Text(kChunk - 1, 1));
    EXPECT_FALSE(spool.Empty());
    EXPECT_EQ(-1, FileIn(dir));
    Replayed replayed = Replay(spool);
    EXPECT_EQ(0, replayed.error);
    EXPECT_EQ(Text(kChunk - 1, 1), replayed.text);
}

TEST_F(SpoolTest, ToAnUnlinkedFileAndBackInOrder)
{
    Spool spool;
    const std::string all = AppendAround(spool);
    EXPECT_NE(-1, FileIn(dir));  // open, and nameless: the directory stays empty
    EXPECT_TRUE(std::filesystem::is_empty(dir));
    Replayed replayed = Replay(spool);
    EXPECT_EQ(0, replayed.error);
    EXPECT_TRUE(all == replayed.text);
    EXPECT_LE(replayed.largestPiece, kChunk);
    // Replaying twice gives the same.
    EXPECT_TRUE(all == Replay(spool).text);
}

TEST_F(SpoolTest, InMemoryWhereNoFileCanBeMade)
{
    setenv("TMPDIR", (dir + "/none").c_str(), 1);
    Spool spool;
    const std::string all = AppendAround(spool);
    EXPECT_EQ(-1, FileIn(dir));
    Replayed replayed = Replay(spool);
    EXPECT_EQ(0, replayed.error);
    EXPECT_TRUE(all == replayed.text);
}

// A file size limit that falls inside a chunk: the file keeps what it took,
// memory the rest, and the text comes back whole.
TEST_F(SpoolTest, AFailedWriteMovesTheRestToMemory)
{
    const rlim_t kLimit = kChunk + kChunk / 3;
    Spool spool;
    std::string all;
    int file = -1;
    Replayed replayed;
    {
        FileSizeLimit limit(kLimit);
        ASSERT_TRUE(limit.Set());
        for (unsigned i = 0; all.size() < 4 * kChunk; ++i) {
            const std::string piece = Text(1000 + i, i);
            spool.Append(piece);
            all += piece;
        }
        file = FileIn(dir);
        replayed = Replay(spool);
    }
    ASSERT_NE(-1, file);
    EXPECT_EQ(static_cast<off_t>(kLimit), lseek(file, 0, SEEK_END));
    EXPECT_EQ(0, replayed.error);
    EXPECT_EQ(all.size(), replayed.text.size());
    EXPECT_TRUE(all == replayed.text);
}

// What the file held is gone (another process truncated it): the replay
// says so instead of handing over less.
TEST_F(SpoolTest, AFileThatLostItsTextFailsTheReplay)
{
    Spool spool;
    const std::string all = AppendAround(spool);
    const int file = FileIn(dir);
    ASSERT_NE(-1, file);
    ASSERT_EQ(0, ftruncate(file, static_cast<off_t>(kChunk)));
    Replayed replayed = Replay(spool);
    EXPECT_EQ(EIO, replayed.error);
    EXPECT_EQ(all.substr(0, kChunk), replayed.text);
}

}  // namespace

// SPDX-License-Identifier: MIT
// A whole piece of text written to a descriptor, or the reason it was not.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <string>

#include "base/unique_fd.h"
#include "base/write_all.h"

namespace {

using base::UniqueFd;
using base::WriteAll;

struct Pipe {
    UniqueFd read, write;
    explicit Pipe(int flags = 0)
    {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC | flags) == 0) {
            read.reset(fds[0]);
            write.reset(fds[1]);
        }
    }
};

std::string Drain(int fd)
{
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;)
        text.append(buffer, static_cast<std::size_t>(n));
    return text;
}

TEST(WriteAllTest, WritesEverythingAndSaysHowMuch)
{
    Pipe pipe;
    ASSERT_TRUE(pipe.write);
    std::size_t written = 1;
    EXPECT_EQ(0, WriteAll(pipe.write.Get(), "one\ntwo\n", &written));
    EXPECT_EQ(8u, written);
    EXPECT_EQ(0, WriteAll(pipe.write.Get(), ""));
    pipe.write.reset();
    EXPECT_EQ("one\ntwo\n", Drain(pipe.read.Get()));
}

// A write that fails part of the way gives its errno and what did go out, so
// that a caller can keep the rest.
TEST(WriteAllTest, AFailureGivesItsErrnoAndWhatWentOut)
{
    Pipe full(O_NONBLOCK);
    ASSERT_TRUE(full.write);
    const long capacity = fcntl(full.write.Get(), F_GETPIPE_SZ);
    ASSERT_GT(capacity, 0);
    const std::string text(static_cast<std::size_t>(capacity) + 100, 'x');
    std::size_t written = 0;
    EXPECT_EQ(EAGAIN, WriteAll(full.write.Get(), text, &written));
    EXPECT_EQ(static_cast<std::size_t>(capacity), written);

    Pipe closed;
    ASSERT_TRUE(closed.write);
    closed.read.reset();
    written = 1;
    std::signal(SIGPIPE, SIG_IGN);
    EXPECT_EQ(EPIPE, WriteAll(closed.write.Get(), "lost", &written));
    EXPECT_EQ(0u, written);
    EXPECT_EQ(EBADF, WriteAll(-1, "nowhere"));
}

}  // namespace

// SPDX-License-Identifier: MIT
// The files the tool is given by name, run as root: a baseline read
// (--check --baseline) or saved, the metrics file and the trace log.  Each is
// refused, with the reason, where another user could have chosen what the
// name leads to, and nothing of a refused file reaches the output; a device,
// a FIFO or a standard stream at the name is written through, never
// replaced.  The trees are laid out here; the messages are written from the
// rules.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "base/unique_fd.h"
#include "tool_fixture.h"

namespace {

constexpr uid_t kOther = 65534;

// A baseline whose reading would show its version in the output: a refused
// file must never get that far.
const std::string kPlanted =
    R"({"format_version": "PLANTED-VERSION", "sessions": [], "luns": []})" "\n";

class NamedFiles : public ToolTest {
protected:
    void SetUp() override
    {
        ToolTest::SetUp();
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root: the rule of trust is root's, and files are given to another user";
        iscsi.Session(SessionSpec());
        char pattern[] = "/tmp/named-files-test.XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(pattern));
        outside = pattern;
    }
    void TearDown() override
    {
        if (!outside.empty())
            std::filesystem::remove_all(outside);
    }
    ToolRun Run(const std::string& dir, std::vector<std::string> args, RunOptions opts = {})
    {
        return RunTool(tree, dir, args, opts);
    }
    // A directory below the tree's root (or below root as given), with an
    // owner and a mode.
    std::string Dir(const std::string& relative, uid_t owner = 0, mode_t mode = 0755,
                    const std::string& root = {})
    {
        const std::string path = (root.empty() ? tree.Root() : root) + "/" + relative;
        EXPECT_EQ(0, mkdir(path.c_str(), mode)) << path;
        EXPECT_EQ(0, chmod(path.c_str(), mode));
        EXPECT_EQ(0, chown(path.c_str(), owner, owner));
        return path;
    }
    // Outside the tree served at /sys, where the run's current directory
    // shows by its own name (umockdev shows it relative to the tree).
    std::string outside;
};

// What another user could do to a name, and the refusal every use of it
// must give (empty: accepted), with @ for the tree's root and % for outside;
// a directory above the file's own refuses a baseline alone (read or saved),
// not the files that are only written (the metrics, the log).
struct Scenario {
    const char* what;
    std::function<std::string(std::string& runIn)> layout;  // the path to use
    std::string why;
    bool baselineOnly = false;
};

TEST_F(NamedFiles, RefusedWhereAnotherUserCouldChooseThem)
{
    const std::string kOtherUser = "another user (uid 65534)";
    auto file = [](const std::string& path, uid_t owner, mode_t mode) {
        std::ofstream(path) << kPlanted;
        EXPECT_EQ(0, chown(path.c_str(), owner, owner));
        EXPECT_EQ(0, chmod(path.c_str(), mode));
        return path;
    };
    const std::vector<Scenario> scenarios = {
        {"a file another user owns",
         [&](std::string&) { return file(Dir("a") + "/f", kOther, 0644); },
         "it belongs to " + kOtherUser},
        {"a file others can write",
         [&](std::string&) { return file(Dir("b") + "/f", 0, 0666); },
         "it is writable by others"},
        {"in another user's directory",
         [&](std::string&) { return file(Dir("c", kOther) + "/f", 0, 0644); },
         "the directory '@/c' belongs to " + kOtherUser},
        {"in a directory others can write",
         [&](std::string&) { return file(Dir("d", 0, 0777) + "/f", 0, 0644); },
         "the directory '@/d' is writable by others"},
        {"through a link another user planted",
         [&](std::string&) {
             file(Dir("e") + "/f", 0, 0644);
             const std::string link = Dir("l") + "/e";
             EXPECT_EQ(0, symlink("../e", link.c_str()));
             EXPECT_EQ(0, lchown(link.c_str(), kOther, kOther));
             return link + "/f";
         },
         "not following the symbolic link '@/l/e' (it belongs to uid 65534)"},
        // Another user could rename root's directory away and put an older
        // one of root's in its place; the Debian layout of the metrics
        // (/var/lib/prometheus of the collector's user) is this one.
        {"below a directory of another user",
         [&](std::string&) {
             Dir("u", kOther);
             return file(Dir("u/g") + "/f", 0, 0644);
         },
         "the directory '@/u' belongs to " + kOtherUser, true},
        {"a relative name, below a directory of another user",
         [&](std::string& runIn) {
             Dir("v", kOther, 0755, outside);
             runIn = Dir("v/h", 0, 0755, outside);
             file(runIn + "/f", 0, 0644);
             return std::string("f");
         },
         "the directory '%/v' belongs to " + kOtherUser, true},
        // Others may add names to a sticky directory, not take root's.
        {"root's, in a sticky directory",
         [&](std::string&) { return file(Dir("t", 0, 01777) + "/f", 0, 0644); }, ""},
    };
    auto at = [&](std::string text) {
        for (std::size_t i; (i = text.find_first_of("@%")) != std::string::npos;)
            text.replace(i, 1, text[i] == '@' ? tree.Root() : outside);
        return text;
    };
    for (const Scenario& scenario : scenarios) {
        SCOPED_TRACE(scenario.what);
        std::string dir = cwd;
        const std::string path = scenario.layout(dir);
        const std::string shown = path, full = path.front() == '/' ? path : dir + "/" + path;
        auto unseen = [&](const ToolRun& run) {
            EXPECT_EQ(std::string::npos, (run.out + run.err).find("PLANTED")) << run.out << run.err;
        };
        // Refused, a file is left as it was; accepted, it is the baseline
        // saved, then read.
        const std::string why = at(scenario.why);
        if (!why.empty()) {
            ToolRun check = Run(dir, {"--no-log", "--check", "--baseline=" + path});
            EXPECT_EQ(3, check.status);
            EXPECT_EQ(0u, check.out.find("ISCSI UNKNOWN - cannot use the baseline '" + shown + "': " + why + " | "))
                << check.out;
            unseen(check);
            ToolRun save = Run(dir, {"--no-log", "--save-baseline=" + path});
            EXPECT_EQ(1, save.status);
            EXPECT_EQ("iscsi-inventory: cannot save the baseline '" + shown + "': " + why + "\n", save.err);
            EXPECT_EQ(kPlanted, ReadFile(full));
        } else {
            EXPECT_EQ(0, Run(dir, {"--no-log", "--save-baseline=" + path}).status);
            ToolRun check = Run(dir, {"--no-log", "--check", "--baseline=" + path});
            EXPECT_EQ(0, check.status) << check.out;
        }
        if (!why.empty() && !scenario.baselineOnly) {
            ToolRun metrics = Run(dir, {"--no-log", "--prometheus=" + path});
            EXPECT_EQ(1, metrics.status);
            EXPECT_EQ("iscsi-inventory: cannot write '" + shown + "': " + why + "\n", metrics.err);
            ToolRun log = Run(dir, {"--log=" + path, "--summary"});
            EXPECT_EQ(1, log.status);
            EXPECT_EQ("iscsi-inventory: cannot open log '" + shown + "': " + why + "\n", log.err);
            unseen(metrics);
            unseen(log);
            EXPECT_EQ(kPlanted, ReadFile(full));
        } else {
            EXPECT_EQ(0, Run(dir, {"--no-log", "--prometheus=" + path}).status);
            EXPECT_EQ(0u, ReadFile(full).find("# HELP "));
            ToolRun log = Run(dir, {"--log=" + path, "--summary"});
            EXPECT_EQ(0, log.status) << log.err;
            EXPECT_EQ(0u, ReadFile(full).find("\n"));  // a trace starts with an empty line
        }
    }
}

// A device, a FIFO that a process reads and the standard streams are written
// through, as tee would; the node stays what it was.  The devices are made
// in a private /dev (a directory of the test's, mounted there in a private
// mount namespace), never the host's.
TEST_F(NamedFiles, DevicesFifosAndStandardStreamsAreWrittenThrough)
{
    const std::string dev = Dir("private-dev");
    ASSERT_EQ(0, mknod((dev + "/null").c_str(), S_IFCHR | 0666, makedev(1, 3)));
    ASSERT_EQ(0, mknod((dev + "/full").c_str(), S_IFCHR | 0666, makedev(1, 7)));
    ASSERT_EQ(0, symlink("/proc/self/fd/1", (dev + "/stdout").c_str()));
    ASSERT_EQ(0, symlink("/proc/self/fd/2", (dev + "/stderr").c_str()));
    {
        base::UniqueFd null(open((dev + "/null").c_str(), O_WRONLY));
        if (!null)
            GTEST_SKIP() << "devices cannot be opened on the scratch file system (nodev?): " << std::strerror(errno);
    }
    RunOptions inPrivate;
    inPrivate.binds = {{dev, "/dev"}};
    const std::string metrics = Run(cwd, {"--no-log", "--prometheus"}).out;
    const std::string baseline = "{\n"
                                 "  \"format_version\": \"1.0\",\n"
                                 "  \"sessions\": [\n"
                                 "    {\n"
                                 "      \"target\": \"iqn.2003-01.org.example:storage\",\n"
                                 "      \"portal\": \"192.0.2.10:3260\",\n"
                                 "      \"iface\": \"default\"\n"
                                 "    }\n"
                                 "  ],\n"
                                 "  \"luns\": []\n"
                                 "}\n";
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string out, err;
    };
    const std::vector<Case> cases = {
        {{"--save-baseline=/dev/null"}, 0, "Saved the baseline '/dev/null': 1 session, 0 LUNs\n", ""},
        {{"--prometheus=/dev/null"}, 0, "", ""},
        {{"--save-baseline=/dev/stdout"}, 0,
         baseline + "Saved the baseline '/dev/stdout': 1 session, 0 LUNs\n", ""},
        {{"--prometheus=/dev/stdout"}, 0, metrics, ""},
        {{"--prometheus=/dev/full"}, 1, "", "iscsi-inventory: cannot write '/dev/full': No space left on device\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.front());
        std::vector<std::string> args = c.args;
        args.insert(args.begin(), "--no-log");
        ToolRun run = Run(cwd, args, inPrivate);
        if (run.status == kNoNamespace)
            GTEST_SKIP() << "needs a private mount namespace (unshare -m), not available here";
        EXPECT_EQ(c.status, run.status);
        EXPECT_EQ(c.err, run.err);
        EXPECT_EQ(c.out, run.out);
    }
    ToolRun traced = Run(cwd, {"--log=/dev/stderr", "--summary"}, inPrivate);
    EXPECT_EQ(0, traced.status);
    EXPECT_NE(std::string::npos, traced.err.find("Entering SysfsReader::GetClsDeviceList"));
    struct stat st;
    for (const char* node : {"null", "full"})
        EXPECT_TRUE(lstat((dev + "/" + node).c_str(), &st) == 0 && S_ISCHR(st.st_mode)) << node;
    for (const char* link : {"stdout", "stderr"})
        EXPECT_TRUE(lstat((dev + "/" + link).c_str(), &st) == 0 && S_ISLNK(st.st_mode)) << link;

    // A FIFO: written to its reader (here the test, which holds it open
    // before the run), refused without one rather than waited on.
    const std::string fifo = cwd + "/fifo";
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    ToolRun unread = Run(cwd, {"--no-log", "--save-baseline=" + fifo});
    EXPECT_EQ(1, unread.status);
    EXPECT_EQ("iscsi-inventory: cannot save the baseline '" + fifo + "': no process reads the FIFO\n", unread.err);
    base::UniqueFd reader(open(fifo.c_str(), O_RDONLY | O_NONBLOCK));
    ASSERT_TRUE(reader);
    ToolRun read = Run(cwd, {"--no-log", "--prometheus=" + fifo});
    EXPECT_EQ(0, read.status) << read.err;
    std::string got(metrics.size() + 1, '\0');
    EXPECT_EQ(static_cast<ssize_t>(metrics.size()), ::read(reader.Get(), got.data(), got.size()));
    EXPECT_EQ(metrics + '\0', got);
    EXPECT_TRUE(lstat(fifo.c_str(), &st) == 0 && S_ISFIFO(st.st_mode));

    // A socket cannot be opened as a file: refused, and left as it is.
    const std::string socketPath = cwd + "/socket";
    base::UniqueFd listening(socket(AF_UNIX, SOCK_STREAM, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    ASSERT_LT(socketPath.size(), sizeof address.sun_path);
    std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);
    ASSERT_EQ(0, bind(listening.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address));
    ToolRun sock = Run(cwd, {"--no-log", "--prometheus=" + socketPath});
    EXPECT_EQ(1, sock.status);
    EXPECT_EQ("iscsi-inventory: cannot write '" + socketPath + "': it is a socket, which no file can be written to\n",
              sock.err);
    EXPECT_TRUE(lstat(socketPath.c_str(), &st) == 0 && S_ISSOCK(st.st_mode));
}

}  // namespace

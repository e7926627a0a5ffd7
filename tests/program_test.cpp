// SPDX-License-Identifier: MIT
// iscsi-inventory as a program, whatever its form: help, version and usage
// errors, where the trace log goes and which files it refuses, standard
// output that cannot be written, and a system without /proc or without sysfs.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "verdict/check_rules.h"
#include "tool_fixture.h"

namespace {

class Program : public ToolTest {};

TEST_F(Program, HelpVersionAndUsageErrorsScanNothing)
{
    tree.ClassDevice("iscsi_transport", "devices/virtual/iscsi_transport/tcp", false);
    for (const char* help : {"--help", "-h"}) {
        ToolRun run = RunTool(tree, cwd, {help});
        EXPECT_EQ(0, run.status) << help;
        EXPECT_EQ(0u, run.out.find("Usage: iscsi-inventory [OPTION]...\n")) << help;
        EXPECT_NE(std::string::npos, run.out.find("--no-log")) << help;
        EXPECT_EQ("", run.err) << help;
    }
    for (const char* version : {"--version", "-V"}) {
        ToolRun run = RunTool(tree, cwd, {version});
        EXPECT_EQ(0, run.status);
        EXPECT_EQ("iscsi-inventory (sysfsreader) " PROJECT_VERSION "\n", run.out);
    }
    const std::string hint = "Try 'iscsi-inventory --help' for more information.\n";
    struct Bad {
        std::vector<std::string> args;
        std::string message;  // the first line, under the program's name
    };
    for (const Bad& bad :
         {Bad{{"--bogus"}, "unrecognized option '--bogus'"},
          Bad{{"--no-log", "-x"}, "invalid option -- 'x'"},
          // Inside a cluster the option before is not the culprit.
          Bad{{"--json", "-hx"}, "invalid option -- 'x'"},
          Bad{{"foo"}, "unexpected argument 'foo'"},
          Bad{{"--json", "foo"}, "unexpected argument 'foo'"},
          Bad{{"-l"}, "option requires an argument -- 'l'"},
          Bad{{"--json", "--log"}, "option '--log' requires an argument"},
          Bad{{"--json=yes"}, "option '--json' doesn't allow an argument"},
          // The metrics file is for other users to read: no secret.
          Bad{{"--prometheus", "--show-secrets"},
              "option '--prometheus' cannot be combined with '--show-secrets'"},
          // Its file is named with '=' only: a separate word is an operand.
          Bad{{"--prometheus", "m.prom"}, "unexpected argument 'm.prom'"},
          // Two forms would leave one unsaid; one given twice is one.
          Bad{{"--luns", "--summary", "--luns"}, "options '--luns' and '--summary' name two forms of the output: give one"},
          Bad{{"--json", "--prometheus=m.prom"}, "options '--json' and '--prometheus' name two forms of the output: give one"},
          // A monitoring system shows standard output alone: there a usage
          // error is the plugin's UNKNOWN line too, and its status.
          Bad{{"--check", "--ignore=no-such-rule"}, "no rule named 'no-such-rule'"},
          Bad{{"--check", "--redundancy-lost=high"}, "invalid severity 'high' (warning or critical)"}}) {
        ToolRun run = RunTool(tree, cwd, bad.args);
        const bool plugin = bad.args[0] == "--check";
        EXPECT_EQ(plugin ? 3 : 2, run.status) << bad.args[0];
        EXPECT_EQ(plugin ? "ISCSI UNKNOWN - " + bad.message + "\n" : "", run.out) << bad.args[0];
        EXPECT_EQ(0u, run.err.find("iscsi-inventory: " + bad.message + "\nUsage: iscsi-inventory "))
            << run.err;
        EXPECT_EQ(run.err.size() - hint.size(), run.err.rfind(hint)) << run.err;
    }
    // Nothing was scanned: no run wrote the log.
    EXPECT_FALSE(Exists(cwd + "/SysReader.log"));
}

// The rules of --check are listed in one place: --help prints that list, the
// manual page's must be the same (names, order, severities), and --ignore
// takes those names alone.
TEST_F(Program, TheCheckRulesAreOneList)
{
    const std::string help = RunTool(tree, cwd, {"--help"}).out;
    std::vector<std::pair<std::string, std::string>> table, manual;
    for (std::size_t i = 0; i < inventory::kCheckRuleCount; ++i) {
        const inventory::CheckRule& rule = inventory::kCheckRules[i];
        table.emplace_back(rule.name, inventory::SeverityWords(rule.severity));
        const std::regex line("\n  " + std::string(rule.name) + " +" + table.back().second + " +" + rule.finds + "\n");
        EXPECT_TRUE(std::regex_search(help, line)) << rule.name;
        EXPECT_EQ(0, RunTool(tree, cwd, {"--no-log", "--check", std::string("--ignore=") + rule.name}).status);
    }
    EXPECT_EQ(3, RunTool(tree, cwd, {"--no-log", "--check", "--ignore=no-such-rule"}).status);
    const std::string page = ReadFile(SOURCE_DIR "/tool/iscsi-inventory.8");
    const std::size_t start = page.find("\n.SS Rules\n"), end = page.find("\n.SS ", start + 1);
    ASSERT_NE(std::string::npos, start);
    const std::string rules = page.substr(start, end - start);
    static const std::regex entry(R"re(\n\.TP\n\.BR ([a-z\\-]+) " \(([^)]*)\)")re");
    for (std::sregex_iterator it(rules.begin(), rules.end(), entry), last; it != last; ++it)
        manual.emplace_back(std::regex_replace((*it)[1].str(), std::regex(R"(\\-)"), "-"), (*it)[2]);
    EXPECT_EQ(table, manual);
}

TEST_F(Program, LogGoesWhereTheOptionsSay)
{
    tree.ClassDevice("iscsi_transport", "devices/virtual/iscsi_transport/tcp", false)
        .File("devices/virtual/iscsi_transport/tcp/caps", "0x39\n");
    const std::string inventory = "NAME TRANSPORT CLASS  :: tcp\n"
                                  "\tclassname:: \tiscsi_transport\n"
                                  "\tpath:: \t/sys/devices/virtual/iscsi_transport/tcp\n"
                                  "\tcaps:: \t0x39\n";
    const std::string traceStart =
        Trace({"Entering SysfsReader::GetClsDeviceList", kMountedEnter, kMountedLeave});
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--log=trace.log"}, {"-l", "trace.log"}, {"-ltrace.log"},
          {"--no-log", "--log", "trace.log"}}) {
        unlink((cwd + "/trace.log").c_str());
        ToolRun run = RunTool(tree, cwd, args);
        EXPECT_EQ(0, run.status);
        EXPECT_EQ(inventory, run.out);
        EXPECT_EQ(0u, MaskHeaders(ReadFile(cwd + "/trace.log")).find(traceStart)) << args[0];
        EXPECT_FALSE(Exists(cwd + "/SysReader.log"));
    }
    ToolRun quiet = RunTool(tree, cwd, {"-l", "other.log", "--no-log"});
    EXPECT_EQ(inventory, quiet.out);
    EXPECT_FALSE(Exists(cwd + "/other.log"));
    EXPECT_FALSE(Exists(cwd + "/SysReader.log"));

    // A log asked for by name that cannot be opened safely ends the run
    // before the scan; the file a planted link names is left alone.
    std::string victim = tree.Root() + "/victim";
    std::ofstream(victim) << "precious\n";
    ASSERT_EQ(0, symlink(victim.c_str(), (cwd + "/link.log").c_str()));
    ToolRun linked = RunTool(tree, cwd, {"--log=link.log"});
    EXPECT_EQ(1, linked.status);
    EXPECT_EQ("", linked.out);
    EXPECT_EQ("iscsi-inventory: cannot open log 'link.log': it is a symbolic link\n", linked.err);
    EXPECT_EQ("precious\n", ReadFile(victim));
    // A FIFO nobody reads would block an ordinary open for good.
    ASSERT_EQ(0, mkfifo((cwd + "/fifo.log").c_str(), 0644));
    ToolRun fifo = RunTool(tree, cwd, {"-l", "fifo.log"});
    EXPECT_EQ(1, fifo.status);
    EXPECT_EQ(0u, fifo.err.find("iscsi-inventory: cannot open log 'fifo.log': "));
    // An empty name names no file; the message still shows where it ends.
    ToolRun empty = RunTool(tree, cwd, {"--log="});
    EXPECT_EQ(1, empty.status);
    EXPECT_EQ("iscsi-inventory: cannot open log '': No such file or directory\n", empty.err);
    EXPECT_FALSE(Exists(cwd + "/SysReader.log"));
}

TEST_F(Program, LogIsTruncatedAndNeverFollowsALink)
{
    tree.ClassDevice("iscsi_transport", "devices/virtual/iscsi_transport/tcp", false);
    std::string log = cwd + "/SysReader.log";
    {
        std::ofstream(log) << "old run\n";
    }
    ToolRun first = RunTool(tree, cwd);
    std::string trace = ReadFile(log);
    EXPECT_EQ(std::string::npos, trace.find("old run"));
    EXPECT_EQ('\n', trace.at(0));
    RunTool(tree, cwd);
    EXPECT_EQ(MaskHeaders(trace), MaskHeaders(ReadFile(log)));

    // A link planted where the log goes: the file it names is left alone and
    // the inventory is printed all the same.
    std::string victim = tree.Root() + "/victim";
    std::ofstream(victim) << "precious\n";
    unlink(log.c_str());
    ASSERT_EQ(0, symlink(victim.c_str(), log.c_str()));
    ToolRun planted = RunTool(tree, cwd);
    EXPECT_EQ(0, planted.status);
    EXPECT_EQ(first.out, planted.out);
    EXPECT_EQ("precious\n", ReadFile(victim));
    // Nor a hard link to someone else's file.
    unlink(log.c_str());
    ASSERT_EQ(0, link(victim.c_str(), log.c_str()));
    RunTool(tree, cwd);
    EXPECT_EQ("precious\n", ReadFile(victim));
}

// A log file that another user prepared is neither emptied nor written: run
// by root in that user's directory, the trace would land where they read
// it.  The inventory goes on without it; a log named with --log is refused.
// One that belongs to the user running keeps its mode.
TEST_F(Program, ALogPlantedByAnotherUserIsRefused)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to give a file to another user";
    tree.ClassDevice("iscsi_transport", "devices/virtual/iscsi_transport/tcp", false);
    ToolRun clean = RunTool(tree, cwd, {"--no-log"});
    const std::string log = cwd + "/SysReader.log";
    std::ofstream(log) << "planted\n";
    ASSERT_EQ(0, chown(log.c_str(), 65534, 65534));
    ToolRun run = RunTool(tree, cwd);
    EXPECT_EQ(0, run.status);
    EXPECT_EQ(clean.out, run.out);
    EXPECT_EQ("iscsi-inventory: not writing the log 'SysReader.log': it belongs to another user "
              "(uid 65534)\n",
              run.err);
    EXPECT_EQ("planted\n", ReadFile(log));
    ToolRun named = RunTool(tree, cwd, {"--log=SysReader.log"});
    EXPECT_EQ(1, named.status);
    EXPECT_EQ("planted\n", ReadFile(log));

    ASSERT_EQ(0, chown(log.c_str(), 0, 0));
    ASSERT_EQ(0, chmod(log.c_str(), 0640));
    ToolRun own = RunTool(tree, cwd);
    EXPECT_EQ("", own.err);
    struct stat st;
    ASSERT_EQ(0, stat(log.c_str(), &st));
    EXPECT_EQ(0640u, st.st_mode & 07777);
    EXPECT_EQ(std::string::npos, ReadFile(log).find("planted"));
}

// Containers and early boot may have no /proc: the inventory is the same, and
// the log is still truncated in place, never through a link.
TEST_F(Program, WithoutProcTheSameInventoryAndASafeFreshLog)
{
    tree.ClassDevice("iscsi_transport", "devices/virtual/iscsi_transport/tcp", false)
        .File("devices/virtual/iscsi_transport/tcp/caps", "0x39\n");
#ifdef TOOL_NEEDS_PROC
    GTEST_SKIP() << "the sanitizer runtime built into the tool reads /proc as it starts";
#endif
    std::string log = cwd + "/SysReader.log";
    std::ofstream(log) << std::string(5000, 'x') << "old run\n";
    ToolRun run = RunToolWithoutProc(tree, cwd);
    if (run.status == kNoNamespace)
        GTEST_SKIP() << "needs root and a private mount namespace (unshare -m), not available here";
    EXPECT_EQ(0, run.status);
    EXPECT_EQ("", run.err);
    EXPECT_EQ("NAME TRANSPORT CLASS  :: tcp\n"
              "\tclassname:: \tiscsi_transport\n"
              "\tpath:: \t/sys/devices/virtual/iscsi_transport/tcp\n"
              "\tcaps:: \t0x39\n",
              run.out);
    std::string trace = ReadFile(log);
    EXPECT_EQ(std::string::npos, trace.find("old run"));
    EXPECT_EQ(std::string::npos, trace.find("xxx"));
    EXPECT_EQ(0u, MaskHeaders(trace).find(Trace({"Entering SysfsReader::GetClsDeviceList",
                                                 kMountedEnter, kMountedLeave})));

    std::string victim = tree.Root() + "/victim";
    std::ofstream(victim) << "precious\n";
    unlink(log.c_str());
    ASSERT_EQ(0, symlink(victim.c_str(), log.c_str()));
    ToolRun planted = RunToolWithoutProc(tree, cwd);
    EXPECT_EQ(run.out, planted.out);
    EXPECT_EQ("precious\n", ReadFile(victim));
}

TEST_F(Program, UnwritableDirectoryStillGetsTheInventory)
{
    tree.ClassDevice("iscsi_transport", "devices/virtual/iscsi_transport/tcp", false);
    ToolRun writable = RunTool(tree, cwd);
    unlink((cwd + "/SysReader.log").c_str());
    chmod(cwd.c_str(), 0555);
    chmod(tree.Root().c_str(), 0755);
    // Root writes anywhere; run as nobody to be refused for real.
    ToolCopy copy;
    ASSERT_TRUE(copy.Ok());
    RunOptions asNobody;
    asNobody.uid = 65534;
    ToolRun run = geteuid() == 0 ? copy.Run(tree, cwd, asNobody) : RunTool(tree, cwd);
    EXPECT_EQ(0, run.status);
    EXPECT_EQ("", run.err);
    EXPECT_EQ(writable.out, run.out);
    EXPECT_NE("", run.out);
    EXPECT_NE(0, access((cwd + "/SysReader.log").c_str(), F_OK));
}

TEST_F(Program, OutputThatCannotBeWrittenIsAFailure)
{
    tree.ClassDevice("iscsi_transport", "devices/virtual/iscsi_transport/tcp", false);
    RunOptions closed;
    closed.out = Stdout::Closed;
    ToolRun run = RunTool(tree, cwd, {}, closed);
    EXPECT_EQ(1, run.status);
    EXPECT_EQ("iscsi-inventory: write error: Bad file descriptor\n", run.err);
    // The log did not take the free descriptor 1: it holds the trace alone.
    std::string log = ReadFile(cwd + "/SysReader.log");
    EXPECT_EQ(std::string::npos, log.find("NAME TRANSPORT CLASS"));
    EXPECT_EQ(0u, MaskHeaders(log).find(Trace({"Entering SysfsReader::GetClsDeviceList"})));

    RunOptions full;
    full.out = Stdout::Full;
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{}, {"--json"}, {"--prometheus"}, {"--help"}, {"--version"}}) {
        run = RunTool(tree, cwd, args, full);
        EXPECT_EQ(1, run.status);
        EXPECT_EQ("iscsi-inventory: write error: No space left on device\n", run.err);
    }

    // A reader that went away ends the run by the signal, as for any tool.
    RunOptions pipe;
    pipe.out = Stdout::BrokenPipe;
    run = RunTool(tree, cwd, {}, pipe);
    EXPECT_EQ(SIGPIPE, run.signal);

    // Nothing to print: nothing failed.
    SysTree empty;
    empty.Dir("class/net");
    run = RunTool(empty, cwd, {}, closed);
    EXPECT_EQ(0, run.status);
    EXPECT_EQ("", run.err);
}

// Standard output a file that a file size limit cuts: what fits is written,
// and the run ends with a message and exit status 1 rather than by SIGXFSZ.
TEST_F(Program, AFileSizeLimitCutsNoOutputSilently)
{
    // One bare session: its text fits under the limit below, its trace does not.
    tree.ClassDevice("iscsi_session", "devices/platform/host2/session2/iscsi_session/session2")
        .File("devices/platform/host2/session2/iscsi_session/session2/state", "LOGGED_IN\n");
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--prometheus"}, {"--json"}, {"--sessions"}}) {
        std::vector<std::string> quiet = args;
        quiet.push_back("--no-log");
        const std::string whole = RunTool(tree, cwd, quiet).out;
        RunOptions limited;
        limited.fileSize = whole.size() / 2;
        ToolRun run = RunTool(tree, cwd, quiet, limited);
        EXPECT_EQ(0, run.signal) << args[0];
        EXPECT_EQ(1, run.status) << args[0];
        EXPECT_EQ("iscsi-inventory: write error: File too large\n", run.err);
        EXPECT_EQ(whole.substr(0, limited.fileSize), run.out);
    }

    // The trace log cut short is named; the inventory, whole, stands.
    const std::string whole = RunTool(tree, cwd).out;
    const std::string log = ReadFile(cwd + "/SysReader.log");
    RunOptions limited;
    limited.fileSize = 1024;
    ASSERT_LT(whole.size(), limited.fileSize);
    ASSERT_GT(log.size(), limited.fileSize);
    ToolRun run = RunTool(tree, cwd, {}, limited);
    EXPECT_EQ(0, run.signal);
    EXPECT_EQ(0, run.status);
    EXPECT_EQ("iscsi-inventory: the log 'SysReader.log' is cut short: a write to it failed\n",
              run.err);
    EXPECT_EQ(whole, run.out);
    EXPECT_EQ(limited.fileSize, ReadFile(cwd + "/SysReader.log").size());
}

// Sysfs gone from the mount namespace, and the user may not mount it.
TEST_F(Program, SysfsAbsentAndNotMountableIsAFailure)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to unmount /sys in a private mount namespace";
    ToolCopy copy;
    ASSERT_TRUE(copy.Ok());
    chmod(tree.Root().c_str(), 0755);
    RunOptions opts;
    opts.withoutSysfs = true;
    opts.uid = 65534;
    // Nor is a metrics file written, where one could be.
    const std::string writable = tree.Root() + "/metrics";
    ASSERT_EQ(0, mkdir(writable.c_str(), 0777));
    ASSERT_EQ(0, chmod(writable.c_str(), 0777));
    const std::string metrics = writable + "/m.prom";
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{}, {"--json"}, {"--prometheus=" + metrics}}) {
        ToolRun run = copy.Run(tree, cwd, opts, args);
        if (run.status == kNoNamespace)
            GTEST_SKIP() << "needs a private mount namespace (unshare -m), not available here";
        EXPECT_EQ(1, run.status);
        EXPECT_EQ("", run.out);
        EXPECT_EQ("iscsi-inventory: sysfs is not mounted at /sys and cannot be mounted "
                  "(mounting it needs root)\n",
                  run.err);
    }
    EXPECT_FALSE(Exists(metrics));
}

}  // namespace

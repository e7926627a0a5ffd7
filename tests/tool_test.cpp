// SPDX-License-Identifier: MIT
// iscsi-inventory end to end: its standard output against text written by
// hand from the output rules, its log file, and its exit status.
#include <fcntl.h>
#include <grp.h>
#include <pty.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "sys_tree.h"
#include "tool_run.h"

namespace {

class Inventory : public ::testing::Test {
protected:
    void SetUp() override
    {
        cwd = tree.Root() + "/cwd";
        mkdir(cwd.c_str(), 0755);
    }
    SysTree tree;
    std::string cwd;
};

TEST_F(Inventory, PrintsEveryPassInByteOrder)
{
    tree.BusDevice("scsi", "devices/platform/host10")
        .ClassDevice("iscsi_host", "devices/platform/host10/iscsi_host/host10")
        .File("devices/platform/host10/iscsi_host/host10/ipaddress", "10.0.0.1\n")
        .BusDevice("scsi", "devices/platform/host2")
        .ClassDevice("iscsi_host", "devices/platform/host2/iscsi_host/host2")
        .File("devices/platform/host2/iscsi_host/host2/ipaddress", "\n")
        .ClassDevice("iscsi_transport", "devices/virtual/iscsi_transport/tcp", false)
        .File("devices/virtual/iscsi_transport/tcp/caps", "0x39\n")
        .ClassDevice("iscsi_connection",
                     "devices/platform/host2/session2/connection2:0/iscsi_connection/connection2:0")
        .File("devices/platform/host2/session2/connection2:0/iscsi_connection/connection2:0/port",
              "3260\n")
        .ClassDevice("scsi_host", "devices/platform/host2/scsi_host/host2");
    ToolRun run = RunTool(tree, cwd);
    EXPECT_EQ(0, run.status);
    EXPECT_EQ("", run.err);
    EXPECT_EQ(
        "NAME DEVICE CLASS:: host10\n"
        "\tclassname:: \tiscsi_host\n"
        "\tpath:: \t/sys/devices/platform/host10/iscsi_host/host10\n"
        "\tipaddress:: \t10.0.0.1\n"
        "\tbus:: \tscsi\n"
        "\tbus_id:: \thost10\n"
        "\tdriver_name:: \tunknown\n"
        "\tname:: \thost10\n"
        "\tpath:: \t/sys/devices/platform/host10\n"
        "NAME DEVICE CLASS:: host2\n"
        "\tclassname:: \tiscsi_host\n"
        "\tpath:: \t/sys/devices/platform/host2/iscsi_host/host2\n"
        "\tipaddress:: \t\n"
        "\tbus:: \tscsi\n"
        "\tbus_id:: \thost2\n"
        "\tdriver_name:: \tunknown\n"
        "\tname:: \thost2\n"
        "\tpath:: \t/sys/devices/platform/host2\n"
        "NAME TRANSPORT CLASS  :: tcp\n"
        "\tclassname:: \tiscsi_transport\n"
        "\tpath:: \t/sys/devices/virtual/iscsi_transport/tcp\n"
        "\tcaps:: \t0x39\n"
        "NAME CONNECTION CLASS :: connection2:0\n"
        "\tclassname:: \tiscsi_connection\n"
        "\tpath:: \t/sys/devices/platform/host2/session2/connection2:0/iscsi_connection/connection2:0\n"
        "\tport:: \t3260\n"
        "\tbus:: \t\n"
        "\tbus_id:: \tconnection2:0\n"
        "\tdriver_name:: \tunknown\n"
        "\tname:: \tconnection2:0\n"
        "\tpath:: \t/sys/devices/platform/host2/session2/connection2:0\n",
        run.out);
}

TEST_F(Inventory, NothingToShowPrintsNothing)
{
    tree.Dir("class/net");
    ToolRun run = RunTool(tree, cwd);
    EXPECT_EQ(0, run.status);
    EXPECT_EQ("", run.out);
    EXPECT_EQ("", run.err);
    std::string log = MaskHeaders(ReadFile(cwd + "/SysReader.log"));
    EXPECT_EQ(0u, log.find(Trace({"Entering SysfsReader::GetClsDeviceList", kMountedEnter,
                                  kMountedLeave,
                                  "Leaving CSysfsReader::GetClsDeviceList, Device class not found: "
                                  "iscsi_host"})));
}

TEST_F(Inventory, IscsiHostEntryListsDirectoriesUnderEveryPath)
{
    const std::string dev = "devices/platform/iscsi";
    tree.BusDevice("platform", dev)
        .ClassDevice("scsi_host", dev + "/scsi_host/iscsi")
        .File(dev + "/scsi_host/iscsi/path", "/sys/" + dev + "/portals\n")
        .File(dev + "/scsi_host/iscsi/sub/a", "1\n")
        .File(dev + "/portals/p0/port", "3260\n")
        .File(dev + "/portals/p1/port", "3261\n")
        .File(dev + "/power/control", "auto\n")
        .BusDevice("scsi", "devices/platform/host0")
        .ClassDevice("scsi_host", "devices/platform/host0/scsi_host/host0");
    ToolRun run = RunTool(tree, cwd);
    EXPECT_EQ(0, run.status);
    // Every listing walks all directories found so far; the device directory's
    // own listing stops at once at portals/, which holds no attribute itself.
    const std::string sub = "\t Directory ::sub\n\t Attributes ::\n\t\ta::\t1\n";
    const std::string portals =
        "\t Directory ::p0\n\t Attributes ::\n\t\tport::\t3260\n"
        "\t Directory ::p1\n\t Attributes ::\n\t\tport::\t3261\n";
    EXPECT_EQ("NAME ISCSI HOST:: iscsi\n"
              "\tclassname:: \tscsi_host\n"
              "\tpath:: \t/sys/" + dev + "/scsi_host/iscsi\n" + sub +
              "\tpath:: \t/sys/" + dev + "/portals\n" + portals + sub +
              "\tbus:: \tplatform\n"
              "\tbus_id:: \tiscsi\n"
              "\tdriver_name:: \tunknown\n"
              "\tname:: \tiscsi\n"
              "\tpath:: \t/sys/" + dev + "\n" + portals + sub,
              run.out);
}

TEST_F(Inventory, LogIsTruncatedAndNeverFollowsALink)
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

// Containers and early boot may have no /proc: the inventory is the same, and
// the log is still truncated in place, never through a link.
TEST_F(Inventory, WithoutProcTheSameInventoryAndASafeFreshLog)
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

TEST_F(Inventory, UnwritableDirectoryStillGetsTheInventory)
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

// A copy of a real kernel's iSCSI objects: both connections under their own
// names, write-only files with an empty value, the hosts on the scsi bus.
TEST_F(Inventory, RealKernelTree)
{
    ASSERT_EQ(0, system(("tar xzf " SOURCE_DIR "/tests/data/real-iscsi-loggedin.tar.gz -C " +
                         tree.Root()).c_str()));
    ToolRun run = RunTool(tree, cwd);
    EXPECT_EQ(0, run.status);
    for (const std::string line :
         {"NAME CONNECTION CLASS :: connection1:0\n", "NAME CONNECTION CLASS :: connection2:0\n",
          "NAME TRANSPORT CLASS  :: tcp\n", "NAME SESSION CLASS :: session2\n",
          "NAME DEVICE CLASS:: host1\n", "\tbus:: \tscsi\n", "\tpersistent_port:: \t3260\n"})
        EXPECT_NE(std::string::npos, run.out.find(line)) << line;
    EXPECT_EQ(std::string::npos, run.out.find("CLASS :: 0\n"));
    EXPECT_EQ(std::string::npos, run.out.find("NAME ISCSI HOST"));
}

// The example program: every device of the buses asked for, with driver,
// PCI address and SCSI address.
TEST_F(Inventory, SysfsBusesListsDevicesWithTheirAddresses)
{
    const std::string hba = "devices/pci0000:00/0000:00:1f.2";
    tree.BusDevice("pci", hba)
        .Bind("pci", "ahci", hba)
        .BusDevice("scsi", hba + "/host10")
        .BusDevice("scsi", hba + "/host10/target10:0:0")
        .BusDevice("scsi", hba + "/host10/target10:0:0/10:0:0:0")
        .Bind("scsi", "sd", hba + "/host10/target10:0:0/10:0:0:0");
    ToolRun run = RunProgram(EXAMPLE_PATH, {"-l", "buses.log", "pci", "scsi", "usb"}, tree, cwd);
    EXPECT_EQ(0, run.status);
    EXPECT_EQ("", run.err);
    const std::string sys = "/sys/" + hba;
    EXPECT_EQ("pci: 1 device\n"
              "  0000:00:1f.2 driver=ahci pci=0000:00:1f.2 path=" + sys + "\n"
              "scsi: 3 devices\n"
              "  10:0:0:0 driver=sd pci=0000:00:1f.2 controller=10 bus=0 target=0 lun=0 path=" +
                  sys + "/host10/target10:0:0/10:0:0:0\n"
              "  host10 driver=- pci=0000:00:1f.2 path=" + sys + "/host10\n"
              "  target10:0:0 driver=- pci=0000:00:1f.2 path=" + sys + "/host10/target10:0:0\n"
              "usb: not present\n",
              run.out);
    EXPECT_NE(std::string::npos,
              ReadFile(cwd + "/buses.log").find("Leaving CSysfsReader::GetDeviceList"));

    run = RunProgram(EXAMPLE_PATH, {"firewire"}, tree, cwd);
    EXPECT_EQ(2, run.status);
    EXPECT_EQ("", run.out);
    EXPECT_NE("", run.err);
}


// The PCI address is the kernel's whole name, domain included: the same
// bus/device/function in two domains stays apart, a VMD domain keeps its five
// digits, and the address is the last one in the path even where an earlier
// one in another domain ends the same way; look-alikes after it are skipped,
// and a directory named like a PCI device that the PCI bus does not list
// names none.
TEST_F(Inventory, SysfsBusesPrintsThePciDomain)
{
    const std::string vmd = "devices/pci0000:00/0000:00:0e.0";
    const std::string nvme = vmd + "/pci10000:e0/10000:e0:1d.0/10000:e1:00.0";
    const std::string port = vmd + "/pci10000:00/10000:00:0e.0";
    const std::string other = "devices/pci0001:00/0001:00:0e.0";
    tree.BusDevice("pci", vmd)
        .BusDevice("pci", vmd + "/pci10000:e0/10000:e0:1d.0")
        .BusDevice("pci", nvme)
        .Bind("pci", "nvme", nvme)
        .BusDevice("pci", port)
        .BusDevice("pci", other)
        .BusDevice("usb", other + "/usb1")
        .BusDevice("usb", other + "/usb1/1-1/0001:00:20.0/1-1:1.0")
        .BusDevice("usb", "devices/pci0002:00/0002:00:01.0/usb2");
    ToolRun run = RunProgram(EXAMPLE_PATH, {"pci", "usb"}, tree, cwd);
    EXPECT_EQ(0, run.status);
    EXPECT_EQ("", run.err);
    EXPECT_EQ("pci: 5 devices\n"
              "  0000:00:0e.0 driver=- pci=0000:00:0e.0 path=/sys/" + vmd + "\n"
              "  0001:00:0e.0 driver=- pci=0001:00:0e.0 path=/sys/" + other + "\n"
              "  10000:00:0e.0 driver=- pci=10000:00:0e.0 path=/sys/" + port + "\n"
              "  10000:e0:1d.0 driver=- pci=10000:e0:1d.0 path=/sys/" + vmd +
                  "/pci10000:e0/10000:e0:1d.0\n"
              "  10000:e1:00.0 driver=nvme pci=10000:e1:00.0 path=/sys/" + nvme + "\n"
              "usb: 3 devices\n"
              "  1-1:1.0 driver=- pci=0001:00:0e.0 path=/sys/" + other +
                  "/usb1/1-1/0001:00:20.0/1-1:1.0\n"
              "  usb1 driver=- pci=0001:00:0e.0 path=/sys/" + other + "/usb1\n"
              "  usb2 driver=- path=/sys/devices/pci0002:00/0002:00:01.0/usb2\n",
              run.out);
}

// SCSI devices named by their address come first, ordered by host, channel,
// target and LUN as numbers (of any length; equal numbers written apart
// byte-wise); hosts, targets and other names follow byte-wise.
TEST_F(Inventory, SysfsBusesOrdersScsiAddressesAsNumbers)
{
    const std::vector<std::string> names = {
        "host2", "2:0:0:10", "target2:0:10", "2:0:0:2", "10:0:0:0", "2:1:0:0", "1:0:0:x",
        "2:0:1:0", "host10", "2:0:0:18446744073709551615", "2:0:0:02", "target2:0:0",
        "2:0:0:9999999999999999999", "0:0:0:0", "1:0:0:", "1:0:0:0:0", "2:0:0"};
    for (const std::string& name : names)
        tree.BusDevice("scsi", "devices/platform/scsi/" + name);
    ToolRun run = RunProgram(EXAMPLE_PATH, {"scsi"}, tree, cwd);
    EXPECT_EQ(0, run.status);
    std::istringstream lines(run.out);
    std::string line;
    std::getline(lines, line);
    EXPECT_EQ("scsi: 17 devices", line);
    std::vector<std::string> listed;
    while (std::getline(lines, line))
        listed.push_back(line.substr(2, line.find(' ', 2) - 2));
    EXPECT_EQ((std::vector<std::string>{
                  "0:0:0:0", "2:0:0:02", "2:0:0:2", "2:0:0:10", "2:0:0:9999999999999999999",
                  "2:0:0:18446744073709551615", "2:0:1:0", "2:1:0:0", "10:0:0:0",
                  "1:0:0:", "1:0:0:0:0", "1:0:0:x", "2:0:0", "host10", "host2", "target2:0:0",
                  "target2:0:10"}),
              listed);
    // Only the SCSI bus is reordered: elsewhere a bus id is listed byte-wise.
    tree.BusDevice("usb", "devices/platform/usb/1-10").BusDevice("usb", "devices/platform/usb/1-9");
    run = RunProgram(EXAMPLE_PATH, {"usb"}, tree, cwd);
    EXPECT_EQ("usb: 2 devices\n"
              "  1-10 driver=- path=/sys/devices/platform/usb/1-10\n"
              "  1-9 driver=- path=/sys/devices/platform/usb/1-9\n",
              run.out);
}


using nlohmann::json;

bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

TEST_F(Inventory, HelpVersionAndUsageErrorsScanNothing)
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
          Bad{{"--prometheus", "m.prom"}, "unexpected argument 'm.prom'"}}) {
        ToolRun run = RunTool(tree, cwd, bad.args);
        EXPECT_EQ(2, run.status) << bad.args[0];
        EXPECT_EQ("", run.out) << bad.args[0];
        EXPECT_EQ(0u, run.err.find("iscsi-inventory: " + bad.message + "\nUsage: iscsi-inventory "))
            << run.err;
        EXPECT_EQ(run.err.size() - hint.size(), run.err.rfind(hint)) << run.err;
    }
    // Nothing was scanned: no run wrote the log.
    EXPECT_FALSE(Exists(cwd + "/SysReader.log"));
}

TEST_F(Inventory, LogGoesWhereTheOptionsSay)
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

TEST_F(Inventory, OutputThatCannotBeWrittenIsAFailure)
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

// Sysfs gone from the mount namespace, and the user may not mount it.
TEST_F(Inventory, SysfsAbsentAndNotMountableIsAFailure)
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

TEST_F(Inventory, JsonWithNothingToShow)
{
    tree.Dir("class/net");
    ToolRun run = RunTool(tree, cwd, {"--json", "--no-log"});
    EXPECT_EQ(0, run.status);
    EXPECT_EQ("", run.err);
    EXPECT_EQ(json::parse(R"({"format_version": "1.2", "iscsi_host": [], "iscsi_transport": [],
                              "iscsi_connection": [], "iscsi_session": [],
                              "iscsi_scsi_host": null, "sessions": [], "luns": [],
                              "errors": []})"),
              json::parse(run.out));
    // The keys come in the order of the text output's passes.
    std::size_t last = 0;
    for (const char* key :
         {"iscsi_host", "iscsi_transport", "iscsi_connection", "iscsi_session", "iscsi_scsi_host"}) {
        std::size_t at = run.out.find(key);
        EXPECT_LT(last, at) << key;
        last = at;
    }
}

// Every part of the document, with the bytes sysfs may hold that JSON
// strings cannot: invalid UTF-8 (stray, overlong, surrogate), a backslash,
// control characters, a newline that would forge a heading in the text.
TEST_F(Inventory, JsonDocumentCarriesEveryByteAndEachSessionsDisks)
{
    const std::string host = "devices/platform/host2";
    const std::string session = host + "/session2";
    tree.BusDevice("scsi", host)
        .File(host + "/uevent", "DEVTYPE=scsi_host\n")
        .ClassDevice("iscsi_host", host + "/iscsi_host/host2")
        .File(host + "/iscsi_host/host2/ipaddress", "10.0.0.1\n")
        .File(host + "/iscsi_host/host2/initiatorname", "a\\xb\xff" "c\xc3\xa9\x01\n")
        .File(host + "/iscsi_host/host2/hwaddress", "\xed\xa0\x80\xc0\xaf\n")
        .File(host + "/iscsi_host/host2/odd\xfe", "v\n")
        .ClassDevice("iscsi_transport", "devices/virtual/iscsi_transport/tcp", false)
        .File("devices/virtual/iscsi_transport/tcp/caps", "0x39\nNAME SESSION CLASS :: forged\n")
        .ClassDevice("iscsi_session", session + "/iscsi_session/session2")
        .File(session + "/iscsi_session/session2/targetname", "iqn.2003-01.org.example:t1\n")
        .File(session + "/uevent", "")
        .File(session + "/target2:0:0/power/control", "auto\n")
        .BusDevice("scsi", session + "/target2:0:0/2:0:0:10")
        .File(session + "/target2:0:0/2:0:0:10/state", "running\n")
        .File(session + "/target2:0:0/2:0:0:10/block/sdb/dev", "8:16\n")
        .BusDevice("scsi", session + "/target2:0:0/2:0:0:2")
        .File(session + "/target2:0:0/2:0:0:2/state", "running\n")
        .File(session + "/target2:0:0/2:0:0:2/block/sda/dev", "8:0\n")
        .BusDevice("scsi", session + "/target2:0:0/2:0:0:3")
        .File(session + "/target2:0:0/2:0:0:3/state", "offline\n")
        .BusDevice("scsi", session + "/target2:0:1/2:0:1:0")
        .File(session + "/target2:0:1/2:0:1:0/state", "running\n")
        .File(session + "/target2:0:1/2:0:1:0/block/sdc/dev", "8:32\n")
        // A LUN field that is no number sorts after the numbers.
        .BusDevice("scsi", session + "/target2:0:0/2:0:0:1e")
        // Logical units of the bus that are not below this session's targets.
        .BusDevice("scsi", host + "/session2x/target2:0:0/2:0:0:4")
        .BusDevice("scsi", session + "/2:0:0:5")
        .BusDevice("platform", "devices/platform/iscsi")
        .ClassDevice("scsi_host", "devices/platform/iscsi/scsi_host/iscsi")
        .File("devices/platform/iscsi/scsi_host/iscsi/path", "/sys/devices/platform/iscsi/portals\n")
        .File("devices/platform/iscsi/portals/p0/port", "3260\n");
    ToolRun run = RunTool(tree, cwd, {"--json"});
    EXPECT_EQ(0, run.status);
    EXPECT_EQ("", run.err);
    const std::string s = "/sys/" + session;
    json expected = json::parse(R"({
      "iscsi_host": [{
        "name": "host2", "classname": "iscsi_host",
        "path": "/sys/devices/platform/host2/iscsi_host/host2",
        "attributes": {"ipaddress": "10.0.0.1", "initiatorname": "a\\\\xb\\xffc\u00e9\u0001",
                       "hwaddress": "\\xed\\xa0\\x80\\xc0\\xaf", "odd\\xfe": "v"},
        "device": {"bus_id": "host2", "bus": "scsi", "driver_name": "unknown",
                   "path": "/sys/devices/platform/host2", "name": "host2",
                   "attributes": {"uevent": "DEVTYPE=scsi_host"}}}],
      "iscsi_transport": [{
        "name": "tcp", "classname": "iscsi_transport",
        "path": "/sys/devices/virtual/iscsi_transport/tcp",
        "attributes": {"caps": "0x39\nNAME SESSION CLASS :: forged"},
        "device": null}],
      "iscsi_connection": [],
      "iscsi_session": [{
        "name": "session2", "classname": "iscsi_session",
        "path": "/sys/devices/platform/host2/session2/iscsi_session/session2",
        "attributes": {"targetname": "iqn.2003-01.org.example:t1"},
        "device": {"bus_id": "session2", "bus": "", "driver_name": "unknown",
                   "path": "/sys/devices/platform/host2/session2", "name": "session2",
                   "attributes": {"uevent": ""}},
        "disks": [
          {"name": "2:0:0:2", "path": "/sys/devices/platform/host2/session2/target2:0:0/2:0:0:2",
           "controller": "2", "bus": "0", "target": "0", "lun": "2",
           "state": "running", "block_device": "sda"},
          {"name": "2:0:0:3", "path": "/sys/devices/platform/host2/session2/target2:0:0/2:0:0:3",
           "controller": "2", "bus": "0", "target": "0", "lun": "3",
           "state": "offline", "block_device": null},
          {"name": "2:0:0:10", "path": "/sys/devices/platform/host2/session2/target2:0:0/2:0:0:10",
           "controller": "2", "bus": "0", "target": "0", "lun": "10",
           "state": "running", "block_device": "sdb"},
          {"name": "2:0:0:1e", "path": "/sys/devices/platform/host2/session2/target2:0:0/2:0:0:1e",
           "controller": "2", "bus": "0", "target": "0", "lun": "1e",
           "state": null, "block_device": null},
          {"name": "2:0:1:0", "path": "/sys/devices/platform/host2/session2/target2:0:1/2:0:1:0",
           "controller": "2", "bus": "0", "target": "1", "lun": "0",
           "state": "running", "block_device": "sdc"}]}],
      "iscsi_scsi_host": {
        "name": "iscsi", "classname": "scsi_host",
        "path": "/sys/devices/platform/iscsi/scsi_host/iscsi",
        "attributes": {"path": "/sys/devices/platform/iscsi/portals"},
        "device": {"bus_id": "iscsi", "bus": "platform", "driver_name": "unknown",
                   "path": "/sys/devices/platform/iscsi", "name": "iscsi", "attributes": {}},
        "directories": {"p0": {"port": "3260"}}}
    })");
    json document = json::parse(run.out);  // the parser also rejects invalid UTF-8
    expected["format_version"] = "1.2";
    expected["errors"] = json::array();
    ASSERT_EQ(1u, document["sessions"].size());  // the joined records have a test of their own
    document.erase("sessions");
    document.erase("luns");
    EXPECT_EQ(expected, document) << expected.dump(1) << "\n" << document.dump(1);
    EXPECT_EQ('\n', run.out.back());
    // The text log is written as for the text output.
    EXPECT_NE(std::string::npos, ReadFile(cwd + "/SysReader.log").find("GetPATHDeviceAttr"));
}

// The disks of a real kernel's sessions, as iscsiadm -m session -P 3 showed
// them on that machine: session 1 on host 0 with sdb, session 2 on host 1
// with sda.
TEST_F(Inventory, RealKernelTreeJsonMatchesIscsiadm)
{
    // The copy holds the devices but not the SCSI bus's index of them, which
    // every kernel has; the disks are found through the bus.
    ASSERT_EQ(0, system(("tar xzf " SOURCE_DIR "/tests/data/real-iscsi-loggedin.tar.gz -C " +
                         tree.Root() + " && " SOURCE_DIR "/tests/data/complete-scsi-bus.sh " +
                         tree.Root()).c_str()));
    ToolRun run = RunTool(tree, cwd, {"--json", "--no-log"});
    EXPECT_EQ(0, run.status);
    json document = json::parse(run.out);
    ASSERT_EQ(2u, document["iscsi_session"].size());
    EXPECT_EQ("session1", document["iscsi_session"][0]["name"]);
    EXPECT_EQ(json::parse(R"([{"name": "0:0:0:0",
        "path": "/sys/devices/platform/host0/session1/target0:0:0/0:0:0:0",
        "controller": "0", "bus": "0", "target": "0", "lun": "0",
        "state": "running", "block_device": "sdb"}])"),
              document["iscsi_session"][0]["disks"]);
    EXPECT_EQ(json::parse(R"([{"name": "1:0:0:0",
        "path": "/sys/devices/platform/host1/session2/target1:0:0/1:0:0:0",
        "controller": "1", "bus": "0", "target": "0", "lun": "0",
        "state": "running", "block_device": "sda"}])"),
              document["iscsi_session"][1]["disks"]);
    std::vector<std::string> connections;
    for (const json& connection : document["iscsi_connection"])
        connections.push_back(connection["name"]);
    EXPECT_EQ((std::vector<std::string>{"connection1:0", "connection2:0"}), connections);
    EXPECT_EQ("scsi", document["iscsi_host"][0]["device"]["bus"]);
    EXPECT_TRUE(document["iscsi_scsi_host"].is_null());
}

TEST_F(Inventory, SysfsBusesOptions)
{
    tree.BusDevice("pci", "devices/pci0000:00/0000:00:1f.2");
    ToolRun run = RunProgram(EXAMPLE_PATH, {"--help"}, tree, cwd);
    EXPECT_EQ(0, run.status);
    EXPECT_EQ(0u, run.out.find("Usage: sysfs-buses [OPTION]... [BUS]...\n"));
    EXPECT_EQ("", run.err);
    run = RunProgram(EXAMPLE_PATH, {"-V"}, tree, cwd);
    EXPECT_EQ(0, run.status);
    EXPECT_EQ("sysfs-buses (sysfsreader) " PROJECT_VERSION "\n", run.out);
    const std::string hint = "Try 'sysfs-buses --help' for more information.\n";
    for (const auto& [bad, message] : std::vector<std::pair<std::string, std::string>>{
             {"--bogus", "unrecognized option '--bogus'"},
             {"-x", "invalid option -- 'x'"},
             {"-l", "option requires an argument -- 'l'"},
             {"--help=1", "option '--help' doesn't allow an argument"},
             {"firewire", "unknown bus 'firewire'"}}) {
        run = RunProgram(EXAMPLE_PATH, {"pci", bad}, tree, cwd);
        EXPECT_EQ(2, run.status);
        EXPECT_EQ("", run.out);
        EXPECT_EQ(0u, run.err.find("sysfs-buses: " + message + "\nUsage: sysfs-buses ")) << run.err;
        EXPECT_EQ(run.err.size() - hint.size(), run.err.rfind(hint)) << run.err;
    }
    // The log never takes a closed standard output's descriptor.
    RunOptions closed;
    closed.out = Stdout::Closed;
    run = RunProgram(EXAMPLE_PATH, {"--log=buses.log", "pci"}, tree, cwd, closed);
    EXPECT_EQ(1, run.status);
    EXPECT_EQ("sysfs-buses: write error: Bad file descriptor\n", run.err);
    std::string log = ReadFile(cwd + "/buses.log");
    EXPECT_NE(std::string::npos, log.find("Leaving CSysfsReader::GetDeviceList"));
    EXPECT_EQ(std::string::npos, log.find("pci: 1 device"));
    RunOptions full;
    full.out = Stdout::Full;
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"pci"}, {"--help"}, {"--version"}}) {
        run = RunProgram(EXAMPLE_PATH, args, tree, cwd, full);
        EXPECT_EQ(1, run.status);
        EXPECT_EQ("sysfs-buses: write error: No space left on device\n", run.err);
    }

    // A log name that is a planted link, a FIFO or empty ends the run before
    // any listing, and the file the link names is left alone.
    std::string victim = tree.Root() + "/victim";
    std::ofstream(victim) << "precious\n";
    ASSERT_EQ(0, symlink(victim.c_str(), (cwd + "/link.log").c_str()));
    run = RunProgram(EXAMPLE_PATH, {"-l", "link.log", "pci"}, tree, cwd);
    EXPECT_EQ(1, run.status);
    EXPECT_EQ("", run.out);
    EXPECT_EQ("sysfs-buses: cannot open log 'link.log': it is a symbolic link\n", run.err);
    EXPECT_EQ("precious\n", ReadFile(victim));
    ASSERT_EQ(0, mkfifo((cwd + "/fifo.log").c_str(), 0644));
    run = RunProgram(EXAMPLE_PATH, {"--log=fifo.log"}, tree, cwd);
    EXPECT_EQ(1, run.status);
    EXPECT_EQ("", run.out);
    EXPECT_EQ(0u, run.err.find("sysfs-buses: cannot open log 'fifo.log': ")) << run.err;
    run = RunProgram(EXAMPLE_PATH, {"--log=", "pci"}, tree, cwd);
    EXPECT_EQ(1, run.status);
    EXPECT_EQ("sysfs-buses: cannot open log '': No such file or directory\n", run.err);
    // Nor a hard link to someone else's file.
    ASSERT_EQ(0, link(victim.c_str(), (cwd + "/hard.log").c_str()));
    run = RunProgram(EXAMPLE_PATH, {"-lhard.log", "pci"}, tree, cwd);
    EXPECT_EQ(1, run.status);
    EXPECT_EQ("sysfs-buses: cannot open log 'hard.log': not a regular file with a single link\n",
              run.err);
    EXPECT_EQ("precious\n", ReadFile(victim));
}

}  // namespace

// CHAP secrets: set ones show as the mask on standard output, in --json, in
// the facts and in the trace, whichever object's listing reaches them (here
// also the "iscsi" scsi_host entry, whose path leads into a session);
// unset ones ("(null)", empty) stay as they are.  --show-secrets shows them on
// standard output only.  A new log is private to its owner.
TEST_F(Inventory, SecretsAreShownOnlyWhenAskedAndNeverLogged)
{
    const std::string set = "devices/platform/host2/session2";
    const std::string unset = "devices/platform/host2/session3";
    tree.ClassDevice("iscsi_session", set + "/iscsi_session/session2")
        .File(set + "/iscsi_session/session2/password", "OutSecret-1\n")
        .File(set + "/iscsi_session/session2/password_in", "InSecret-2\n")
        .File(set + "/iscsi_session/session2/username", "alice\n")
        .ClassDevice("iscsi_session", unset + "/iscsi_session/session3")
        .File(unset + "/iscsi_session/session3/password", "(null)\n")
        .File(unset + "/iscsi_session/session3/password_in", "\n")
        .BusDevice("platform", "devices/platform/iscsi")
        .ClassDevice("scsi_host", "devices/platform/iscsi/scsi_host/iscsi")
        .File("devices/platform/iscsi/scsi_host/iscsi/path", "/sys/" + set + "/iscsi_session\n");
    auto leaks = [](const std::string& text) {
        return text.find("Secret-") != std::string::npos;
    };
    ToolRun text = RunTool(tree, cwd);
    EXPECT_EQ(0, text.status);
    EXPECT_FALSE(leaks(text.out)) << text.out;
    std::string log = ReadFile(cwd + "/SysReader.log");
    EXPECT_FALSE(leaks(log));
    EXPECT_NE(std::string::npos, log.find("\tpassword: ********\n"));
    struct stat st;
    ASSERT_EQ(0, stat((cwd + "/SysReader.log").c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 07777);
    const std::string session2 = "NAME SESSION CLASS :: session2\n"
                                 "\tclassname:: \tiscsi_session\n"
                                 "\tpath:: \t/sys/" + set + "/iscsi_session/session2\n"
                                 "\tpassword:: \t********\n"
                                 "\tpassword_in:: \t********\n"
                                 "\tusername:: \talice\n";
    EXPECT_NE(std::string::npos, text.out.find(session2)) << text.out;
    EXPECT_NE(std::string::npos, text.out.find("\tpassword:: \t(null)\n\tpassword_in:: \t\n"));
    EXPECT_NE(std::string::npos, text.out.find("\t Directory ::session2\n\t Attributes ::\n"
                                               "\t\tpassword::\t********\n"
                                               "\t\tpassword_in::\t********\n"));

    ToolRun json = RunTool(tree, cwd, {"--json", "--no-log"});
    EXPECT_FALSE(leaks(json.out));
    nlohmann::json document = nlohmann::json::parse(json.out);
    EXPECT_EQ("********", document["iscsi_session"][0]["attributes"]["password_in"]);
    EXPECT_EQ("(null)", document["iscsi_session"][1]["attributes"]["password"]);
    EXPECT_EQ("********",
              document["iscsi_scsi_host"]["directories"]["session2"]["password"]);

    // The facts script writes nothing where it runs.
    std::string factDir = tree.Root() + "/facts-cwd";
    mkdir(factDir.c_str(), 0755);
    ToolRun facts = RunProgram(FACT_PATH, {}, tree, factDir);
    EXPECT_EQ(0, facts.status);
    EXPECT_FALSE(leaks(facts.out));
    EXPECT_EQ(nlohmann::json::parse(json.out), nlohmann::json::parse(facts.out));
    EXPECT_TRUE(std::filesystem::is_empty(factDir));

    ToolRun shown = RunTool(tree, cwd, {"--show-secrets"});
    std::string revealed = session2;
    revealed.replace(revealed.find("********"), 8, "OutSecret-1");
    revealed.replace(revealed.find("********"), 8, "InSecret-2");
    EXPECT_NE(std::string::npos, shown.out.find(revealed)) << shown.out;
    EXPECT_FALSE(leaks(ReadFile(cwd + "/SysReader.log")));
    ToolRun shownJson = RunTool(tree, cwd, {"--json", "--show-secrets"});
    EXPECT_EQ("OutSecret-1",
              nlohmann::json::parse(shownJson.out)["iscsi_session"][0]["attributes"]["password"]);
    EXPECT_FALSE(leaks(ReadFile(cwd + "/SysReader.log")));
}

// A log file that another user prepared is neither emptied nor written: run
// by root in that user's directory, the trace would land where they read
// it.  The inventory goes on without it; a log named with --log is refused.
// One that belongs to the user running keeps its mode.
TEST_F(Inventory, ALogPlantedByAnotherUserIsRefused)
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

// The joined session records: each session with its host (and, for an
// offload HBA, the PCI card and its driver), its connections, its timeouts as
// numbers ("off" is no number) and its disks with size, identity, counters
// (hex in sysfs) and the name udev gives them under /dev/disk/by-path.
TEST_F(Inventory, JsonJoinsEachSessionWithItsHostConnectionsAndDisks)
{
    const std::string card = "devices/pci0000:00/0000:00:1f.2";
    const std::string host = card + "/host7", session = host + "/session3";
    const std::string lun = session + "/target7:0:0/7:0:0:1";
    tree.BusDevice("pci", card)
        .Bind("pci", "be2iscsi", card)
        .BusDevice("scsi", host)
        .ClassDevice("iscsi_host", host + "/iscsi_host/host7")
        .ClassDevice("scsi_host", host + "/scsi_host/host7")
        .File(host + "/scsi_host/host7/proc_name", "be2iscsi\n")
        .ClassDevice("iscsi_connection", session + "/connection3:0/iscsi_connection/connection3:0")
        .File(session + "/connection3:0/iscsi_connection/connection3:0/persistent_address",
              "192.0.2.5\n")
        .File(session + "/connection3:0/iscsi_connection/connection3:0/persistent_port", "3260\n")
        .File(session + "/connection3:0/iscsi_connection/connection3:0/state", "up\n")
        .ClassDevice("iscsi_session", session + "/iscsi_session/session3")
        .File(session + "/iscsi_session/session3/targetname", "iqn.2003-01.org.example:t\n")
        .File(session + "/iscsi_session/session3/tpgt", "1\n")
        .File(session + "/iscsi_session/session3/state", "LOGGED_IN\n")
        .File(session + "/iscsi_session/session3/recovery_tmo", "off\n")
        .File(session + "/iscsi_session/session3/abort_tmo", "15\n")
        .File(session + "/iscsi_session/session3/password", "Joined-Secret\n")
        .BusDevice("scsi", session + "/target7:0:0")
        .BusDevice("scsi", lun)
        .File(lun + "/state", "running\n")
        .File(lun + "/vendor", "LIO-ORG\n")
        .File(lun + "/wwid", "naa.6001405abcdef\n")
        .File(lun + "/ioerr_cnt", "0x1f\n")
        .File(lun + "/iotmo_cnt", "0x0\n")
        .File(lun + "/block/sdd/size", "2097152\n")
        // Not every device-mapper device is a multipath one.
        .File("devices/virtual/block/dm-0/dm/name", "mpatha\n")
        .File("devices/virtual/block/dm-0/dm/uuid", "mpath-36001405abcdef\n")
        .File("devices/virtual/block/dm-1/dm/name", "vg-lv\n")
        .File("devices/virtual/block/dm-1/dm/uuid", "LVM-abc\n")
        .Link(lun + "/block/sdd/holders/dm-0", "devices/virtual/block/dm-0")
        .Link(lun + "/block/sdd/holders/dm-1", "devices/virtual/block/dm-1");
    ToolRun run = RunTool(tree, cwd, {"--json", "--no-log"});
    EXPECT_EQ(0, run.status);
    EXPECT_EQ(std::string::npos, run.out.find("Joined-Secret"));
    json sessions = json::parse(run.out)["sessions"];
    json expected = json::parse(R"([{
      "name": "session3", "sid": 3, "target_name": "iqn.2003-01.org.example:t", "tpgt": 1,
      "initiator_name": null, "iface": null, "state": "LOGGED_IN", "target_state": null,
      "host": "host7", "transport": "be2iscsi", "proc_name": "be2iscsi",
      "pci_address": "0000:00:1f.2", "pci_driver": "be2iscsi",
      "connections": [{"name": "connection3:0", "state": "up",
                       "persistent_address": "192.0.2.5", "persistent_port": 3260,
                       "address": null, "port": null, "local_port": null}],
      "timeouts": {"recovery": null, "recovery_off": true, "abort": 15, "lu_reset": null,
                   "tgt_reset": null},
      "disks": [{"hctl": "7:0:0:1", "host": 7, "channel": 0, "target": 0, "lun": 1,
                 "state": "running", "block_device": "sdd", "size_bytes": 1073741824,
                 "vendor": "LIO-ORG", "model": null, "rev": null, "wwid": "naa.6001405abcdef",
                 "by_path": "ip-192.0.2.5:3260-iscsi-iqn.2003-01.org.example:t-lun-1",
                 "io_errors": 31, "io_timeouts": 0, "io_requests": null,
                 "holders": [{"device": "dm-0", "name": "mpatha",
                              "dm_uuid": "mpath-36001405abcdef", "multipath": true},
                             {"device": "dm-1", "name": "vg-lv", "dm_uuid": "LVM-abc",
                              "multipath": false}]}]
    }])");
    EXPECT_EQ(expected, sessions) << sessions.dump(1);
}

// The transport of a session, as iscsiadm names it, comes from its host's
// driver: the software transports' hosts are "iscsi_tcp" and "iscsi_iser"
// (ib_iser's, as a real kernel shows them), an offload HBA's driver keeps its
// own name; the same in --json, --sessions and --prometheus.
TEST_F(Inventory, TransportIsNamedAfterTheHostsDriver)
{
    const std::pair<const char*, const char*> hosts[] = {
        {"1", "iscsi_tcp"}, {"2", "iscsi_iser"}, {"3", "be2iscsi"}, {"4", "iscsi_"}};
    for (const auto& [n, procName] : hosts) {
        const std::string host = std::string("devices/platform/host") + n;
        const std::string session = host + "/session" + n + "/iscsi_session/session" + n;
        tree.BusDevice("scsi", host)
            .ClassDevice("iscsi_host", host + "/iscsi_host/host" + n)
            .ClassDevice("scsi_host", host + "/scsi_host/host" + n)
            .File(host + "/scsi_host/host" + n + "/proc_name", std::string(procName) + "\n")
            .ClassDevice("iscsi_session", session)
            .File(session + "/state", "LOGGED_IN\n");
    }
    const std::map<std::string, std::string> want{
        {"session1", "tcp"}, {"session2", "iser"}, {"session3", "be2iscsi"}, {"session4", "iscsi_"}};

    ToolRun jsonRun = RunTool(tree, cwd, {"--json", "--no-log"});
    EXPECT_EQ(0, jsonRun.status);
    std::map<std::string, std::string> got;
    const json document = json::parse(jsonRun.out);
    for (const auto& session : document["sessions"])
        got[session["name"]] = session["transport"];
    EXPECT_EQ(want, got);

    ToolRun sessions = RunTool(tree, cwd, {"--sessions", "--no-log"});
    EXPECT_EQ(0, sessions.status);
    got.clear();
    std::smatch m;
    std::string current;
    std::istringstream blocks(sessions.out);
    for (std::string line; std::getline(blocks, line);) {
        if (std::regex_match(line, m, std::regex("Target: .* \\((session[0-9])\\)")))
            current = m[1];
        else if (std::regex_match(line, m, std::regex("\t\tIface Transport: (.*)")))
            got[current] = m[1];
    }
    EXPECT_EQ(want, got);

    ToolRun metrics = RunTool(tree, cwd, {"--prometheus", "--no-log"});
    EXPECT_EQ(0, metrics.status);
    got.clear();
    std::istringstream samples(metrics.out);
    for (std::string line; std::getline(samples, line);)
        if (std::regex_search(line, m, std::regex("^iscsi_session_info\\{session=\"(session[0-9])\".*transport=\"([^\"]*)\"")))
            got[m[1]] = m[2];
    EXPECT_EQ(want, got);
}

// --sessions: one block per session, built from the joined records, with the
// kernel's 0/1 digests and switches in words, CHAP masked, and each disk
// with its size and by-path name; without a session, one line says so.
TEST_F(Inventory, SessionsViewShowsEachSessionWithItsDisks)
{
    tree.Dir("class/net");
    ToolRun empty = RunTool(tree, cwd, {"--sessions", "--no-log"});
    EXPECT_EQ(0, empty.status);
    EXPECT_EQ("No iSCSI session (is iscsi_tcp, or the HBA's driver, loaded?)\n", empty.out);

    const std::string host = "devices/platform/host4", session = host + "/session9";
    const std::string conn = session + "/connection9:0/iscsi_connection/connection9:0";
    const std::string cls = session + "/iscsi_session/session9";
    const std::string lun = session + "/target4:0:0/4:0:0:3";
    tree.BusDevice("scsi", host)
        .ClassDevice("iscsi_host", host + "/iscsi_host/host4")
        .File(host + "/iscsi_host/host4/ipaddress", "10.1.1.1\n")
        .ClassDevice("scsi_host", host + "/scsi_host/host4")
        .File(host + "/scsi_host/host4/proc_name", "iscsi_tcp\n")
        .ClassDevice("iscsi_connection", conn)
        .File(conn + "/address", "10.1.1.2\n")
        .File(conn + "/port", "3260\n")
        .File(conn + "/persistent_address", "10.1.1.2\n")
        .File(conn + "/persistent_port", "3260\n")
        .File(conn + "/state", "up\n")
        .File(conn + "/header_digest", "1\n")
        .File(conn + "/data_digest", "0\n")
        .ClassDevice("iscsi_session", cls)
        .File(cls + "/targetname", "iqn.2003-01.org.example:t9\n")
        .File(cls + "/tpgt", "1\n")
        .File(cls + "/state", "LOGGED_IN\n")
        .File(cls + "/recovery_tmo", "off\n")
        .File(cls + "/password", "View-Secret\n")
        .File(cls + "/username", "(null)\n")
        .File(cls + "/immediate_data", "1\n")
        .File(cls + "/initial_r2t", "0\n")
        .BusDevice("scsi", session + "/target4:0:0")
        .BusDevice("scsi", lun)
        .File(lun + "/state", "running\n")
        .File(lun + "/wwid", "naa.60014051\n")
        .File(lun + "/block/sdq/size", "4194304\n");
    ToolRun run = RunTool(tree, cwd, {"-s", "--no-log"});
    EXPECT_EQ(0, run.status);
    EXPECT_EQ("Target: iqn.2003-01.org.example:t9 (session9)\n"
              "\tCurrent Portal: 10.1.1.2:3260,1\n"
              "\tPersistent Portal: 10.1.1.2:3260,1\n"
              "\t\t**********\n\t\tInterface:\n\t\t**********\n"
              "\t\tIface Name: <unknown>\n"
              "\t\tIface Transport: tcp\n"
              "\t\tIface Initiatorname: <unknown>\n"
              "\t\tIface IPaddress: 10.1.1.1\n"
              "\t\tIface HWaddress: <unknown>\n"
              "\t\tIface Netdev: <unknown>\n"
              "\t\tSID: 9\n"
              "\t\tiSCSI Connection State: up\n"
              "\t\tiSCSI Session State: LOGGED_IN\n"
              "\t\t*********\n\t\tTimeouts:\n\t\t*********\n"
              "\t\tRecovery Timeout: off\n"
              "\t\tTarget Reset Timeout: <unknown>\n"
              "\t\tLUN Reset Timeout: <unknown>\n"
              "\t\tAbort Timeout: <unknown>\n"
              "\t\t*****\n\t\tCHAP:\n\t\t*****\n"
              "\t\tusername: <empty>\n"
              "\t\tpassword: ********\n"
              "\t\tusername_in: <unknown>\n"
              "\t\tpassword_in: <unknown>\n"
              "\t\t************************\n\t\tNegotiated iSCSI params:\n"
              "\t\t************************\n"
              "\t\tHeaderDigest: CRC32C\n"
              "\t\tDataDigest: None\n"
              "\t\tMaxRecvDataSegmentLength: <unknown>\n"
              "\t\tMaxXmitDataSegmentLength: <unknown>\n"
              "\t\tFirstBurstLength: <unknown>\n"
              "\t\tMaxBurstLength: <unknown>\n"
              "\t\tImmediateData: Yes\n"
              "\t\tInitialR2T: No\n"
              "\t\tMaxOutstandingR2T: <unknown>\n"
              "\t\t**********************\n\t\tAttached SCSI devices:\n"
              "\t\t**********************\n"
              "\t\tHost Number: 4\n"
              "\t\tscsi4 Channel 0 Id 0 Lun: 3\tState: running\n"
              "\t\t\tAttached scsi disk sdq\tSize: 2.00 GiB\n"
              "\t\t\tWWID: naa.60014051\n"
              "\t\t\tBy-path: ip-10.1.1.2:3260-iscsi-iqn.2003-01.org.example:t9-lun-3\n",
              run.out);
}

// --sessions on the sample tree, whose HBA session shows only what be2iscsi
// makes visible: no IP address or netdev on its host, no tgt_reset_tmo, no
// local port; digests 1 in words, the PCI card with its driver, a recovery
// timeout that is "off".  The failed
// iscsi_tcp session, last, has its own host, a failed connection and a LUN
// without a disk.
TEST_F(Inventory, SessionsViewOfTheSampleTree)
{
    ASSERT_EQ(0, system(("bash " SOURCE_DIR "/tests/data/make-sample-tree.sh " + tree.Root())
                            .c_str()));
    ToolRun run = RunTool(tree, cwd, {"--sessions", "--no-log"});
    EXPECT_EQ(0, run.status);
    const std::string hba =
        "Target: iqn.2003-01.org.example:storage.lun1 (session1)\n"
        "\tCurrent Portal: 192.168.10.50:3260,1\n"
        "\tPersistent Portal: 192.168.10.50:3260,1\n"
        "\t\t**********\n\t\tInterface:\n\t\t**********\n"
        "\t\tIface Name: be2iscsi.00:90:fa:12:34:56.ipv4.0\n"
        "\t\tIface Transport: be2iscsi\n"
        "\t\tIface Initiatorname: iqn.1993-08.org.debian:01:5f2c1a9e7b3d\n"
        "\t\tIface IPaddress: <unknown>\n"
        "\t\tIface HWaddress: 00:90:fa:12:34:56\n"
        "\t\tIface Netdev: <unknown>\n"
        "\t\tIface PCI: 0000:00:1f.2 (be2iscsi)\n"
        "\t\tSID: 1\n"
        "\t\tiSCSI Connection State: up\n"
        "\t\tiSCSI Session State: LOGGED_IN\n"
        "\t\tTarget State: SCANNED\n"
        "\t\t*********\n\t\tTimeouts:\n\t\t*********\n"
        "\t\tRecovery Timeout: off\n"
        "\t\tTarget Reset Timeout: <unknown>\n"
        "\t\tLUN Reset Timeout: 30\n"
        "\t\tAbort Timeout: 15\n"
        "\t\t*****\n\t\tCHAP:\n\t\t*****\n"
        "\t\tusername: <empty>\n"
        "\t\tpassword: <empty>\n"
        "\t\tusername_in: <empty>\n"
        "\t\tpassword_in: <empty>\n"
        "\t\t************************\n\t\tNegotiated iSCSI params:\n"
        "\t\t************************\n"
        "\t\tHeaderDigest: CRC32C\n"
        "\t\tDataDigest: CRC32C\n"
        "\t\tMaxRecvDataSegmentLength: 262144\n"
        "\t\tMaxXmitDataSegmentLength: 262144\n"
        "\t\tFirstBurstLength: 262144\n"
        "\t\tMaxBurstLength: 16776192\n"
        "\t\tImmediateData: Yes\n"
        "\t\tInitialR2T: No\n"
        "\t\tMaxOutstandingR2T: 1\n"
        "\t\t**********************\n\t\tAttached SCSI devices:\n"
        "\t\t**********************\n"
        "\t\tHost Number: 1\n"
        "\t\tscsi1 Channel 0 Id 0 Lun: 0\tState: running\n"
        "\t\t\tAttached scsi disk sdc\tSize: 1.00 GiB\n"
        "\t\t\tWWID: naa.6001405a1b2c3d4e5f60718293a4b5c6\n"
        "\t\t\tBy-path: ip-192.168.10.50:3260-iscsi-iqn.2003-01.org.example:storage.lun1-lun-0\n"
        "Target: iqn.2003-01.org.linux-iscsi.target1 (session2)\n";
    EXPECT_EQ(hba, run.out.substr(0, hba.size()));
    const std::size_t failed = run.out.find("Target: iqn.2003-01.org.linux-iscsi.target2 (session3)\n");
    ASSERT_NE(std::string::npos, failed) << run.out;
    const std::string last = run.out.substr(failed);
    for (const char* line : {"\t\tIface Transport: tcp\n", "\t\tIface Initiatorname: <empty>\n",
                             "\t\tIface IPaddress: 127.0.0.1\n", "\t\tiSCSI Connection State: failed\n",
                             "\t\tiSCSI Session State: FAILED\n", "\t\tTarget Reset Timeout: 30\n",
                             "\t\tHeaderDigest: None\n", "\t\tHost Number: 3\n"})
        EXPECT_NE(std::string::npos, last.find(line)) << line;
    const std::string lun = "\t\tscsi3 Channel 0 Id 0 Lun: 1\tState: transport-offline\n";
    ASSERT_GE(last.size(), lun.size());
    EXPECT_EQ(lun, last.substr(last.size() - lun.size()));  // no disk line after it
}

namespace {

// Nothing a terminal obeys: no C0 control but tab and newline, no DEL, no C1
// control, and valid UTF-8 throughout.
bool InertOnATerminal(const std::string& text)
{
    for (std::size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if ((c < 0x20 && c != '\t' && c != '\n') || c == 0x7F)
            return false;
        if (c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) <= 0x9F)
            return false;
    }
    try {
        (void)json(text).dump();  // throws on invalid UTF-8
    } catch (const json::exception&) {
        return false;
    }
    return true;
}

}  // namespace

// A target names itself in discovery.  Its name and every other byte from
// sysfs reach --sessions visibly escaped, whatever standard output is: a
// FAILED session cannot show as LOGGED_IN, neither by a forged line nor by
// terminal controls that rewrite one.
TEST_F(Inventory, SessionsViewShowsSysfsBytesVisibly)
{
    const std::string cls = "devices/platform/host4/session7/iscsi_session/session7";
    tree.BusDevice("scsi", "devices/platform/host4")
        .ClassDevice("iscsi_session", cls)
        .File(cls + "/targetname",
              "iqn.x:t\x1b[2K\r\n\t\tiSCSI Session State: LOGGED_IN\n\xc2\x9b" "1A\\x41\xff\n")
        .File(cls + "/state", "FAILED\n")
        .File(cls + "/ifacename", "default\x7f\x9b\n");
    ToolRun run = RunTool(tree, cwd, {"--sessions", "--no-log"});
    EXPECT_EQ(0, run.status);
    EXPECT_EQ("", run.err);
    EXPECT_EQ(0u, run.out.find(
        R"(Target: iqn.x:t\x1b[2K\r\n\t\tiSCSI Session State: LOGGED_IN\n\xc2\x9b1A\\x41\xff (session7))"
        "\n\tCurrent Portal: <unknown>:<unknown>,<unknown>\n")) << run.out;
    EXPECT_NE(std::string::npos, run.out.find("\n\t\tIface Name: default\\x7f\\x9b\n")) << run.out;
    std::size_t states = 0;
    for (std::size_t at = 0; (at = run.out.find("iSCSI Session State: ", at)) != std::string::npos; ++at)
        ++states;
    EXPECT_EQ(2u, states);  // the escaped one in the name, and the session's own
    EXPECT_NE(std::string::npos, run.out.find("\n\t\tiSCSI Session State: FAILED\n"));
    EXPECT_EQ(std::string::npos, run.out.find("\n\t\tiSCSI Session State: LOGGED_IN"));
    EXPECT_TRUE(InertOnATerminal(run.out)) << run.out;

    // The hostile tree's session: quotes stay, backslashes are doubled, and
    // its newlines and stray bytes are escapes in every line of its block.
    SysTree hostile;
    ASSERT_EQ(0, system(("bash " SOURCE_DIR "/tests/data/make-hostile-tree.sh " + hostile.Root())
                            .c_str()));
    mkdir((hostile.Root() + "/cwd").c_str(), 0755);
    ToolRun all = RunTool(hostile, hostile.Root() + "/cwd", {"--sessions", "--no-log"});
    EXPECT_EQ(0, all.status);
    EXPECT_NE(std::string::npos,
              all.out.find(R"(Target: iqn.2003-01.org.example:"q"\\\nx\xff (session9"\\\n\xfe))"
                           "\n"))
        << all.out;
    for (const char* line : {"\t\tIface Name: if\\xc3(\n",
                             "\t\tIface Initiatorname: iqn.1993-08.org.debian:\\\\x41\n",
                             "\t\tiSCSI Connection State: up\\n\"down\"\n",
                             "\t\tiSCSI Session State: LOGGED\"\\\\IN\n",
                             "\t\t\tWWID: naa.\"\\\\\\n\\xfe\n"})
        EXPECT_NE(std::string::npos, all.out.find(line)) << line;
    EXPECT_TRUE(InertOnATerminal(all.out)) << all.out;
}

// The bare text form keeps its bytes exactly where a program reads it, and
// shows names, keys and values visibly on a terminal, as ls shows file
// names; its own separators stay.
TEST_F(Inventory, TextEscapesSysfsBytesOnATerminalOnly)
{
    const std::string dev = "devices/virtual/iscsi_transport/tcp\x1b[2J";
    tree.ClassDevice("iscsi_transport", dev, false)
        .File(dev + "/caps", "0x39\nNAME SESSION CLASS :: forged\n")
        .File(dev + "/odd\x1b", "a\\b\tc\xc2\x9b" "d\xff" "e\x7f\r\n");
    ToolRun piped = RunTool(tree, cwd, {"--no-log"});
    EXPECT_EQ(0, piped.status);
    EXPECT_EQ("NAME TRANSPORT CLASS  :: tcp\x1b[2J\n"
              "\tclassname:: \tiscsi_transport\n"
              "\tpath:: \t/sys/devices/virtual/iscsi_transport/tcp\x1b[2J\n"
              "\tcaps:: \t0x39\nNAME SESSION CLASS :: forged\n"
              "\todd\x1b:: \ta\\b\tc\xc2\x9b" "d\xff" "e\x7f\r\n",
              piped.out);

    RunOptions onTerminal;
    onTerminal.out = Stdout::Terminal;
    ToolRun shown = RunTool(tree, cwd, {"--no-log"}, onTerminal);
    EXPECT_EQ(0, shown.status);
    EXPECT_EQ("", shown.err);
    EXPECT_EQ("NAME TRANSPORT CLASS  :: " R"(tcp\x1b[2J)" "\n"
              "\tclassname:: \tiscsi_transport\n"
              "\tpath:: \t" R"(/sys/devices/virtual/iscsi_transport/tcp\x1b[2J)" "\n"
              "\tcaps:: \t" R"(0x39\nNAME SESSION CLASS :: forged)" "\n"
              "\t" R"(odd\x1b)" ":: \t" R"(a\\b\tc\xc2\x9bd\xffe\x7f\r)" "\n",
              shown.out);
}

// --json writes the characters that are valid JSON but that a terminal or a
// JavaScript parser acts on as \u escapes, in the class devices and in the
// joined sessions alike; the document reads back the same characters.
TEST_F(Inventory, JsonEscapesC1ControlsAndLineSeparators)
{
    const std::string cls = "devices/platform/host4/session7/iscsi_session/session7";
    const std::string name = "a\xc2\x9b" "b\xe2\x80\xa8" "c\xe2\x80\xa9" "d\x7f" "e\xc2\xa0";
    tree.BusDevice("scsi", "devices/platform/host4")
        .ClassDevice("iscsi_session", cls)
        .File(cls + "/targetname", name + "\n")
        .File(cls + "/k\xc2\x85", "v\n");
    ToolRun run = RunTool(tree, cwd, {"--json", "--no-log"});
    EXPECT_EQ(0, run.status);
    const std::string escaped = "a\\u009bb\\u2028c\\u2029d\\u007fe\xc2\xa0";
    std::size_t count = 0;
    for (std::size_t at = 0; (at = run.out.find(escaped, at)) != std::string::npos; ++at)
        ++count;
    EXPECT_EQ(2u, count) << run.out;  // iscsi_session's attribute and the joined target_name
    EXPECT_NE(std::string::npos, run.out.find("\"k\\u0085\": \"v\"")) << run.out;
    for (const char* raw : {"\xc2\x9b", "\xc2\x85", "\xe2\x80\xa8", "\xe2\x80\xa9", "\x7f"})
        EXPECT_EQ(std::string::npos, run.out.find(raw));
    json document = json::parse(run.out);
    EXPECT_EQ(name, document["iscsi_session"][0]["attributes"]["targetname"]);
    EXPECT_EQ("v", document["iscsi_session"][0]["attributes"]["k\xc2\x85"]);
    EXPECT_EQ(name, document["sessions"][0]["target_name"]);
}

// What could not be read is no absence: the tool prints what it could,
// names what failed on standard error and exits with 1.  Short of
// descriptors, each run is either the whole inventory with 0 or a failure
// with 1, never a shorter inventory with 0.
TEST_F(Inventory, ObjectsThatCannotBeReadMakeTheRunFail)
{
    ASSERT_EQ(0, system(("bash " SOURCE_DIR "/tests/data/make-sample-tree.sh " + tree.Root())
                            .c_str()));
    ToolRun whole = RunTool(tree, cwd, {"--no-log"});
    ASSERT_EQ(0, whole.status);
#ifndef TOOL_NEEDS_PROC
    int failed = 0;
    for (rlim_t limit = 6; limit <= 24; ++limit) {
        RunOptions few;
        few.descriptors = limit;
        ToolRun run = RunTool(tree, cwd, {"--no-log"}, few);
        if (run.status == 0) {
            EXPECT_EQ(whole.out, run.out) << limit;
            continue;
        }
        if (run.signal != 0 || run.err.find("error while loading shared libraries") != std::string::npos)
            continue;  // too few even to start
        ++failed;
        EXPECT_EQ(1, run.status) << limit;
        EXPECT_NE(std::string::npos, run.err.find(": Too many open files\n")) << run.err;
        EXPECT_EQ(0u, run.err.find("iscsi-inventory: cannot read ")) << run.err;
    }
    EXPECT_GT(failed, 0);  // the range reaches the walk
#endif

    // An unreadable class directory, as a user who may not read it: the
    // other classes are printed, and the JSON says what failed.
    ToolCopy copy;
    ASSERT_TRUE(copy.Ok());
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to run the tool as another user";
    ASSERT_EQ(0, chmod(tree.Abs("class/iscsi_session").c_str(), 0));
    ASSERT_EQ(0, chmod(tree.Root().c_str(), 0755));
    RunOptions asNobody;
    asNobody.uid = 65534;
    ToolRun run = copy.Run(tree, cwd, asNobody, {"--no-log"});
    EXPECT_EQ(1, run.status);
    EXPECT_EQ("iscsi-inventory: cannot read class iscsi_session: Permission denied\n", run.err);
    EXPECT_NE(std::string::npos, run.out.find("NAME CONNECTION CLASS :: connection2:0\n"));
    EXPECT_EQ(std::string::npos, run.out.find("NAME SESSION CLASS"));
    ToolRun json = copy.Run(tree, cwd, asNobody, {"--json", "--no-log"});
    EXPECT_EQ(1, json.status);
    EXPECT_EQ(nlohmann::json::parse(R"([{"object": "class iscsi_session",
                                         "error": "Permission denied"}])"),
              nlohmann::json::parse(json.out)["errors"]);
    chmod(tree.Abs("class/iscsi_session").c_str(), 0755);
}

// The metrics, in the exposition format written out by hand: a family per
// fact, each under its HELP and TYPE lines with its samples together; a series
// per known state (and one for a state the list does not know), "off" no
// number of seconds, counters read as hex, a counter that is no number left
// out; a disk without a block device has neither size nor read-only sample,
// and one without a WWID no LUN sample; label values carry quotes,
// backslashes, newlines and invalid UTF-8.
TEST_F(Inventory, PrometheusExposition)
{
    const std::string host = "devices/platform/host5";
    const std::string s7 = host + "/session7", s8 = host + "/session8";
    const std::string i7 = s7 + "/iscsi_session/session7";
    const std::string c0 = s7 + "/connection7:0/iscsi_connection/connection7:0";
    const std::string c1 = s7 + "/connection7:1/iscsi_connection/connection7:1";
    const std::string lun1 = s7 + "/target5:0:0/5:0:0:1", lun2 = s7 + "/target5:0:0/5:0:0:2";
    tree.BusDevice("scsi", host)
        .ClassDevice("iscsi_host", host + "/iscsi_host/host5")
        .ClassDevice("scsi_host", host + "/scsi_host/host5")
        .File(host + "/scsi_host/host5/proc_name", "iscsi_tcp\n")
        .ClassDevice("iscsi_connection", c0)
        .File(c0 + "/persistent_address", "192.0.2.7\n")
        .File(c0 + "/persistent_port", "3260\n")
        .File(c0 + "/state", "up\n")
        .ClassDevice("iscsi_connection", c1)
        .File(c1 + "/state", "recovering\n")
        .ClassDevice("iscsi_session", i7)
        .File(i7 + "/targetname", "iqn.2003-01.org.example:t7\n")
        .File(i7 + "/ifacename", "if\"a\\b\nc\n")
        .File(i7 + "/initiatorname", "iqn.x\xff\n")
        .File(i7 + "/state", "LOGGED_IN\n")
        .File(i7 + "/recovery_tmo", "120\n")
        .File(i7 + "/password", "Metrics-Secret\n")
        .BusDevice("scsi", s7 + "/target5:0:0")
        .BusDevice("scsi", lun1)
        .File(lun1 + "/wwid", "naa.600140\n")
        .File(lun1 + "/ioerr_cnt", "0x1f\n")
        .File(lun1 + "/iotmo_cnt", "0x2\n")
        .File(lun1 + "/state", "blocked\n")
        .File(lun1 + "/block/sdb/size", "8\n")
        .File(lun1 + "/block/sdb/ro", "1\n")
        // The first multipath holder, not the first holder.
        .File("devices/virtual/block/dm-0/dm/name", "vg-lv\n")
        .File("devices/virtual/block/dm-0/dm/uuid", "LVM-abc\n")
        .File("devices/virtual/block/dm-3/dm/name", "mpathb\n")
        .File("devices/virtual/block/dm-3/dm/uuid", "mpath-3600140\n")
        .Link(lun1 + "/block/sdb/holders/dm-0", "devices/virtual/block/dm-0")
        .Link(lun1 + "/block/sdb/holders/dm-3", "devices/virtual/block/dm-3")
        .BusDevice("scsi", lun2)
        .File(lun2 + "/ioerr_cnt", "many\n")
        .File(lun2 + "/iotmo_cnt", "0x0\n")
        .File(lun2 + "/state", "new-state\n")
        .ClassDevice("iscsi_session", s8 + "/iscsi_session/session8")
        .File(s8 + "/iscsi_session/session8/targetname", "iqn.2003-01.org.example:t8\n")
        .File(s8 + "/iscsi_session/session8/state", "FAILED\n")
        .File(s8 + "/iscsi_session/session8/recovery_tmo", "off\n");
    ToolRun run = RunTool(tree, cwd, {"--prometheus", "--no-log"});
    EXPECT_EQ(0, run.status);
    EXPECT_EQ("", run.err);
    EXPECT_EQ(std::string::npos, run.out.find("Metrics-Secret"));
    // Each HELP line names the family whose TYPE line follows it; its text
    // is prose, left out of the comparison.
    std::istringstream lines(run.out);
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
    EXPECT_EQ(R"(# TYPE iscsi_session_info gauge
iscsi_session_info{session="session7",target="iqn.2003-01.org.example:t7",portal="192.0.2.7:3260",iface="if\"a\\\\b\nc",initiator="iqn.x\\xff",transport="tcp",host="host5"} 1
iscsi_session_info{session="session8",target="iqn.2003-01.org.example:t8",portal="",iface="",initiator="",transport="tcp",host="host5"} 1
# TYPE iscsi_session_state gauge
iscsi_session_state{session="session7",state="LOGGED_IN"} 1
iscsi_session_state{session="session7",state="FAILED"} 0
iscsi_session_state{session="session7",state="FREE"} 0
iscsi_session_state{session="session8",state="LOGGED_IN"} 0
iscsi_session_state{session="session8",state="FAILED"} 1
iscsi_session_state{session="session8",state="FREE"} 0
# TYPE iscsi_connection_state gauge
iscsi_connection_state{session="session7",connection="connection7:0",state="up"} 1
iscsi_connection_state{session="session7",connection="connection7:0",state="down"} 0
iscsi_connection_state{session="session7",connection="connection7:0",state="failed"} 0
iscsi_connection_state{session="session7",connection="connection7:0",state="bound"} 0
iscsi_connection_state{session="session7",connection="connection7:1",state="up"} 0
iscsi_connection_state{session="session7",connection="connection7:1",state="down"} 0
iscsi_connection_state{session="session7",connection="connection7:1",state="failed"} 0
iscsi_connection_state{session="session7",connection="connection7:1",state="bound"} 0
iscsi_connection_state{session="session7",connection="connection7:1",state="recovering"} 1
# TYPE iscsi_session_recovery_timeout_seconds gauge
iscsi_session_recovery_timeout_seconds{session="session7"} 120
# TYPE iscsi_session_disks gauge
iscsi_session_disks{session="session7"} 2
iscsi_session_disks{session="session8"} 0
# TYPE iscsi_disk_info gauge
iscsi_disk_info{session="session7",hctl="5:0:0:1",device="sdb",wwid="naa.600140",by_path="ip-192.0.2.7:3260-iscsi-iqn.2003-01.org.example:t7-lun-1",multipath_device="mpathb"} 1
iscsi_disk_info{session="session7",hctl="5:0:0:2",device="",wwid="",by_path="ip-192.0.2.7:3260-iscsi-iqn.2003-01.org.example:t7-lun-2",multipath_device=""} 1
# TYPE iscsi_disk_io_errors_total counter
iscsi_disk_io_errors_total{session="session7",hctl="5:0:0:1"} 31
# TYPE iscsi_disk_io_timeouts_total counter
iscsi_disk_io_timeouts_total{session="session7",hctl="5:0:0:1"} 2
iscsi_disk_io_timeouts_total{session="session7",hctl="5:0:0:2"} 0
# TYPE iscsi_disk_state gauge
iscsi_disk_state{session="session7",hctl="5:0:0:1",state="running"} 0
iscsi_disk_state{session="session7",hctl="5:0:0:1",state="created"} 0
iscsi_disk_state{session="session7",hctl="5:0:0:1",state="blocked"} 1
iscsi_disk_state{session="session7",hctl="5:0:0:1",state="quiesce"} 0
iscsi_disk_state{session="session7",hctl="5:0:0:1",state="offline"} 0
iscsi_disk_state{session="session7",hctl="5:0:0:1",state="transport-offline"} 0
iscsi_disk_state{session="session7",hctl="5:0:0:1",state="created-blocked"} 0
iscsi_disk_state{session="session7",hctl="5:0:0:1",state="cancel"} 0
iscsi_disk_state{session="session7",hctl="5:0:0:1",state="deleted"} 0
iscsi_disk_state{session="session7",hctl="5:0:0:1",state="cancel-offline"} 0
iscsi_disk_state{session="session7",hctl="5:0:0:2",state="running"} 0
iscsi_disk_state{session="session7",hctl="5:0:0:2",state="created"} 0
iscsi_disk_state{session="session7",hctl="5:0:0:2",state="blocked"} 0
iscsi_disk_state{session="session7",hctl="5:0:0:2",state="quiesce"} 0
iscsi_disk_state{session="session7",hctl="5:0:0:2",state="offline"} 0
iscsi_disk_state{session="session7",hctl="5:0:0:2",state="transport-offline"} 0
iscsi_disk_state{session="session7",hctl="5:0:0:2",state="created-blocked"} 0
iscsi_disk_state{session="session7",hctl="5:0:0:2",state="cancel"} 0
iscsi_disk_state{session="session7",hctl="5:0:0:2",state="deleted"} 0
iscsi_disk_state{session="session7",hctl="5:0:0:2",state="cancel-offline"} 0
iscsi_disk_state{session="session7",hctl="5:0:0:2",state="new-state"} 1
# TYPE iscsi_disk_read_only gauge
iscsi_disk_read_only{session="session7",hctl="5:0:0:1"} 1
# TYPE iscsi_disk_size_bytes gauge
iscsi_disk_size_bytes{session="session7",hctl="5:0:0:1"} 4096
# TYPE iscsi_lun_paths gauge
iscsi_lun_paths{wwid="naa.600140",multipath_device="mpathb"} 1
# TYPE iscsi_lun_paths_running gauge
iscsi_lun_paths_running{wwid="naa.600140"} 0
# TYPE iscsi_inventory_errors gauge
iscsi_inventory_errors 0
)",
              withoutHelp);
    EXPECT_TRUE(help.empty());

    // Nothing iSCSI: the error count alone.
    SysTree empty;
    empty.Dir("class/net");
    run = RunTool(empty, cwd, {"--prometheus", "--no-log"});
    EXPECT_EQ(0, run.status);
    EXPECT_EQ(std::string::npos, run.out.find("iscsi_session"));
    EXPECT_EQ(run.out.size() - 26, run.out.find("\niscsi_inventory_errors 0\n")) << run.out;
}

// --prometheus=FILE replaces the file whole, by a rename: a new inode, mode
// 0644 whatever the umask (the collector runs as another user), no temporary
// file left.  Where the directory cannot be written the old file stays, and
// the run fails with one line.
TEST_F(Inventory, PrometheusFileIsReplacedWholeOrLeftAlone)
{
    tree.ClassDevice("iscsi_session", "devices/platform/host2/session2/iscsi_session/session2")
        .File("devices/platform/host2/session2/iscsi_session/session2/state", "LOGGED_IN\n");
    const std::string expected = RunTool(tree, cwd, {"--prometheus", "--no-log"}).out;
    ASSERT_NE(std::string::npos, expected.find("session2"));
    const std::string dir = tree.Root() + "/textfile";
    ASSERT_EQ(0, mkdir(dir.c_str(), 0755));
    const std::string file = dir + "/iscsi_inventory.prom";
    std::ofstream(file) << "old\n";
    struct stat before, after;
    ASSERT_EQ(0, stat(file.c_str(), &before));
    auto listing = [&dir] {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(dir))
            names.push_back(entry.path().filename());
        return names;
    };

    mode_t umaskWas = umask(077);
    ToolRun run = RunTool(tree, cwd, {"--prometheus=" + file, "--no-log"});
    umask(umaskWas);
    EXPECT_EQ(0, run.status);
    EXPECT_EQ("", run.out);
    EXPECT_EQ("", run.err);
    EXPECT_EQ(expected, ReadFile(file));
    ASSERT_EQ(0, stat(file.c_str(), &after));
    EXPECT_NE(before.st_ino, after.st_ino);
    EXPECT_EQ(0100644u, after.st_mode);
    EXPECT_EQ(std::vector<std::string>{"iscsi_inventory.prom"}, listing());
    // A name without a directory is in the current one.
    run = RunTool(tree, cwd, {"--no-log", "--prometheus=here.prom"});
    EXPECT_EQ(0, run.status);
    EXPECT_EQ(expected, ReadFile(cwd + "/here.prom"));

    std::ofstream(file) << "old\n";
    ToolRun refused;
    ToolCopy copy;
    if (geteuid() == 0) {
        // Root writes anywhere: the run is another user's.
        ASSERT_TRUE(copy.Ok());
        ASSERT_EQ(0, chmod(tree.Root().c_str(), 0755));
        RunOptions nobody;
        nobody.uid = 65534;
        refused = copy.Run(tree, cwd, nobody, {"--prometheus=" + file, "--no-log"});
    } else {
        ASSERT_EQ(0, chmod(dir.c_str(), 0555));
        refused = RunTool(tree, cwd, {"--prometheus=" + file, "--no-log"});
        chmod(dir.c_str(), 0755);
    }
    EXPECT_EQ(1, refused.status);
    EXPECT_EQ("", refused.out);
    EXPECT_EQ("iscsi-inventory: cannot write '" + file + "': Permission denied\n", refused.err);
    EXPECT_EQ("old\n", ReadFile(file));
    EXPECT_EQ(std::vector<std::string>{"iscsi_inventory.prom"}, listing());
}

namespace {

// The names in dir, sorted.
std::vector<std::string> Names(const std::string& dir)
{
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

class MetricsFile : public Inventory {
protected:
    void SetUp() override
    {
        Inventory::SetUp();
        tree.ClassDevice("iscsi_session", "devices/platform/host2/session2/iscsi_session/session2")
            .File("devices/platform/host2/session2/iscsi_session/session2/state", "LOGGED_IN\n");
        expected = RunTool(tree, cwd, {"--prometheus", "--no-log"}).out;
        ASSERT_NE(std::string::npos, expected.find("session2"));
    }
    ToolRun Write(const std::string& file, const RunOptions& opts = {})
    {
        return RunTool(tree, cwd, {"--prometheus=" + file, "--no-log"}, opts);
    }
    std::string expected;
};

}  // namespace

// The Debian layout: the metrics directory under a directory that belongs to
// the collector's user, which can move it aside and put a link in its place.
// A link is followed only where root or the user running alone could have
// made it; the file at the link's target stays as it was.
TEST_F(MetricsFile, NeverWrittenThroughALinkAnotherUserCouldHavePlanted)
{
    const std::string lib = tree.Root() + "/lib", secret = tree.Root() + "/secret";
    ASSERT_EQ(0, mkdir(lib.c_str(), 0755));
    ASSERT_EQ(0, mkdir(secret.c_str(), 0700));
    std::ofstream(secret + "/iscsi_inventory.prom") << "old\n";
    const std::string link = lib + "/node-exporter";
    ASSERT_EQ(0, symlink(secret.c_str(), link.c_str()));
    const std::string file = link + "/iscsi_inventory.prom";
    auto refused = [&](const std::string& why) {
        ToolRun run = Write(file);
        EXPECT_EQ(1, run.status) << why;
        EXPECT_EQ("", run.out);
        EXPECT_EQ("iscsi-inventory: cannot write '" + file + "': not following the symbolic link '" +
                      link + "' (" + why + ")\n",
                  run.err);
        EXPECT_EQ("old\n", ReadFile(secret + "/iscsi_inventory.prom"));
        EXPECT_EQ(std::vector<std::string>{"iscsi_inventory.prom"}, Names(secret));
    };
    for (mode_t mode : {0777, 0775, 0757, 01777}) {
        ASSERT_EQ(0, chmod(lib.c_str(), mode));
        refused("the directory that holds it is writable by others");
    }
    ASSERT_EQ(0, chmod(lib.c_str(), 0755));
    if (geteuid() == 0) {
        ASSERT_EQ(0, lchown(link.c_str(), 65534, 65534));
        refused("it belongs to uid 65534");
        ASSERT_EQ(0, lchown(link.c_str(), 0, 0));
        ASSERT_EQ(0, chown(lib.c_str(), 65534, 65534));
        refused("the directory that holds it belongs to uid 65534");
        ASSERT_EQ(0, chown(lib.c_str(), 0, 0));
    }

    // Made by the user running, in a directory only that user writes: followed,
    // relative (with "..") or absolute, one link after another.
    ToolRun run = Write(file);
    EXPECT_EQ(0, run.status);
    EXPECT_EQ("", run.err);
    EXPECT_EQ(expected, ReadFile(secret + "/iscsi_inventory.prom"));
    ASSERT_EQ(0, mkdir((lib + "/sub").c_str(), 0755));
    ASSERT_EQ(0, symlink("../../secret", (lib + "/sub/up").c_str()));
    ASSERT_EQ(0, symlink((lib + "/sub/up").c_str(), (lib + "/chain").c_str()));
    std::ofstream(secret + "/other.prom") << "old\n";
    run = Write(lib + "/chain/./other.prom");
    EXPECT_EQ(0, run.status);
    EXPECT_EQ(expected, ReadFile(secret + "/other.prom"));

    // A link at the file's own name is replaced, never followed.
    ASSERT_EQ(0, symlink((secret + "/other.prom").c_str(), (lib + "/final.prom").c_str()));
    std::ofstream(secret + "/other.prom") << "old\n";
    run = Write(lib + "/final.prom");
    EXPECT_EQ(0, run.status);
    struct stat st;
    ASSERT_EQ(0, lstat((lib + "/final.prom").c_str(), &st));
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(expected, ReadFile(lib + "/final.prom"));
    EXPECT_EQ("old\n", ReadFile(secret + "/other.prom"));

    // Links that lead to each other, and a path that is not a directory.
    ASSERT_EQ(0, symlink("loop-b", (lib + "/loop-a").c_str()));
    ASSERT_EQ(0, symlink("loop-a", (lib + "/loop-b").c_str()));
    run = Write(lib + "/loop-a/m.prom");
    EXPECT_EQ(1, run.status);
    EXPECT_EQ("iscsi-inventory: cannot write '" + lib +
                  "/loop-a/m.prom': Too many levels of symbolic links\n",
              run.err);
    run = Write(lib + "/final.prom/m.prom");
    EXPECT_EQ(1, run.status);
    EXPECT_EQ("iscsi-inventory: cannot write '" + lib + "/final.prom/m.prom': Not a directory\n",
              run.err);
}

// Any name a file may have, up to NAME_MAX (255) bytes: the temporary name
// does not grow with it.
TEST_F(MetricsFile, TakesAnyLegalName)
{
    const std::string dir = tree.Root() + "/textfile";
    ASSERT_EQ(0, mkdir(dir.c_str(), 0755));
    for (std::size_t length : {241, 255}) {
        const std::string name = std::string(length - 5, 'm') + ".prom";
        ToolRun run = Write(dir + "/" + name);
        EXPECT_EQ(0, run.status) << length;
        EXPECT_EQ("", run.err);
        EXPECT_EQ(expected, ReadFile(dir + "/" + name));
        EXPECT_EQ(std::vector<std::string>{name}, Names(dir));
        unlink((dir + "/" + name).c_str());
    }
}

// Whatever ends the run while the file is written, and whether the file system
// has anonymous files or not (and, having them, whether the run names one by
// its descriptor, through /proc or not at all), the old file stays whole and no temporary
// name is left; a signal that comes between the link and the rename waits
// for the rename.  The run is stopped at its calls (the preloaded shim), not
// after some time.
TEST_F(MetricsFile, NoInterruptionLeavesATemporaryName)
{
    const std::string dir = tree.Root() + "/textfile";
    ASSERT_EQ(0, mkdir(dir.c_str(), 0755));
    const std::string file = dir + "/iscsi_inventory.prom";
    const std::vector<std::string> justTheFile{"iscsi_inventory.prom"};
    struct Way {
        const char* name;
        std::vector<std::string> settings;
    };
    for (const Way& way : {Way{"anonymous", {"SHIM_NONE=1"}}, Way{"named", {"SHIM_NO_TMPFILE=1"}},
                           Way{"through /proc", {"SHIM_NO_LINK=descriptor"}},
                           Way{"copied", {"SHIM_NO_LINK=1"}}}) {
        SCOPED_TRACE(way.name);
        RunOptions opts;
        opts.shim = way.settings;
        std::ofstream(file) << "old\n";
        mode_t umaskWas = umask(077);
        ToolRun run = Write(file, opts);
        umask(umaskWas);
        EXPECT_EQ(0, run.status);
        EXPECT_EQ("", run.err);
        EXPECT_EQ(expected, ReadFile(file));
        struct stat st;
        ASSERT_EQ(0, stat(file.c_str(), &st));
        EXPECT_EQ(0100644u, st.st_mode);
        EXPECT_EQ(justTheFile, Names(dir));

        for (int signal : {SIGTERM, SIGINT, SIGHUP, SIGKILL}) {
            // Nothing can remove a named file the run is killed in the midst of.
            if (signal == SIGKILL && way.settings[0] == "SHIM_NO_TMPFILE=1")
                continue;
            std::ofstream(file) << "old\n";
            RunOptions stopped = opts;
            stopped.shim.push_back("SHIM_AT=fsync");
            stopped.shim.push_back("SHIM_SIGNAL=" + std::to_string(signal));
            run = Write(file, stopped);
            EXPECT_EQ(signal, run.signal) << signal;
            EXPECT_EQ("old\n", ReadFile(file)) << signal;
            EXPECT_EQ(justTheFile, Names(dir)) << signal;
        }
        std::ofstream(file) << "old\n";
        RunOptions atRename = opts;
        atRename.shim.push_back("SHIM_AT=renameat");
        atRename.shim.push_back("SHIM_SIGNAL=" + std::to_string(SIGTERM));
        run = Write(file, atRename);
        EXPECT_EQ(SIGTERM, run.signal);
        EXPECT_EQ(expected, ReadFile(file));
        EXPECT_EQ(justTheFile, Names(dir));

        // A file size limit fails the write: the run says so.
        std::ofstream(file) << "old\n";
        RunOptions limited = opts;
        limited.fileSize = 512;
        ASSERT_GT(expected.size(), limited.fileSize);
        run = Write(file, limited);
        EXPECT_EQ(0, run.signal);
        EXPECT_EQ(1, run.status);
        EXPECT_EQ("iscsi-inventory: cannot write '" + file + "': File too large\n", run.err);
        EXPECT_EQ("old\n", ReadFile(file));
        EXPECT_EQ(justTheFile, Names(dir));
    }

    // A user other than root writes where that user may, as owner.
    if (geteuid() == 0) {
        ToolCopy copy;
        ASSERT_TRUE(copy.Ok());
        ASSERT_EQ(0, chmod(tree.Root().c_str(), 0755));
        ASSERT_EQ(0, chmod(dir.c_str(), 0777));
        RunOptions nobody;
        nobody.uid = 65534;
        ToolRun run = copy.Run(tree, cwd, nobody, {"--prometheus=" + file, "--no-log"});
        EXPECT_EQ(0, run.status);
        EXPECT_EQ("", run.err);
        EXPECT_EQ(expected, ReadFile(file));
        struct stat st;
        ASSERT_EQ(0, stat(file.c_str(), &st));
        EXPECT_EQ(65534u, st.st_uid);
        EXPECT_EQ(justTheFile, Names(dir));
    }
}

// Standard output a file that a file size limit cuts: what fits is written,
// and the run ends with a message and exit status 1 rather than by SIGXFSZ.
TEST_F(MetricsFile, AFileSizeLimitCutsNoOutputSilently)
{
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


// iscsi-inventory end to end: its standard output against text written by
// hand from the output rules, its log file, and its exit status.
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <vector>

#include "sys_tree.h"

namespace {

struct ToolRun {
    int status = -1;
    std::string out, err;
};

constexpr int kNoNamespace = 77;

// Runs a program with args in dir with the tree at /sys; as user uid when
// given; with /proc unmounted in a private mount namespace when asked (exit
// status kNoNamespace where that is not allowed).
ToolRun RunProgram(const char* program, const std::vector<std::string>& args,
                   const SysTree& tree, const std::string& dir,
                   uid_t uid = static_cast<uid_t>(-1), bool withoutProc = false)
{
    std::vector<char*> argv{const_cast<char*>(program)};
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    std::string outPath = tree.Root() + "/stdout", errPath = tree.Root() + "/stderr";
    pid_t child = fork();
    if (child == 0) {
        int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(out, 1);
        dup2(err, 2);
        if (withoutProc &&
            (unshare(CLONE_NEWNS) != 0 ||
             mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
             umount2("/proc", MNT_DETACH) != 0))
            _exit(kNoNamespace);
        if (chdir(dir.c_str()) != 0 || (uid != static_cast<uid_t>(-1) && setuid(uid) != 0))
            _exit(99);
        tree.Use();
        execv(program, argv.data());
        _exit(98);
    }
    ToolRun run;
    int status = 0;
    waitpid(child, &status, 0);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 1000;
    run.out = ReadFile(outPath);
    run.err = ReadFile(errPath);
    return run;
}

ToolRun RunTool(const SysTree& tree, const std::string& dir, uid_t uid = static_cast<uid_t>(-1))
{
    return RunProgram(TOOL_PATH, {}, tree, dir, uid);
}

ToolRun RunToolWithoutProc(const SysTree& tree, const std::string& dir)
{
    return RunProgram(TOOL_PATH, {}, tree, dir, static_cast<uid_t>(-1), true);
}

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
    ToolRun run = geteuid() == 0 ? RunTool(tree, cwd, 65534) : RunTool(tree, cwd);
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
              "  0000:00:1f.2 driver=ahci pci=00:1f.2 path=" + sys + "\n"
              "scsi: 3 devices\n"
              "  10:0:0:0 driver=sd pci=00:1f.2 controller=10 bus=0 target=0 lun=0 path=" +
                  sys + "/host10/target10:0:0/10:0:0:0\n"
              "  host10 driver=- pci=00:1f.2 path=" + sys + "/host10\n"
              "  target10:0:0 driver=- pci=00:1f.2 path=" + sys + "/host10/target10:0:0\n"
              "usb: not present\n",
              run.out);
    EXPECT_NE(std::string::npos,
              ReadFile(cwd + "/buses.log").find("Leaving CSysfsReader::GetDeviceList"));

    run = RunProgram(EXAMPLE_PATH, {"firewire"}, tree, cwd);
    EXPECT_EQ(2, run.status);
    EXPECT_EQ("", run.out);
    EXPECT_NE("", run.err);
}

}  // namespace

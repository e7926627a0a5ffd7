// SPDX-License-Identifier: MIT
// --prometheus end to end: the exposition written out by hand from the
// rules (the sample tree's whole output is in expected_output_test.cpp), and
// --prometheus=FILE: replaced whole by a rename or left alone, never through
// a link another user could have planted, under any legal name, whatever
// interrupts the run.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "tool_fixture.h"

namespace {

class PrometheusForm : public ToolTest {};

// A session to write metrics about, and the metrics a run prints for it.
class MetricsFile : public ToolTest {
protected:
    void SetUp() override
    {
        ToolTest::SetUp();
        SessionSpec session;
        session.sid = 2;
        iscsi.Session(session);
        expected = RunTool(tree, cwd, {"--prometheus", "--no-log"}).out;
        ASSERT_NE(std::string::npos, expected.find("session2"));
    }
    ToolRun Write(const std::string& file, const RunOptions& opts = {})
    {
        return RunTool(tree, cwd, {"--prometheus=" + file, "--no-log"}, opts);
    }
    std::string expected;
};

// The metrics, in the exposition format written out by hand: a family per
// fact, each under its HELP and TYPE lines with its samples together; a series
// per known state (and one for a state the list does not know), "off" no
// number of seconds, counters read as hex, a counter that is no number left
// out; a disk without a block device has neither size nor read-only sample,
// and one without a WWID is a LUN named by its address; the check's verdict
// and its findings, worst first; label values carry quotes, backslashes,
// newlines and invalid UTF-8.
TEST_F(PrometheusForm, Exposition)
{
    SessionSpec s7;
    s7.sid = 7;
    s7.host = 5;
    s7.target = "iqn.2003-01.org.example:t7";
    s7.address = "192.0.2.7";
    s7.currentPortal = false;
    s7.iface = "if\"a\\b\nc";
    s7.password = "Metrics-Secret";
    s7.sessionFiles = {{"initiatorname", "iqn.x\xff"}};
    SessionSpec s8;
    s8.sid = 8;
    s8.host = 5;
    s8.target = "iqn.2003-01.org.example:t8";
    s8.state = "FAILED";
    s8.recoveryTimeout = "off";
    s8.iface.reset();
    s8.password.reset();
    s8.connection = false;
    LunSpec lun1;
    lun1.lun = 1;
    lun1.wwid = "naa.600140";
    lun1.ioErrors = "0x1f";
    lun1.ioTimeouts = "0x2";
    lun1.state = "blocked";
    lun1.disk = "sdb";
    lun1.sectors = "8";
    lun1.readOnly = "1";
    LunSpec lun2;
    lun2.lun = 2;
    lun2.ioErrors = "many";
    lun2.state = "new-state";
    iscsi.Session(s7)
        .Lun(7, lun1)
        .Lun(7, lun2)
        // The first multipath holder, not the first holder.
        .Map("dm-0", "vg-lv", {"sdb"}, "LVM-abc")
        .Map("dm-3", "mpathb", {"sdb"}, "mpath-3600140")
        .Session(s8);
    // A second connection of session7, recovering, with no portal of its own.
    const std::string c1 = iscsi.ConnectionClassPath(7, 1);
    tree.ClassDevice("iscsi_connection", c1).File(c1 + "/state", "recovering\n");
    ToolRun run = RunTool(tree, cwd, {"--prometheus", "--no-log"});
    EXPECT_EQ(0, run.status);
    EXPECT_EQ("", run.err);
    EXPECT_EQ(std::string::npos, run.out.find("Metrics-Secret"));
    // Each HELP line names the family whose TYPE line follows it; its text
    // is prose, left out of the comparison.
    const std::string withoutHelp = WithoutHelp(run.out);
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
iscsi_lun_paths{wwid="hctl:5:0:0:2",multipath_device=""} 1
# TYPE iscsi_lun_paths_running gauge
iscsi_lun_paths_running{wwid="naa.600140"} 0
iscsi_lun_paths_running{wwid="hctl:5:0:0:2"} 0
# TYPE iscsi_check_status gauge
iscsi_check_status 2
# TYPE iscsi_check_finding gauge
iscsi_check_finding{rule="session-state",severity="critical",session="session8",connection="",target="iqn.2003-01.org.example:t8",portal="",lun=""} 1
iscsi_check_finding{rule="no-path",severity="critical",session="",connection="",target="",portal="",lun="naa.600140"} 1
iscsi_check_finding{rule="no-path",severity="critical",session="",connection="",target="",portal="",lun="hctl:5:0:0:2"} 1
iscsi_check_finding{rule="connection-state",severity="warning",session="session7",connection="connection7:1",target="iqn.2003-01.org.example:t7",portal="192.0.2.7:3260",lun=""} 1
iscsi_check_finding{rule="recovery-timeout",severity="warning",session="session7",connection="",target="iqn.2003-01.org.example:t7",portal="192.0.2.7:3260",lun=""} 1
iscsi_check_finding{rule="read-only",severity="warning",session="",connection="",target="",portal="",lun="naa.600140"} 1
# TYPE iscsi_inventory_errors gauge
iscsi_inventory_errors 0
)",
              withoutHelp);

    // Nothing iSCSI: an OK verdict and the error count alone.
    SysTree empty;
    empty.Dir("class/net");
    run = RunTool(empty, cwd, {"--prometheus", "--no-log"});
    EXPECT_EQ(0, run.status);
    EXPECT_EQ(std::string::npos, run.out.find("iscsi_session"));
    EXPECT_EQ(run.out.size() - 26, run.out.find("\niscsi_inventory_errors 0\n")) << run.out;
    EXPECT_NE(std::string::npos, run.out.find("\niscsi_check_status 0\n")) << run.out;
}

// --prometheus=FILE replaces the file whole, by a rename: a new inode, mode
// 0644 whatever the umask (the collector runs as another user), no temporary
// file left.  Where the directory cannot be written the old file stays, and
// the run fails with one line.
TEST_F(PrometheusForm, FileIsReplacedWholeOrLeftAlone)
{
    SessionSpec session;
    session.sid = 2;
    iscsi.Session(session);
    const std::string expected = RunTool(tree, cwd, {"--prometheus", "--no-log"}).out;
    ASSERT_NE(std::string::npos, expected.find("session2"));
    const std::string dir = tree.Root() + "/textfile";
    ASSERT_EQ(0, mkdir(dir.c_str(), 0755));
    const std::string file = dir + "/iscsi_inventory.prom";
    std::ofstream(file) << "old\n";
    struct stat before, after;
    ASSERT_EQ(0, stat(file.c_str(), &before));

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
    EXPECT_EQ(std::vector<std::string>{"iscsi_inventory.prom"}, Names(dir));
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
    EXPECT_EQ(std::vector<std::string>{"iscsi_inventory.prom"}, Names(dir));
}

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
    for (mode_t mode : {0777, 0775, 0757}) {
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

    // Made by the user running, in a directory only that user writes (or a
    // sticky one, where no one else may rename or remove it): followed,
    // relative (with "..") or absolute, one link after another.
    ToolRun run = Write(file);
    EXPECT_EQ(0, run.status);
    EXPECT_EQ("", run.err);
    EXPECT_EQ(expected, ReadFile(secret + "/iscsi_inventory.prom"));
    ASSERT_EQ(0, chmod(lib.c_str(), 01777));
    std::ofstream(secret + "/iscsi_inventory.prom") << "old\n";
    EXPECT_EQ(0, Write(file).status);
    EXPECT_EQ(expected, ReadFile(secret + "/iscsi_inventory.prom"));
    ASSERT_EQ(0, chmod(lib.c_str(), 0755));
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

}  // namespace

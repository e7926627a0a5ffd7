// SPDX-License-Identifier: MIT
// The bare text form end to end: its standard output against text written
// by hand from the output rules (the sample tree's whole output is in
// expected_output_test.cpp), the trace it leaves, the secrets it masks, and
// the exit status of a run that could not read everything.
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <string>

#include "tool_fixture.h"

namespace {

class TextForm : public ToolTest {};

TEST_F(TextForm, PrintsEveryPassInByteOrder)
{
    tree.BusDevice("scsi", "devices/platform/host10")
        .ClassDevice("iscsi_host", "devices/platform/host10/iscsi_host/host10")
        .File("devices/platform/host10/iscsi_host/host10/ipaddress", "10.0.0.1\n")
        .BusDevice("scsi", "devices/platform/host2")
        .ClassDevice("iscsi_host", "devices/platform/host2/iscsi_host/host2")
        .File("devices/platform/host2/iscsi_host/host2/ipaddress", "\n")
        // Attribute files of a SCSI device named like the identity's keys:
        // shown beside them, never in their place nor lost.
        .File("devices/platform/host2/name", "odd\n")
        .File("devices/platform/host2/path", "/elsewhere\n")
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
        "\tname:: \todd\n"
        "\tpath:: \t/sys/devices/platform/host2\n"
        "\tpath:: \t/elsewhere\n"
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
    ToolRun json = RunTool(tree, cwd, {"--json", "--no-log"});
    ASSERT_EQ(0, json.status) << json.err;
    const nlohmann::json device = nlohmann::json::parse(json.out)["iscsi_host"][1]["device"];
    EXPECT_EQ("host2", device["name"]);
    EXPECT_EQ("/sys/devices/platform/host2", device["path"]);
    EXPECT_EQ((nlohmann::json{{"name", "odd"}, {"path", "/elsewhere"}}), device["attributes"]);
}

TEST_F(TextForm, NothingToShowPrintsNothing)
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

TEST_F(TextForm, IscsiHostEntryListsDirectoriesUnderEveryPath)
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

// A copy of a real kernel's iSCSI objects: both connections under their own
// names, write-only files with an empty value, the hosts on the scsi bus.
TEST_F(TextForm, RealKernelTree)
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

// The bare text form keeps its bytes exactly where a program reads it, and
// shows names, keys and values visibly on a terminal, as ls shows file
// names; its own separators stay.
TEST_F(TextForm, EscapesSysfsBytesOnATerminalOnly)
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

// CHAP secrets: set ones show as the mask on standard output, in --json, in
// the facts and in the trace, whichever object's listing reaches them (here
// also the "iscsi" scsi_host entry, whose path leads into a session);
// unset ones ("(null)", empty) stay as they are.  --show-secrets shows them on
// standard output only.  A new log is private to its owner.
TEST_F(TextForm, SecretsAreShownOnlyWhenAskedAndNeverLogged)
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

// What could not be read is no absence: the tool prints what it could,
// names what failed on standard error and exits with 1.  Short of
// descriptors, each run is either the whole inventory with 0 or a failure
// with 1, never a shorter inventory with 0.
TEST_F(TextForm, ObjectsThatCannotBeReadMakeTheRunFail)
{
    ASSERT_TRUE(MakeDataTree(tree, "make-sample-tree.sh"));
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

}  // namespace

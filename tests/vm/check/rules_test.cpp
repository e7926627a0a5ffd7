// SPDX-License-Identifier: MIT
// vm-check's rules on hand-made dumps and outputs: how it reads what the VM
// sent back, what it says the tool must show for a file, where objects sit,
// and the comparisons a wrong rule would let pass or fail wrongly.  The
// phases' rules on whole results are tested by vm_check_test.sh.
#include <cstdio>
#include <fstream>
#include <functional>

#include <gtest/gtest.h>

#include "outputs.h"

namespace vmcheck {
namespace {

// The FAIL lines a check printed.
std::string FailLines(const std::function<void()>& check)
{
    testing::internal::CaptureStdout();
    check();
    return testing::internal::GetCapturedStdout();
}

// A file line of a dump: "C name mode OK hex".
std::string FileLine(const std::string& name, const std::string& mode, const std::string& value)
{
    std::string hex;
    char byte[3];
    for (unsigned char c : value) {
        std::snprintf(byte, sizeof byte, "%02x", c);
        hex += byte;
    }
    return "C " + name + " " + mode + " OK " + hex + "\n";
}

const char kSessionPath[] = "/sys/devices/platform/host1/session2/iscsi_session/session2";

TEST(Dump, ReadsEntriesTheirFilesAndDevicesAndTheScsiBus)
{
    Dump dump = ParseDump(FileLine("ignored", "444", "before any entry") +
                          "ENTRY iscsi_host host2\n"
                          "REALPATH /sys/devices/platform/host2/iscsi_host/host2\n" +
                          FileLine("ipaddress", "444", "127.0.0.1\n") +
                          "DEVICE /sys/devices/platform/host2\n"
                          "SUBSYSTEM ../../../bus/scsi\n"
                          "DRIVER \n"
                          "D uevent 644 ERR Input/output error\n"
                          "BUSDEV 2:0:0:1 ../../../bus/scsi/drivers/sd\n"
                          "BUSBLOCK 2:0:0:1 sdb\n");
    ASSERT_EQ(dump.objects.size(), 1u);
    const Object* host = Find(dump, "iscsi_host", "host2");
    ASSERT_NE(host, nullptr);
    EXPECT_EQ(host->path, "/sys/devices/platform/host2/iscsi_host/host2");
    EXPECT_EQ(host->files.at("ipaddress").value, "127.0.0.1\n");
    EXPECT_EQ(host->files.at("ipaddress").mode, 0444);
    EXPECT_TRUE(host->hasDevice);
    EXPECT_EQ(BusOf(host->devicePath, host->subsystem), "scsi");
    EXPECT_FALSE(host->deviceFiles.at("uevent").ok);
    EXPECT_EQ(host->deviceFiles.at("uevent").value, "Input/output error");
    EXPECT_EQ(dump.busDevices.at("2:0:0:1"), "../../../bus/scsi/drivers/sd");
    EXPECT_EQ(BlockOf(dump, "2:0:0:1"), "sdb");
    EXPECT_EQ(Find(dump, "iscsi_host", "host3"), nullptr);
}

TEST(Dump, AFileGoneBeforeItsStatCountsAsOneItsOwnerMayRead)
{
    Dump dump = ParseDump("ENTRY iscsi_session session1\n"
                          "C state OK 4c4f474745445f494e0a\n"
                          "C recovery_tmo ERR No such file or directory\n");
    const Files& files = Find(dump, "iscsi_session", "session1")->files;
    EXPECT_EQ(files.at("state").mode, 0400);
    EXPECT_EQ(Shown(files.at("state")), "LOGGED_IN");
    EXPECT_EQ(Shown(files.at("recovery_tmo")), std::nullopt);
}

TEST(Shown, AFailedReadShowsEmptyOnlyWhereTheOwnerMayNotRead)
{
    EXPECT_EQ(Shown(File{0200, false, "Permission denied"}), "");
    EXPECT_EQ(Shown(File{0444, false, "Transport endpoint is not connected"}), std::nullopt);
}

TEST(Shown, DropsOneNewlineCutsAtAPageAndShowsALeadingNulAsEmpty)
{
    EXPECT_EQ(Shown(File{0444, true, "two\n\n"}), "two\n");
    EXPECT_EQ(Shown(File{0444, true, std::string("\0abc", 4)}), "");
    EXPECT_EQ(Shown(File{0444, true, ""}), "");
    EXPECT_EQ(Shown(File{0444, true, std::string(5000, 'x')})->size(), 4096u);
}

TEST(Shown, MasksASecretOnlyWhenOneIsSet)
{
    File set{0600, true, "Test-Secret-1\n"};
    EXPECT_EQ(Shown("password", set, true), "********");
    EXPECT_EQ(Shown("password_in", set, true), "********");
    EXPECT_EQ(Shown("password", set, false), "Test-Secret-1");
    EXPECT_EQ(Shown("username", set, true), "Test-Secret-1");
    EXPECT_EQ(Shown("password", File{0600, true, "(null)\n"}, true), "(null)");
    EXPECT_EQ(Shown("password", File{0600, true, "\n"}, true), "");
}

TEST(Counter, AcceptsAnyCountFromOneDumpsOnToTheOthersModulo2To32)
{
    Line line{"exp_statsn", {"4294967290", "5"}};
    line.counter = true;
    line.low = "4294967290";
    line.high = "5";
    for (const char* value : {"4294967290", "4294967295", "0", "3", "5"})
        EXPECT_TRUE(Accepts(line, value)) << value;
    for (const char* value : {"4294967289", "6", "7", "", "-1", "4294967296", "0x5"})
        EXPECT_FALSE(Accepts(line, value)) << value;
    line.counter = false;
    EXPECT_FALSE(Accepts(line, "3"));
    EXPECT_TRUE(IsCounter("iscsi_connection", "exp_statsn"));
    EXPECT_FALSE(IsCounter("iscsi_session", "exp_statsn"));
}

TEST(Topology, TheBusIsReadFromTheSubsystemLinkLexically)
{
    EXPECT_EQ(BusOf("/sys/devices/platform/host2", "../../../bus/scsi"), "scsi");
    EXPECT_EQ(BusOf("/sys/devices/platform/host2", "/sys/bus/scsi"), "scsi");
    EXPECT_EQ(BusOf("/sys/devices/platform/host2", "./../.././../bus/scsi"), "scsi");
    EXPECT_EQ(BusOf("/sys/devices/platform/host2", "../../../class/scsi_host"), "");
    EXPECT_EQ(BusOf("/sys/devices/platform/host2", ""), "");
}

TEST(Topology, ScsiNamesGoByTheirNumbersThenOtherNamesByteWise)
{
    std::vector<std::string> names{"target1:0:0", "host1", "1:0:0:10", "10:0:0:0", "1:0:0:2", "2:0:0:0",
                                   "1:0:0:010", "1:0:0:9"};
    std::sort(names.begin(), names.end(), ScsiListedBefore);
    EXPECT_EQ(names, (std::vector<std::string>{"1:0:0:2", "1:0:0:9", "1:0:0:010", "1:0:0:10", "2:0:0:0",
                                               "10:0:0:0", "host1", "target1:0:0"}));
    EXPECT_FALSE(ScsiListedBefore("1:0:0:2", "1:0:0:2"));
}

TEST(Topology, AHostNumberHandedOutAgainIsAnotherHost)
{
    auto dump = [](const std::string& session) {
        return ParseDump("ENTRY iscsi_session " + session + "\nREALPATH /sys/devices/platform/host3/" + session +
                         "/iscsi_session/" + session + "\n");
    };
    const std::string host = "/sys/devices/platform/host3/iscsi_host/host3";
    EXPECT_TRUE(SamePath(dump("session3"), host, dump("session3"), host));
    EXPECT_FALSE(SamePath(dump("session3"), host, dump("session7"), host));
    // A host no session sits beneath is gone, or not yet the one it will be.
    EXPECT_FALSE(SamePath(dump("session3"), "/sys/devices/platform/host4/iscsi_host/host4", dump("session3"),
                          "/sys/devices/platform/host4/iscsi_host/host4"));
    const std::string transport = "/sys/devices/virtual/iscsi_transport/tcp";
    EXPECT_TRUE(SamePath(dump("session3"), transport, dump("session7"), transport));
    EXPECT_FALSE(SamePath(dump("session3"), "", dump("session3"), ""));
}

TEST(Topology, ASessionsTransportHostAndDisksAsTheDumpShowsThem)
{
    const std::string below = "/sys/devices/platform/host1/session2/target1:0:0/";
    Dump dump = ParseDump("ENTRY scsi_host host1\n" + FileLine("proc_name", "444", "iscsi_iser\n") +
                          "ENTRY iscsi_session session2\nREALPATH " + kSessionPath +
                          "\nDEVICE /sys/devices/platform/host1/session2\n"
                          "BUSPATH 1:0:0:10 " + below + "1:0:0:10\n"
                          "BUSPATH 1:0:0:2 " + below + "1:0:0:2\n"
                          "BUSPATH target1:0:0 /sys/devices/platform/host1/session2/target1:0:0\n"
                          "BUSPATH 1:0:0:3 /sys/devices/platform/host1/session20/target1:0:0/1:0:0:3\n"
                          "BUSBLOCK 1:0:0:2 sdb\nBUSBLOCK 1:0:0:2 sdc\n");
    const Object& session = *Find(dump, "iscsi_session", "session2");
    EXPECT_EQ(HostOf(session.path), "host1");
    EXPECT_EQ(TransportOf(dump, session), "iser");
    EXPECT_EQ(DisksOf(dump, session), (std::vector<std::string>{"1:0:0:2", "1:0:0:10"}));
    EXPECT_EQ(BlockOf(dump, "1:0:0:2"), "");  // two block devices: none is its own
    EXPECT_EQ(HostOf("/sys/devices/virtual/iscsi_transport/tcp"), "");
}

TEST(Results, SectionsWithTheirStatusesAndTheMarksBetween)
{
    const std::string path = testing::TempDir() + "vm_check_results.txt";
    std::ofstream(path) << "==== KERNEL test\n"
                           "==== BEGIN churn buses-2\n"
                           "scsi: 1 device\n"
                           "==== not a mark inside a section\n"
                           "==== END churn buses-2 rc=143\n"
                           "==== BEGIN chap login\n"
                           "==== END chap login\n"
                           "==== DONE\n";
    std::vector<std::string> marks;
    Statuses statuses;
    Sections sections = ReadSections(path, marks, statuses);
    std::remove(path.c_str());
    EXPECT_EQ(sections["churn buses-2"], "scsi: 1 device\n==== not a mark inside a section\n");
    EXPECT_TRUE(sections.count("chap login"));
    EXPECT_EQ(statuses, (Statuses{{"churn buses-2", 143}}));
    EXPECT_EQ(marks, (std::vector<std::string>{"KERNEL test", "DONE"}));
}

TEST(Json, EscapedBytesAreReadAsTheBytesTheyCarry)
{
    EXPECT_EQ(Decoded("ab\\x65"), "abe");
    EXPECT_EQ(Decoded("\\\\x65"), "\\x65");
    EXPECT_EQ(Decoded("\\x6"), "\\x6");
    EXPECT_EQ(Decoded("\\xzz"), "\\xzz");
}

TEST(Json, ADocumentNotAsTheSchemaSaysReadsAsNull)
{
    nlohmann::json array = nlohmann::json::array({1, 2});
    EXPECT_TRUE(Member(array, "name").is_null());
    EXPECT_EQ(Text(Member(nlohmann::json{{"name", nullptr}}, "name")), "null");
    EXPECT_EQ(Text(nlohmann::json(3)), "3");
    EXPECT_TRUE(Items(nlohmann::json{{"disks", "none"}}, "disks").empty());
}

TEST(Prometheus, LabelsKeepTheirEscapesAndNumbersCompareAsNumbers)
{
    auto labels = Labels("iscsi_disk_info{session=\"session1\",model=\"a\\\"b\"} 1");
    EXPECT_EQ(labels["session"], "session1");
    EXPECT_EQ(labels["model"], "a\\\"b");
    EXPECT_TRUE(Labels("iscsi_sessions 3").empty());
    EXPECT_TRUE(SameNumber("1e3", 1000));
    EXPECT_TRUE(SameNumber("1000.0", 1000));
    EXPECT_FALSE(SameNumber("", 0));
    EXPECT_FALSE(SameNumber("12x", 12));
    EXPECT_FALSE(SameNumber("2048", 1048576));
}

TEST(Inventory, ALineOutsideAnEntryFailsOnceAndAValueMaySpanLines)
{
    const std::string text = "stray\nNAME SESSION CLASS :: session1\n\tstate:: \tLOGGED_IN\n\tlong:: \tone\ntwo\n";
    std::vector<Printed> printed;
    EXPECT_EQ(FailLines([&] { printed = ParseInventory(text, "loggedin"); }),
              "FAIL [loggedin] inventory line outside any entry: stray\n");
    EXPECT_EQ(FailLines([&] { ParseInventory(text, "loggedin", false); }), "");
    auto values = Values(printed, "NAME SESSION CLASS :: session1");
    EXPECT_EQ(values["long"], "one\ntwo");
    EXPECT_EQ(values["state"], "LOGGED_IN");
}

TEST(Inventory, TheEntriesOfTheFourClassesInOrderWithTheirDevices)
{
    Dump dump = ParseDump("ENTRY iscsi_session session2\nREALPATH " + std::string(kSessionPath) + "\n" +
                          FileLine("state", "444", "LOGGED_IN\n") +
                          "C password 200 ERR Permission denied\n"
                          "ENTRY iscsi_host host1\nREALPATH /h\nDEVICE /sys/devices/platform/host1\n"
                          "SUBSYSTEM ../../../bus/scsi\nDRIVER \n");
    std::vector<Block> blocks = Expected(dump, dump, true);
    ASSERT_EQ(blocks.size(), 2u);
    EXPECT_EQ(blocks[0].heading, "NAME DEVICE CLASS:: host1");
    std::vector<std::string> keys;
    for (const Line& line : blocks[0].lines)
        keys.push_back(line.key + "=" + *line.values.begin());
    EXPECT_EQ(keys, (std::vector<std::string>{"classname=iscsi_host", "path=/h", "bus=scsi", "bus_id=host1",
                                              "driver_name=unknown", "name=host1",
                                              "path=/sys/devices/platform/host1"}));
    EXPECT_EQ(blocks[1].heading, "NAME SESSION CLASS :: session2");
    ASSERT_EQ(blocks[1].lines.size(), 4u);
    EXPECT_EQ(blocks[1].lines[2].key, "password");
    EXPECT_EQ(*blocks[1].lines[2].values.begin(), "");
}

TEST(Inventory, AFailureNamesALeakedSecretWithoutSpellingItOut)
{
    Dump dump = ParseDump("ENTRY iscsi_session session5\nREALPATH /s\n" +
                          FileLine("password", "600", "Test-Secret-1\n"));
    const std::string printed = "NAME SESSION CLASS :: session5\n\tclassname:: \tiscsi_session\n"
                                "\tpath:: \t/s\n\tpassword:: \tTest-Secret-1\n";
    std::string out = FailLines(
        [&] { CheckInventory("chap", Expected(dump, dump, true), ParseInventory(printed, "chap")); });
    EXPECT_EQ(out, "FAIL [chap] NAME SESSION CLASS :: session5: password = (the secret), expected \"********\"\n");
}

// A map as dmsetup prints it: one group of two paths under service-time,
// the ALUA handler, queueing; 8:48 failed once.
const char kTable[] = "0 2048 multipath 1 queue_if_no_path 1 alua 1 1 service-time 0 2 1 8:32 1 8:48 1\n";
const char kStatus[] = "0 2048 multipath 2 0 0 0 1 1 A 0 2 2 8:32 A 0 0 1 8:48 F 1 0 1\n";

TEST(MapStates, TheTablesWordsAndTheStatusStatesOfEachPath)
{
    std::string error;
    std::optional<DmMap> map = ParseDmMap(kTable, kStatus, error);
    ASSERT_TRUE(map) << error;
    EXPECT_EQ(map->features, (std::vector<std::string>{"queue_if_no_path"}));
    EXPECT_EQ(map->handler, (std::vector<std::string>{"alua"}));
    ASSERT_EQ(map->groups.size(), 1u);
    EXPECT_EQ(map->groups[0].state, 'A');
    EXPECT_EQ(map->groups[0].selector, "service-time 0");
    ASSERT_EQ(map->groups[0].paths.size(), 2u);
    EXPECT_EQ(map->groups[0].paths[1].dev, "8:48");
    EXPECT_FALSE(map->groups[0].paths[1].active);
    EXPECT_EQ(map->groups[0].paths[1].failCount, 1u);
    EXPECT_TRUE(map->groups[0].paths[0].active);

    EXPECT_FALSE(ParseDmMap(kTable, "0 2048 multipath 2 0 0 0 1 1 A 0 2 2 8:32 A 0 0 1 8:48 X 1 0 1", error));
    EXPECT_EQ(error, "dmsetup status: group 1 path 2: state \"X\" is neither A nor F");
    EXPECT_FALSE(ParseDmMap(kTable, "0 2048 multipath 2 0 0 0 1 1 A 0 2 2 8:32 A 0 0 1 8:64 F 1 0 1", error));
    EXPECT_EQ(error, "dmsetup status: group 1 path 2 is 8:64, the table's 8:48");
    EXPECT_FALSE(ParseDmMap("0 2048 multipath 0 0 1 1 service-time 0 2 1 8:32 1", kStatus, error));
    EXPECT_EQ(error, "dmsetup table: ends before group 1 path 2");
    EXPECT_FALSE(ParseDmMap("0 2048 linear 8:32 0", kStatus, error));
    EXPECT_EQ(error, "dmsetup table: \"0 2048 linear 8:32 0\" is no multipath target");
}

// The LUN of two paths, sdc and sdd, both running as far as sysfs says,
// with the map's view of them added.
LunFacts MappedLun()
{
    LunFacts lun;
    lun.wwid = "naa.6001405abc";
    static const char* const paths[2][5] = {{"session3", "2:0:0:0", "sdc", "8:32", "127.0.0.1:3260"},
                                            {"session4", "3:0:0:0", "sdd", "8:48", "127.0.0.2:3260"}};
    for (const auto& p : paths) {
        PathFacts& path = lun.paths.emplace_back();
        path.session = p[0];
        path.hctl = p[1];
        path.block = p[2];
        path.dev = p[3];
        path.portal = p[4];
        path.wwid = lun.wwid;
        path.sessionState = "LOGGED_IN";
        path.target = "iqn.2003-01.org.example.vm:multipath";
        path.iface = "default";
        path.state = "running";
        path.vendor = "LIO-ORG";
        path.model = "RAMDISK-MCP";
        path.rev = "4.0";
        path.bytes = 1048576;
        path.readOnly = false;
        path.map = DiskDump::Holder{"dm-0", "mpath-36001405abc", "mpatha"};
    }
    EXPECT_EQ(FailLines([&] { AddMapStates("multipath dm", "dmsetup", kTable, kStatus, lun); }), "");
    return lun;
}

TEST(MapStates, APathTheMapFailedIsNotRunningAndLunsShowsTheMapsView)
{
    const std::vector<LunFacts> luns{MappedLun()};
    EXPECT_EQ(luns[0].Running(), 1u);
    const std::string path =
        "\t\tSession: session4 (LOGGED_IN)\n\t\tTarget: iqn.2003-01.org.example.vm:multipath\n"
        "\t\tPortal: 127.0.0.2:3260\n\t\tIface: default\n\t\tSCSI Device State: running\n\t\tRead-only: No\n"
        "\t\tDM State: failed, group 1, 1 failure\n";
    const std::string head =
        "LUN: naa.6001405abc\n\tSize: 1.00 MiB\n\tVendor: LIO-ORG\n\tModel: RAMDISK-MCP\n\tRev: 4.0\n"
        "\tRead-only: No\n\tMultipath: mpatha (dm-0)\n\t\tFeatures: queue_if_no_path\n"
        "\t\tHardware Handler: alua\n\t\tGroup 1: active, service-time 0, 2 paths\n"
        "\tPath: 2:0:0:0 sdc: running\n\t\tSession: session3 (LOGGED_IN)\n"
        "\t\tTarget: iqn.2003-01.org.example.vm:multipath\n\t\tPortal: 127.0.0.1:3260\n\t\tIface: default\n"
        "\t\tSCSI Device State: running\n\t\tRead-only: No\n\t\tDM State: active, group 1, 0 failures\n";
    EXPECT_EQ(FailLines([&] {
                  CheckLuns("multipath dm", "--luns", head + "\tPath: 3:0:0:0 sdd: not running\n" + path +
                                                          "\t1 of 2 paths running\n", luns);
              }),
              "");
    // Judged from sysfs alone, as a tool that did not ask the map.
    EXPECT_EQ(FailLines([&] {
                  CheckLuns("multipath dm", "--luns", head + "\tPath: 3:0:0:0 sdd: running\n" + path +
                                                          "\t2 of 2 paths running\n", luns);
              }),
              "FAIL [multipath dm] --luns: naa.6001405abc: \"\\tPath: 3:0:0:0 sdd: running\", expected "
              "\"\\tPath: 3:0:0:0 sdd: not running\"\n");
}

TEST(MapStates, APathTheTableDoesNotNameIsNotInTheMapAndNotRunning)
{
    LunFacts lun = MappedLun();
    EXPECT_EQ(FailLines([&] {
                  AddMapStates("multipath dm", "dmsetup", "0 2048 multipath 0 0 1 1 round-robin 0 1 1 8:32 1000\n",
                               "0 2048 multipath 2 0 0 0 1 1 A 0 1 0 8:32 A 2\n", lun);
              }),
              "");
    ASSERT_TRUE(lun.paths[1].dm);
    EXPECT_FALSE(lun.paths[1].dm->inMap);
    EXPECT_FALSE(lun.paths[1].Running());
    EXPECT_EQ(lun.paths[0].dm->failCount, 2u);
    EXPECT_EQ(lun.Running(), 1u);
    // Output that is no map leaves the LUN as it was, and says why.
    EXPECT_EQ(FailLines([&] { AddMapStates("multipath dm", "dmsetup", "", "", lun); }),
              "FAIL [multipath dm] dmsetup: dmsetup table: no output\n");
}

TEST(MapStates, TheMetricsShowEachPathsStateAndFailCountAsDmsetupDoes)
{
    const std::vector<LunFacts> luns{MappedLun()};
    auto exposition = [](const std::string& sddActive, bool read) {
        const std::string lun = "wwid=\"naa.6001405abc\"", map = "multipath_device=\"mpatha\"";
        const std::string sdc = "session=\"session3\",hctl=\"2:0:0:0\"", sdd = "session=\"session4\",hctl=\"3:0:0:0\"";
        return std::string(read ? "iscsi_multipath_states_read 1\n" : "") +
               "iscsi_lun_paths{" + lun + "," + map + "} 2\n"
               "iscsi_lun_paths_running{" + lun + "} 1\n"
               "iscsi_multipath_queue_if_no_path{" + lun + "," + map + "} 1\n"
               "iscsi_lun_path_dm_active{" + lun + "," + sdc + "," + map + "} 1\n"
               "iscsi_lun_path_dm_active{" + lun + "," + sdd + "," + map + "} " + sddActive + "\n"
               "iscsi_lun_path_dm_failures_total{" + lun + "," + sdc + "," + map + "} 0\n"
               "iscsi_lun_path_dm_failures_total{" + lun + "," + sdd + "," + map + "} 1\n"
               "iscsi_disk_state{" + sdc + ",state=\"running\"} 1\n"
               "iscsi_disk_state{" + sdd + ",state=\"running\"} 1\n"
               "iscsi_disk_read_only{" + sdc + "} 0\niscsi_disk_read_only{" + sdd + "} 0\n"
               "iscsi_disk_size_bytes{" + sdc + "} 1048576\niscsi_disk_size_bytes{" + sdd + "} 1048576\n";
    };
    EXPECT_EQ(FailLines([&] { CheckLunMetrics("multipath dm", "--prometheus", exposition("0", true), luns); }), "");
    EXPECT_EQ(FailLines([&] { CheckLunMetrics("multipath dm", "--prometheus", exposition("1", false), luns); }),
              "FAIL [multipath dm] --prometheus: iscsi_lun_path_dm_active{session=\"session4\",hctl=\"3:0:0:0\"} "
              "is 1, dmsetup shows 0\n"
              "FAIL [multipath dm] --prometheus: iscsi_multipath_states_read is missing, but dmsetup showed the map\n");
}

TEST(Peers, TheRatioIsOfTheMediansAndEveryRunMustHaveCompleted)
{
    // A WARNING or CRITICAL verdict is a completed run of the check.
    std::vector<std::string> ratios;
    std::string out = FailLines([&] {
        ratios = CheckPeers("san peers", "iscsiadm 24 0\nsessions 10 0\nluns 40 0\ncheck 30 1\n"
                                         "iscsiadm 21 0\nsessions 12 0\nluns 42 0\ncheck 31 2\n"
                                         "iscsiadm 20 0\nsessions 90 0\nluns 44 0\ncheck 29 0\n",
                            {kSessionsPeer, kLunsIscsiadmPeer, kCheckPeer});
    });
    EXPECT_EQ(out, "");
    EXPECT_EQ(ratios, (std::vector<std::string>{"--sessions vs iscsiadm -P 3: 0.57 (0.12 s against 0.21 s)",
                                                "--luns vs iscsiadm -P 3: 2.00 (0.42 s against 0.21 s)",
                                                "--check vs iscsiadm -P 3: 1.43 (0.30 s against 0.21 s)"}));

    // UNKNOWN is no verdict, and a peer missing for two tools is one fault.
    out = FailLines([&] {
        ratios = CheckPeers("multipath peers", "luns 7 1\nluns 7 0\nluns 8 0\nmultipath 0 0\nmultipath 0 0\n"
                                               "multipath 0 0\nsessions 1 0\nsessions 2\n"
                                               "check 5 3\ncheck 5 0\ncheck 5 0\n",
                            {kLunsMultipathPeer, kSessionsPeer, kCheckPeer});
    });
    EXPECT_EQ(out, "FAIL [multipath peers] a timed run of luns ended with status 1\n"
                   "FAIL [multipath peers] a timed run reads \"sessions 2\"\n"
                   "FAIL [multipath peers] a timed run of check ended with status 3\n"
                   "FAIL [multipath peers] sessions was timed 1 times, not 3\n"
                   "FAIL [multipath peers] iscsiadm was timed 0 times, not 3\n");
    EXPECT_EQ(ratios, (std::vector<std::string>{"--luns vs multipath -ll: n/a (0.07 s against under 0.01 s)"}));
}

}  // namespace
}  // namespace vmcheck

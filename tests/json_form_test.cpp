// SPDX-License-Identifier: MIT
// --json end to end: the document's parts and their order, the bytes sysfs
// may hold that JSON strings cannot, the joined session records, and a real
// kernel's sessions; documents compared parsed, against what the rules say.
#include <unistd.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdlib>
#include <string>
#include <vector>

#include "tool_fixture.h"

namespace {

using nlohmann::json;

class JsonForm : public ToolTest {};

TEST_F(JsonForm, NothingToShow)
{
    tree.Dir("class/net");
    ToolRun run = RunTool(tree, cwd, {"--json", "--no-log"});
    EXPECT_EQ(0, run.status);
    EXPECT_EQ("", run.err);
    EXPECT_EQ(json::parse(R"({"format_version": "1.3", "iscsi_host": [], "iscsi_transport": [],
                              "iscsi_connection": [], "iscsi_session": [],
                              "iscsi_scsi_host": null, "sessions": [], "luns": [],
                              "multipath_states": null, "errors": []})"),
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
TEST_F(JsonForm, DocumentCarriesEveryByteAndEachSessionsDisks)
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
    expected["format_version"] = "1.3";
    expected["multipath_states"] = nullptr;
    expected["errors"] = json::array();
    ASSERT_EQ(1u, document["sessions"].size());  // the joined records have a test of their own
    document.erase("sessions");
    document.erase("luns");
    EXPECT_EQ(expected, document) << expected.dump(1) << "\n" << document.dump(1);
    EXPECT_EQ('\n', run.out.back());
    // The text log is written as for the text output.
    EXPECT_NE(std::string::npos, ReadFile(cwd + "/SysReader.log").find("GetPATHDeviceAttr"));
}

// --json writes the characters that are valid JSON but that a terminal or a
// JavaScript parser acts on as \u escapes, in the class devices and in the
// joined sessions alike; the document reads back the same characters.
TEST_F(JsonForm, EscapesC1ControlsAndLineSeparators)
{
    const std::string name = "a\xc2\x9b" "b\xe2\x80\xa8" "c\xe2\x80\xa9" "d\x7f" "e\xc2\xa0";
    SessionSpec session;
    session.sid = 7;
    session.target = name;
    session.sessionFiles = {{"k\xc2\x85", "v"}};
    iscsi.Session(session);
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

// The joined session records: each session with its host (and, for an
// offload HBA, the PCI card and its driver), its connections, its timeouts as
// numbers ("off" is no number) and its disks with size, identity, counters
// (hex in sysfs) and the name udev gives them under /dev/disk/by-path.
TEST_F(JsonForm, JoinsEachSessionWithItsHostConnectionsAndDisks)
{
    const std::string card = "devices/pci0000:00/0000:00:1f.2";
    tree.BusDevice("pci", card).Bind("pci", "be2iscsi", card);
    SessionSpec session;
    session.sid = 3;
    session.host = 7;
    session.hostParent = card;
    session.procName = "be2iscsi";
    session.target = "iqn.2003-01.org.example:t";
    session.address = "192.0.2.5";
    session.currentPortal = false;
    session.iface.reset();
    session.recoveryTimeout = "off";
    session.password = "Joined-Secret";
    session.sessionFiles = {{"abort_tmo", "15"}};
    LunSpec lun;
    lun.lun = 1;
    lun.vendor = "LIO-ORG";
    lun.model.reset();
    lun.rev.reset();
    lun.wwid = "naa.6001405abcdef";
    lun.ioErrors = "0x1f";
    lun.disk = "sdd";
    // Not every device-mapper device is a multipath one.
    iscsi.Session(session)
        .Lun(3, lun)
        .Map("dm-0", "mpatha", {"sdd"}, "mpath-36001405abcdef")
        .Map("dm-1", "vg-lv", {"sdd"}, "LVM-abc");
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

// The disks of a real kernel's sessions, as iscsiadm -m session -P 3 showed
// them on that machine: session 1 (target1) on host 0 with sda, session 2
// (target0) on host 1 with sdb; each an LIO ramdisk of 65536 sectors, whose
// wwid the kernel could not read (the copy leaves such a file out), so each
// is a LUN of its own, keyed by nothing.
TEST_F(JsonForm, RealKernelTreeMatchesIscsiadm)
{
    ASSERT_EQ(0, system(("tar xzf " SOURCE_DIR "/tests/data/real-iscsi-loggedin.tar.gz -C " +
                         tree.Root()).c_str()));
    ToolRun run = RunTool(tree, cwd, {"--json", "--no-log"});
    EXPECT_EQ(0, run.status);
    json document = json::parse(run.out);
    ASSERT_EQ(2u, document["iscsi_session"].size());
    EXPECT_EQ("session1", document["iscsi_session"][0]["name"]);
    EXPECT_EQ(json::parse(R"([{"name": "0:0:0:0",
        "path": "/sys/devices/platform/host0/session1/target0:0:0/0:0:0:0",
        "controller": "0", "bus": "0", "target": "0", "lun": "0",
        "state": "running", "block_device": "sda"}])"),
              document["iscsi_session"][0]["disks"]);
    EXPECT_EQ(json::parse(R"([{"name": "1:0:0:0",
        "path": "/sys/devices/platform/host1/session2/target1:0:0/1:0:0:0",
        "controller": "1", "bus": "0", "target": "0", "lun": "0",
        "state": "running", "block_device": "sdb"}])"),
              document["iscsi_session"][1]["disks"]);
    EXPECT_EQ(json::parse(R"([
        {"wwid": null, "size_bytes": 33554432, "vendor": "LIO-ORG", "model": "RAMDISK-MCP",
         "rev": "4.0", "read_only": false, "multipath": null, "paths_running": 1,
         "paths": [{"session": "session1", "target": "iqn.2003-01.org.example.vm:target1",
                    "portal": "127.0.0.1:3260", "iface": "default", "hctl": "0:0:0:0",
                    "block_device": "sda", "state": "running",
                    "dm_state": null, "fail_count": null, "group": null}]},
        {"wwid": null, "size_bytes": 33554432, "vendor": "LIO-ORG", "model": "RAMDISK-MCP",
         "rev": "4.0", "read_only": false, "multipath": null, "paths_running": 1,
         "paths": [{"session": "session2", "target": "iqn.2003-01.org.example.vm:target0",
                    "portal": "127.0.0.1:3260", "iface": "default", "hctl": "1:0:0:0",
                    "block_device": "sdb", "state": "running",
                    "dm_state": null, "fail_count": null, "group": null}]}])"),
              document["luns"]);
    std::vector<std::string> connections;
    for (const json& connection : document["iscsi_connection"])
        connections.push_back(connection["name"]);
    EXPECT_EQ((std::vector<std::string>{"connection1:0", "connection2:0"}), connections);
    EXPECT_EQ("scsi", document["iscsi_host"][0]["device"]["bus"]);
    EXPECT_TRUE(document["iscsi_scsi_host"].is_null());
}

}  // namespace

// Class device list and class device attributes on iSCSI-shaped trees.
#include "reader_fixture.h"

namespace {

const std::string kHost = "devices/platform/host0";
const std::string kSession = kHost + "/session1";
const std::string kConn1 = kSession + "/connection1:0";
const std::string kConn2 = "devices/platform/host1/session2/connection2:0";

class ClassQueries : public ReaderTest {
protected:
    void SetUp() override
    {
        ReaderTest::SetUp();
        tree.BusDevice("scsi", kHost)
            .ClassDevice("iscsi_host", kHost + "/iscsi_host/host0")
            .File(kHost + "/iscsi_host/host0/ipaddress", "127.0.0.1\n")
            .ClassDevice("iscsi_transport", "devices/virtual/iscsi_transport/tcp", false)
            .File("devices/virtual/iscsi_transport/tcp/handle", "18446744072640299136\n")
            .File("devices/virtual/iscsi_transport/tcp/caps", "0x39\n")
            .ClassDevice("iscsi_connection", kConn1 + "/iscsi_connection/connection1:0")
            .File(kConn1 + "/iscsi_connection/connection1:0/port", "3260\n")
            .File(kConn1 + "/uevent", "\n")
            .ClassDevice("iscsi_connection", kConn2 + "/iscsi_connection/connection2:0")
            .File(kConn2 + "/iscsi_connection/connection2:0/port", "3261\n")
            .Dir("class/iscsi_session");
    }
};

TEST_F(ClassQueries, ListsEveryDeviceUnderItsTrueName)
{
    DeviceMap devices{{"kept", {{"x", "y"}}}};
    ASSERT_EQ(READER_OK, reader->GetClsDeviceList("iscsi_connection", devices));
    EXPECT_EQ((DeviceMap{
                  {"connection1:0",
                   {{"classname", "iscsi_connection"},
                    {"path", "/sys/" + kConn1 + "/iscsi_connection/connection1:0"}}},
                  {"connection2:0",
                   {{"classname", "iscsi_connection"},
                    {"path", "/sys/" + kConn2 + "/iscsi_connection/connection2:0"}}},
                  {"kept", {{"x", "y"}}}}),
              devices);
    std::string pass = Trace({"Entering SysfsReader::GetClsDeviceList", kMountedEnter, kMountedLeave,
                              "Class device pushed: connection1:0",
                              "Class device pushed: connection2:0",
                              "Leaving SysfsReader::GetClsDeviceList"});
    EXPECT_EQ(pass, TakeLog());

    // A second pass adds nothing, traces the same; a second class adds its own,
    // and a name already present keeps the entry of the first class.
    tree.ClassDevice("other", "devices/virtual/other/connection1:0", false);
    ASSERT_EQ(READER_OK, reader->GetClsDeviceList("iscsi_connection", devices));
    EXPECT_EQ(pass, TakeLog());
    ASSERT_EQ(READER_OK, reader->GetClsDeviceList("other", devices));
    EXPECT_EQ("iscsi_connection", devices["connection1:0"]["classname"]);
    EXPECT_EQ(3u, devices.size());
}

TEST_F(ClassQueries, ListFailuresLeaveTheMapAlone)
{
    DeviceMap devices;
    EXPECT_EQ(READER_CLASS_ERROR, reader->GetClsDeviceList("", devices));
    EXPECT_EQ(Trace({"Entering SysfsReader::GetClsDeviceList",
                     "Leaving CSysfsReader::GetClsDeviceList, Device Class name empty"}),
              TakeLog());
    EXPECT_EQ(READER_CLASS_ERROR, reader->GetClsDeviceList("no_such_class", devices));
    EXPECT_EQ(Trace({"Entering SysfsReader::GetClsDeviceList", kMountedEnter, kMountedLeave,
                     "Leaving CSysfsReader::GetClsDeviceList, Device class not found: no_such_class"}),
              TakeLog());
    EXPECT_EQ(READER_NOT_FOUND, reader->GetClsDeviceList("iscsi_session", devices));
    EXPECT_EQ(Trace({"Entering SysfsReader::GetClsDeviceList", kMountedEnter, kMountedLeave,
                     "No devices found under device class: iscsi_session"}),
              TakeLog());
    // Names that are not one directory entry never reach the filesystem.
    for (const char* name : {"..", ".", "iscsi_host/host0", "../class/iscsi_host"})
        EXPECT_EQ(READER_CLASS_ERROR, reader->GetClsDeviceList(name, devices)) << name;
    EXPECT_TRUE(devices.empty());
}

TEST_F(ClassQueries, AttributesOfAClassDeviceAndOfItsDevice)
{
    AttributeMap attrs{{"port", "old"}}, device;
    ASSERT_EQ(READER_OK, reader->GetClsDeviceAttr("iscsi_connection", "connection1:0", attrs, device));
    EXPECT_EQ((AttributeMap{{"port", "old"}}), attrs);
    // The bus comes from the device's subsystem link: libsysfs alone leaves it empty.
    EXPECT_EQ((AttributeMap{{"bus_id", "connection1:0"},
                            {"bus", ""},
                            {"driver_name", "unknown"},
                            {"path", "/sys/" + kConn1},
                            {"name", "connection1:0"},
                            {"uevent", ""}}),
              device);
    EXPECT_EQ(Trace({"Entering SysfsReader::GetClsDeviceAttr", kMountedEnter, kMountedLeave,
                     "Class device found: connection1:0", "Class Device Attribute", "port: 3260",
                     "Class Dev-Device Attribute", "bus_id: connection1:0", "bus: ",
                     "driver_name: unknown", "path: /sys/" + kConn1, "name: connection1:0",
                     "uevent: ", "Leaving SysfsReader::GetClsDeviceAttr"}),
              TakeLog());

    attrs.clear();
    device.clear();
    ASSERT_EQ(READER_OK, reader->GetClsDeviceAttr("iscsi_host", "host0", attrs, device));
    EXPECT_EQ("scsi", device["bus"]);
    EXPECT_EQ("host0", device["bus_id"]);
    EXPECT_EQ((AttributeMap{{"ipaddress", "127.0.0.1"}}), attrs);
}

TEST_F(ClassQueries, VirtualDeviceAndDeviceAttributeNamedLikeAnIdentityKey)
{
    AttributeMap attrs, device;
    ASSERT_EQ(READER_OK, reader->GetClsDeviceAttr("iscsi_transport", "tcp", attrs, device));
    EXPECT_EQ((AttributeMap{{"caps", "0x39"}, {"handle", "18446744072640299136"}}), attrs);
    EXPECT_TRUE(device.empty());
    EXPECT_EQ(Trace({"Entering SysfsReader::GetClsDeviceAttr", kMountedEnter, kMountedLeave,
                     "Class device found: tcp", "Class Device Attribute", "caps: 0x39",
                     "handle: 18446744072640299136", "Class Device-Device attributes empty",
                     "Leaving SysfsReader::GetClsDeviceAttr"}),
              TakeLog());

    tree.File(kHost + "/path", "/elsewhere\n");
    attrs.clear();
    ASSERT_EQ(READER_OK, reader->GetClsDeviceAttr("iscsi_host", "host0", attrs, device));
    EXPECT_EQ("/sys/" + kHost, device["path"]);
    EXPECT_NE(TakeLog().find("\tpath: /elsewhere\n"), std::string::npos);
}

TEST_F(ClassQueries, AttributeFailuresAndTheirExits)
{
    AttributeMap attrs{{"k", "v"}}, device{{"k", "v"}};
    const AttributeMap before = attrs;
    EXPECT_EQ(READER_CLASS_ERROR, reader->GetClsDeviceAttr("iscsi_host", "", attrs, device));
    EXPECT_EQ(Trace({"Entering SysfsReader::GetClsDeviceAttr",
                     "Leaving CSysfsReader::GetClsDeviceList, DeviceClassname or DeviceName empty"}),
              TakeLog());
    EXPECT_EQ(READER_CLASS_ERROR, reader->GetClsDeviceAttr("nope", "host0", attrs, device));
    EXPECT_EQ(Trace({"Entering SysfsReader::GetClsDeviceAttr", kMountedEnter, kMountedLeave,
                     "Leaving CSysfsReader::GetClsDeviceList, Device class not found: nope"}),
              TakeLog());
    EXPECT_EQ(READER_NOT_FOUND, reader->GetClsDeviceAttr("iscsi_session", "session1", attrs, device));
    EXPECT_EQ(Trace({"Entering SysfsReader::GetClsDeviceAttr", kMountedEnter, kMountedLeave,
                     "No devices found under device class: iscsi_session"}),
              TakeLog());
    EXPECT_EQ(READER_NOT_FOUND, reader->GetClsDeviceAttr("iscsi_host", "HOST0", attrs, device));
    EXPECT_EQ(Trace({"Entering SysfsReader::GetClsDeviceAttr", kMountedEnter, kMountedLeave,
                     "Class Device not found: HOST0"}),
              TakeLog());
    // The split name libsysfs would give is not a device of the class.
    EXPECT_EQ(READER_NOT_FOUND, reader->GetClsDeviceAttr("iscsi_connection", "0", attrs, device));
    for (const char* name : {".", "..", "host0/..", "../iscsi_host/host0", "host0/"})
        EXPECT_EQ(READER_NOT_FOUND, reader->GetClsDeviceAttr("iscsi_host", name, attrs, device))
            << name;
    EXPECT_EQ(before, attrs);
    EXPECT_EQ(before, device);
}

TEST_F(ClassQueries, DeviceWithoutAttributesOfItsOwn)
{
    tree.BusDevice("scsi", "devices/platform/host7")
        .ClassDevice("scsi_host", "devices/platform/host7/scsi_host/host7");
    AttributeMap attrs, device;
    ASSERT_EQ(READER_OK, reader->GetClsDeviceAttr("scsi_host", "host7", attrs, device));
    EXPECT_TRUE(attrs.empty());
    EXPECT_EQ((AttributeMap{{"bus", "scsi"},
                            {"bus_id", "host7"},
                            {"driver_name", "unknown"},
                            {"name", "host7"},
                            {"path", "/sys/devices/platform/host7"}}),
              device);
    std::string traced = TakeLog();
    EXPECT_NE(traced.find("\tClass Device attributes empty\n"), std::string::npos);
    // Asked again with the same maps: nothing more is added.
    ASSERT_EQ(READER_OK, reader->GetClsDeviceAttr("scsi_host", "host7", attrs, device));
    EXPECT_EQ(5u, device.size());
}

}  // namespace

// SPDX-License-Identifier: MIT
// Trees no kernel should show but a query must survive: odd files, odd links,
// and names and paths longer than libsysfs can hold.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include "reader_fixture.h"

namespace {

TEST_F(ReaderTest, AttributeContentsAreCapturedAsBytes)
{
    const std::string dev = "devices/virtual/c/dev";
    tree.ClassDevice("c", dev, false)
        .File(dev + "/three", "abc\n")
        .File(dev + "/newline", "\n")
        .File(dev + "/inner", "a\nb\n")
        .File(dev + "/bare", "abc")
        .File(dev + "/nul", std::string("a\0b\n", 4))
        .File(dev + "/leading_nul", std::string("\0b\n", 3))
        .File(dev + "/long", std::string(5000, 'x'))
        .File(dev + "/write_only", "secret\n", 0200)
        .File(dev + "/empty", "");
    ASSERT_EQ(0, mkfifo(tree.Abs(dev + "/fifo").c_str(), 0644));
    int sock = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::string sockPath = tree.Abs(dev + "/sock");
    ASSERT_LT(sockPath.size(), sizeof address.sun_path);
    sockPath.copy(address.sun_path, sockPath.size());
    ASSERT_EQ(0, bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address));
    tree.Link(dev + "/dangling", "devices/none").Link(dev + "/loop1", dev + "/loop2")
        .Link(dev + "/loop2", dev + "/loop1");

    AttributeMap attrs, device;
    ASSERT_EQ(READER_OK, reader->GetClsDeviceAttr("c", "dev", attrs, device));
    close(sock);
    EXPECT_EQ((AttributeMap{{"bare", "abc"},
                            {"empty", ""},
                            {"inner", "a\nb"},
                            {"leading_nul", ""},
                            {"long", std::string(4096, 'x')},
                            {"newline", ""},
                            {"nul", std::string("a\0b", 3)},
                            {"three", "abc"},
                            {"write_only", ""}}),
              attrs);
}

TEST_F(ReaderTest, OddClassEntriesAreNotDevices)
{
    tree.File("class/c/plain", "x\n")
        .Link("class/c/dangling", "devices/none")
        .Link("class/c/loop", "class/c/loop")
        .Link("class/c/outside", "../etc")
        .ClassDevice("c", "devices/virtual/c/real", false)
        .File("class/d/plain", "x\n");
    DeviceMap devices;
    ASSERT_EQ(READER_OK, reader->GetClsDeviceList("c", devices));
    EXPECT_EQ(1u, devices.size());
    EXPECT_EQ(1u, devices.count("real"));
    EXPECT_EQ(READER_NOT_FOUND, reader->GetClsDeviceList("d", devices));
    AttributeMap attrs, device;
    for (const char* name : {"plain", "dangling", "loop", "outside"})
        EXPECT_EQ(READER_NOT_FOUND, reader->GetClsDeviceAttr("c", name, attrs, device)) << name;
    EXPECT_EQ(READER_NOT_FOUND, reader->GetClsDeviceAttr("d", "plain", attrs, device));
    EXPECT_NE(TakeLog().find("No devices found under device class: d"), std::string::npos);
}

// A device whose names or paths are longer than libsysfs's buffers is found,
// listed and read exactly like the same device under short names.
TEST_F(ReaderTest, LongNamesAndPathsAreReadLikeShortOnes)
{
    const std::string longName(70, 'n');
    std::string deep = "devices/platform";
    while (deep.size() < 300)
        deep += "/level_of_a_deep_tree";
    struct Case {
        std::string cls, parent, name;
    };
    const Case cases[] = {{"short", "devices/platform/hba", "conn1:0"},
                          {"longname", "devices/platform/hba2", longName},
                          {"deep", deep + "/hba3", "conn1:0"}};
    for (const Case& c : cases) {
        tree.BusDevice("scsi", c.parent)
            .Bind("scsi", "drv", c.parent)
            .File(c.parent + "/vendor", "ACME\n")
            .File(c.parent + "/reset", "", 0200)
            .ClassDevice(c.cls, c.parent + "/" + c.cls + "/" + c.name)
            .File(c.parent + "/" + c.cls + "/" + c.name + "/state", "LOGGED_IN\n");
    }
    // An attribute name longer than libsysfs's name buffer, on the long ones.
    for (const Case& c : cases) {
        if (c.cls != "short")
            tree.File(c.parent + "/" + c.cls + "/" + c.name + "/" + std::string(80, 'a'), "long\n");
    }
    std::map<std::string, std::pair<AttributeMap, AttributeMap>> seen;
    for (const Case& c : cases) {
        DeviceMap devices;
        ASSERT_EQ(READER_OK, reader->GetClsDeviceList(c.cls, devices)) << c.cls;
        ASSERT_EQ(1u, devices.count(c.name)) << c.cls;
        EXPECT_EQ("/sys/" + c.parent + "/" + c.cls + "/" + c.name, devices[c.name]["path"]);
        AttributeMap attrs, device;
        ASSERT_EQ(READER_OK, reader->GetClsDeviceAttr(c.cls, c.name, attrs, device)) << c.cls;
        EXPECT_EQ("/sys/" + c.parent, device["path"]);
        device.erase("path");
        device.erase("bus_id");
        device.erase("name");
        seen[c.cls] = {attrs, device};
    }
    EXPECT_EQ((AttributeMap{{"state", "LOGGED_IN"}, {std::string(80, 'a'), "long"}}),
              seen["deep"].first);
    EXPECT_EQ((AttributeMap{{"bus", "scsi"}, {"driver_name", "drv"}, {"reset", ""}, {"vendor", "ACME"}}),
              seen["deep"].second);
    EXPECT_EQ(seen["deep"], seen["longname"]);
    EXPECT_EQ(seen["deep"].second, seen["short"].second);
    EXPECT_EQ((AttributeMap{{"state", "LOGGED_IN"}}), seen["short"].first);
    EXPECT_NE(TakeLog().find("Class device pushed: " + longName + "\n"), std::string::npos);
}

}  // namespace

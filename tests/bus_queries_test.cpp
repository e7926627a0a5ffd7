// SPDX-License-Identifier: MIT
// Bus queries and PCI addresses over fabricated buses.
#include <filesystem>

#include "reader_fixture.h"

namespace {

const std::string kRoot = "devices/pci0000:00";
const std::string kLpc = kRoot + "/0000:00:1f.0";
const std::string kBridge = kRoot + "/0000:00:1c.0";
const std::string kBridge2 = kBridge + "/0000:02:00.0";
const std::string kNic = kBridge2 + "/0000:03:01.0";
const std::string kHba = kRoot + "/0000:00:1f.2";
const std::string kDisk = kHba + "/host10/target10:0:0/10:0:0:0";
const std::string kOddDisk = kLpc + "/1:2.3:456789/target9:0:0/9:0:0:0";
const std::string kPlatformDisk = "devices/platform/host2/target2:0:0/2:0:0:0";

class BusTest : public ReaderTest {
protected:
    void SetUp() override
    {
        ReaderTest::SetUp();
        for (const std::string& dev : {kLpc, kBridge, kBridge2, kNic, kHba})
            tree.BusDevice("pci", dev);
        tree.Bind("pci", "lpc_ich", kLpc)
            .Bind("pci", "pcieport", kBridge)
            .Bind("pci", "e1000e", kNic)
            .Bind("pci", "ahci", kHba)
            .Dir("module/e1000e")
            .Link("bus/pci/drivers/e1000e/module", "module/e1000e");
        for (const std::string& dev : {kDisk, kOddDisk, kPlatformDisk})
            tree.BusDevice("scsi", dev).Bind("scsi", "sd", dev);
    }
    const std::string mounted = Trace({kMountedEnter, kMountedLeave});
};

TEST_F(BusTest, DeviceListGivesEveryDeviceOnceWithItsIdentity)
{
    DeviceMap devices{{"0000:00:1f.0", {{"kept", "as it was"}}}};
    ASSERT_EQ(READER_OK, reader->GetDeviceList(BUS_PCI, devices));
    const std::string sys = "/sys/";
    EXPECT_EQ((DeviceMap{
                  {"0000:00:1c.0",
                   {{"bus", "pci"}, {"driver_name", "pcieport"}, {"name", "0000:00:1c.0"},
                    {"path", sys + kBridge}}},
                  {"0000:00:1f.0", {{"kept", "as it was"}}},
                  {"0000:00:1f.2",
                   {{"bus", "pci"}, {"driver_name", "ahci"}, {"name", "0000:00:1f.2"},
                    {"path", sys + kHba}}},
                  {"0000:02:00.0",
                   {{"bus", "pci"}, {"driver_name", "unknown"}, {"name", "0000:02:00.0"},
                    {"path", sys + kBridge2}}},
                  {"0000:03:01.0",
                   {{"bus", "pci"}, {"driver_name", "e1000e"}, {"name", "0000:03:01.0"},
                    {"path", sys + kNic}}}}),
              devices);
    const std::string expected =
        Trace({"Entering CSysfsReader::GetDeviceList"}) + mounted +
        Trace({"Device pushed: 0000:00:1c.0", "Device pushed: 0000:00:1f.0",
               "Device pushed: 0000:00:1f.2", "Device pushed: 0000:02:00.0",
               "Device pushed: 0000:03:01.0", "Leaving CSysfsReader::GetDeviceList"});
    EXPECT_EQ(expected, TakeLog());

    // A second call adds nothing and traces the same.
    DeviceMap again = devices;
    ASSERT_EQ(READER_OK, reader->GetDeviceList(BUS_PCI, again));
    EXPECT_EQ(devices, again);
    EXPECT_EQ(expected, TakeLog());
}

TEST_F(BusTest, PciAddressComesFromTheLastPciDeviceInThePath)
{
    std::string b = "old", d = "old", f = "old";
    ASSERT_EQ(READER_OK, reader->GetPCIDeviceBDF("0000:03:01.0", BUS_PCI, b, d, f));
    EXPECT_EQ("03|01|0", b + "|" + d + "|" + f);
    EXPECT_EQ(Trace({"Entering CSysfsReader::GetPCIDeviceBDF"}) + mounted +
                  Trace({"Device match found:", "Device Path: /sys/" + kNic,
                         "Device BDF: 0000:00:1c.0", "Device BDF: 0000:02:00.0",
                         "Device BDF: 0000:03:01.0", "Bus: 03", "Device: 01", "Function: 0",
                         "Leaving CSysfsReader::GetPCIDeviceBDF"}),
              TakeLog());

    ASSERT_EQ(READER_OK, reader->GetPCIDeviceBDF("0000:00:1f.0", BUS_PCI, b, d, f));
    EXPECT_EQ("00|1f|0", b + "|" + d + "|" + f);

    // A disk answers with its controller; "target10:0:0" (twelve characters,
    // no dot) and "1:2.3:456789" (colons and dot misplaced) are no addresses.
    ASSERT_EQ(READER_OK, reader->GetPCIDeviceBDF("10:0:0:0", BUS_SCSI, b, d, f));
    EXPECT_EQ("00|1f|2", b + "|" + d + "|" + f);
    ASSERT_EQ(READER_OK, reader->GetPCIDeviceBDF("9:0:0:0", BUS_SCSI, b, d, f));
    EXPECT_EQ("00|1f|0", b + "|" + d + "|" + f);
    TakeLog();

    // No PCI device on the way: success, outputs untouched.
    b = "b", d = "d", f = "f";
    ASSERT_EQ(READER_OK, reader->GetPCIDeviceBDF("2:0:0:0", BUS_SCSI, b, d, f));
    EXPECT_EQ("b|d|f", b + "|" + d + "|" + f);
    EXPECT_EQ(Trace({"Entering CSysfsReader::GetPCIDeviceBDF"}) + mounted +
                  Trace({"Device match found:", "Device Path: /sys/" + kPlatformDisk,
                         "Leaving CSysfsReader::GetPCIDeviceBDF"}),
              TakeLog());

    // Names that are no bus id on the bus, exactly.
    EXPECT_EQ(READER_NOT_FOUND, reader->GetPCIDeviceBDF("0000:00:1F.0", BUS_PCI, b, d, f));
    EXPECT_EQ(READER_NOT_FOUND, reader->GetPCIDeviceBDF("0000:00:1f.0 ", BUS_PCI, b, d, f));
    EXPECT_EQ(READER_NOT_FOUND, reader->GetPCIDeviceBDF("../../devices", BUS_PCI, b, d, f));
    EXPECT_EQ(READER_NOT_FOUND, reader->GetPCIDeviceBDF("", BUS_PCI, b, d, f));
    EXPECT_EQ(READER_BUS_ERROR, reader->GetPCIDeviceBDF("", BusType(7), b, d, f));
    EXPECT_EQ("b|d|f", b + "|" + d + "|" + f);
    const std::string notFound = Trace({"Entering CSysfsReader::GetPCIDeviceBDF"}) + mounted +
                                 Trace({"Leaving CSysfsReader::GetPCIDeviceBDF, Device not found"});
    EXPECT_EQ(notFound + notFound + notFound + Trace({"Entering CSysfsReader::GetPCIDeviceBDF"}) +
                  mounted + Trace({"Leaving CSysfsReader::GetPCIDeviceBDF, Device not found: "}) +
                  Trace({"Entering CSysfsReader::GetPCIDeviceBDF"}) + mounted +
                  Trace({"Leaving CSysfsReader::GetPCIDeviceBDF, Bus not found: "}),
              TakeLog());
}

TEST_F(BusTest, PciAddressesFollowTheKernelsNamesWhateverTheDomainWidth)
{
    // An NVMe disk behind Intel VMD: the controller opens PCI domain 10000,
    // whose devices carry five-digit domains.
    const std::string vmd = kRoot + "/0000:00:0e.0";
    const std::string vmdPort = vmd + "/pci10000:e0/10000:e0:1d.0";
    const std::string nvme = vmdPort + "/10000:e1:00.0";
    // A disk under directories that look like addresses but name none.
    const std::string lookalikes = kHba + "/zzzz:zz:zz.z/0000:00:20.0/0000:00:1f.8/0000:00:1F.1";
    const std::string disk = lookalikes + "/123456789:00:00.0/host3/target3:0:0/3:0:0:0";
    for (const std::string& dev : {vmd, vmdPort, nvme})
        tree.BusDevice("pci", dev);
    tree.BusDevice("scsi", disk);
    TakeLog();

    std::string b = "old", d = "old", f = "old";
    ASSERT_EQ(READER_OK, reader->GetPCIDeviceBDF("10000:e1:00.0", BUS_PCI, b, d, f));
    EXPECT_EQ("e1|00|0", b + "|" + d + "|" + f);
    EXPECT_EQ(Trace({"Entering CSysfsReader::GetPCIDeviceBDF"}) + mounted +
                  Trace({"Device match found:", "Device Path: /sys/" + nvme,
                         "Device BDF: 0000:00:0e.0", "Device BDF: 10000:e0:1d.0",
                         "Device BDF: 10000:e1:00.0", "Bus: e1", "Device: 00", "Function: 0",
                         "Leaving CSysfsReader::GetPCIDeviceBDF"}),
              TakeLog());

    ASSERT_EQ(READER_OK, reader->GetPCIDeviceBDF("3:0:0:0", BUS_SCSI, b, d, f));
    EXPECT_EQ("00|1f|2", b + "|" + d + "|" + f);
    EXPECT_EQ(Trace({"Entering CSysfsReader::GetPCIDeviceBDF"}) + mounted +
                  Trace({"Device match found:", "Device Path: /sys/" + disk,
                         "Device BDF: 0000:00:1f.2", "Bus: 00", "Device: 1f", "Function: 2",
                         "Leaving CSysfsReader::GetPCIDeviceBDF"}),
              TakeLog());
}

TEST_F(BusTest, DriverIsTheFirstDriverThatListsTheDevice)
{
    std::string driver = "old";
    ASSERT_EQ(READER_OK, reader->GetDeviceDriver("0000:03:01.0", BUS_PCI, driver));
    EXPECT_EQ("e1000e", driver);
    EXPECT_EQ(Trace({"Entering CSysfsReader::GetDeviceDriver"}) + mounted +
                  Trace({"Match Found 0000:03:01.0", "Driver: e1000e",
                         "Leaving CSysfsReader::GetDeviceDrives"}),
              TakeLog());

    // Listed by two drivers: the first in the bus's driver order wins, even
    // against the device's own "driver" link.
    tree.Link("bus/pci/drivers/aaa_stub/0000:00:1f.0", kLpc);
    ASSERT_EQ(READER_OK, reader->GetDeviceDriver("0000:00:1f.0", BUS_PCI, driver));
    EXPECT_EQ("aaa_stub", driver);
    EXPECT_EQ(Trace({"Entering CSysfsReader::GetDeviceDriver"}) + mounted +
                  Trace({"Match Found 0000:00:1f.0", "Driver: aaa_stub",
                         "Leaving CSysfsReader::GetDeviceDrives"}),
              TakeLog());

    // Present but listed by no driver; the old value never survives.
    driver = "old";
    EXPECT_EQ(READER_NOT_FOUND, reader->GetDeviceDriver("0000:02:00.0", BUS_PCI, driver));
    EXPECT_EQ("", driver);
    EXPECT_EQ(Trace({"Entering CSysfsReader::GetDeviceDriver"}) + mounted +
                  Trace({"Match Found 0000:02:00.0",
                         "Leaving CSysfsReader::GetDeviceDrives, Drvier not found"}),
              TakeLog());

    driver = "old";
    EXPECT_EQ(READER_NOT_FOUND, reader->GetDeviceDriver("0000:03:01.0", BUS_SCSI, driver));
    EXPECT_EQ(READER_NOT_FOUND, reader->GetDeviceDriver("0000:03:01.O", BUS_PCI, driver));
    EXPECT_EQ(READER_NOT_FOUND, reader->GetDeviceDriver("", BUS_PCI, driver));
    EXPECT_EQ(READER_BUS_ERROR, reader->GetDeviceDriver("", BusType(-1), driver));
    EXPECT_EQ("", driver);
    const std::string notFound = Trace({"Entering CSysfsReader::GetDeviceDriver"}) + mounted +
                                 Trace({"Leaving CSysfsReader::GetDeviceDrives, Device not found"});
    const std::string emptyName =
        Trace({"Entering CSysfsReader::GetDeviceDriver"}) + mounted +
        Trace({"Leaving CSysfsReader::GetDeviceDrives, Device not found: "});
    EXPECT_EQ(notFound + notFound + emptyName + emptyName, TakeLog());

    // A bus without drivers: present, but no driver.
    std::filesystem::remove_all(tree.Abs("bus/scsi/drivers"));
    EXPECT_EQ(READER_NOT_FOUND, reader->GetDeviceDriver("10:0:0:0", BUS_SCSI, driver));
    EXPECT_EQ(Trace({"Entering CSysfsReader::GetDeviceDriver"}) + mounted +
                  Trace({"Match Found 10:0:0:0",
                         "Leaving CSysfsReader::GetDeviceDrives, Drvier not found"}),
              TakeLog());
}

TEST_F(BusTest, DeviceAttributesAreCapturedWithoutReplacingKeys)
{
    tree.File(kLpc + "/vendor", "0x8086\n")
        .File(kLpc + "/class", "0x060100\n")
        .File(kLpc + "/remove", "", 0200)
        .Dir(kLpc + "/power");
    AttributeMap attrs{{"vendor", "kept"}};
    ASSERT_EQ(READER_OK, reader->GetDeviceAttr("0000:00:1f.0", BUS_PCI, attrs));
    EXPECT_EQ((AttributeMap{{"class", "0x060100"}, {"remove", ""}, {"vendor", "kept"}}), attrs);
    EXPECT_EQ(Trace({"Entering CSysfsReader::GetDeviceAttr"}) + mounted +
                  Trace({"class: 0x060100", "remove: ", "vendor: 0x8086",
                         "Leaving CSysfsReader::GetDeviceAttr"}),
              TakeLog());

    AttributeMap none;
    EXPECT_EQ(READER_NOT_FOUND, reader->GetDeviceAttr("0000:00:1F.0", BUS_PCI, none));
    EXPECT_EQ(READER_NOT_FOUND, reader->GetDeviceAttr("", BUS_PCI, none));
    EXPECT_EQ(READER_BUS_ERROR, reader->GetDeviceAttr("", BusType(5), none));
    EXPECT_TRUE(none.empty());
    EXPECT_EQ(Trace({"Entering CSysfsReader::GetDeviceAttr"}) + mounted +
                  Trace({"Leaving CSysfsReader::GetDeviceAttr, Bus Closed: pci",
                         "Entering CSysfsReader::GetDeviceAttr"}) +
                  mounted +
                  Trace({"Leaving CSysfsReader::GetDeviceAttr, Device not found: ",
                         "Entering CSysfsReader::GetDeviceAttr"}) +
                  mounted + Trace({"Leaving CSysfsReader::GetDeviceAttr, Bus not mounted: "}),
              TakeLog());
}

TEST_F(BusTest, MissingAndEmptyBusesEndEachQueryOnItsOwnLine)
{
    DeviceMap devices;
    AttributeMap attrs;
    std::string driver, b, d, f;
    auto all = [&](BusType bus) {
        std::string results = std::to_string(reader->GetDeviceList(bus, devices));
        results += std::to_string(reader->GetDeviceAttr("x", bus, attrs));
        results += std::to_string(reader->GetDeviceDriver("x", bus, driver));
        results += std::to_string(reader->GetPCIDeviceBDF("x", bus, b, d, f));
        return results;
    };
    auto calls = [&](const std::vector<std::string>& exits) {
        const char* names[] = {"GetDeviceList", "GetDeviceAttr", "GetDeviceDriver",
                               "GetPCIDeviceBDF"};
        std::string text;
        for (std::size_t i = 0; i < exits.size(); ++i)
            text += Trace({std::string("Entering CSysfsReader::") + names[i]}) + mounted +
                    Trace({exits[i]});
        return text;
    };

    EXPECT_EQ("3333", all(BUS_USB));
    EXPECT_EQ(calls({"Leaving CSysfsReader::GetDeviceList, Error Opening Bus: usb",
                     "Leaving CSysfsReader::GetDeviceAttr, Error openeing bus",
                     "Leaving CSysfsReader::GetDeviceDrives, Bus not found: usb",
                     "Leaving CSysfsReader::GetPCIDeviceBDF, Bus not found: usb"}),
              TakeLog());

    tree.Dir("bus/usb/devices").Dir("bus/usb/drivers/usbhid");
    EXPECT_EQ("1111", all(BUS_USB));
    EXPECT_EQ(calls({"Leaving CSysfsReader::GetDeviceList, No device found usb",
                     "Leaving CSysfsReader::GetDeviceAttr, Bus Closed: usb",
                     "Leaving CSysfsReader::GetDeviceDrives, Empty device list",
                     "Leaving CSysfsReader::GetPCIDeviceBDF, Device list empty"}),
              TakeLog());

    EXPECT_EQ("3333", all(BusType(5)));
    EXPECT_EQ(calls({"Leaving CSysfsReader::GetDeviceList, Bus not mounted ",
                     "Leaving CSysfsReader::GetDeviceAttr, Bus not mounted: ",
                     "Leaving CSysfsReader::GetDeviceDrives, Device not found: ",
                     "Leaving CSysfsReader::GetPCIDeviceBDF, Bus not found: "}),
              TakeLog());
    EXPECT_TRUE(devices.empty() && attrs.empty() && driver.empty() && b.empty());
}

// What GetDeviceList files a device under finds it again in every other query.
void ExpectKeysFindTheirDevices(CSysfsReader& reader, BusType bus, std::size_t count)
{
    DeviceMap devices;
    ASSERT_EQ(READER_OK, reader.GetDeviceList(bus, devices));
    EXPECT_EQ(count, devices.size());
    for (auto& [busId, identity] : devices) {
        AttributeMap attrs;
        EXPECT_EQ(READER_OK, reader.GetDeviceAttr(busId, bus, attrs)) << busId;
        std::string driver;
        int found = reader.GetDeviceDriver(busId, bus, driver);
        if (identity["driver_name"] == "unknown") {
            EXPECT_EQ(READER_NOT_FOUND, found) << busId;
        } else {
            EXPECT_EQ(READER_OK, found) << busId;
            EXPECT_EQ(identity["driver_name"], driver) << busId;
        }
        std::string b, d, f;
        EXPECT_EQ(READER_OK, reader.GetPCIDeviceBDF(busId, bus, b, d, f)) << busId;
    }
}

TEST_F(BusTest, EveryListedKeyFindsItsDevice)
{
    ExpectKeysFindTheirDevices(*reader, BUS_PCI, 5);
    ExpectKeysFindTheirDevices(*reader, BUS_SCSI, 3);
}

// Deep device trees give paths beyond what libsysfs can hold, and names can
// be longer than its name buffer: such devices are still found and read.
TEST_F(BusTest, DevicesBeyondLibsysfsBuffersAreNotLost)
{
    std::string hub = kRoot + "/0000:00:14.0/usb1";
    std::string port = "1";
    while (hub.size() < 280) {
        port += ".1";
        hub += "/1-" + port;
    }
    const std::string keyboard = hub + "/1-" + port + ":1.0";
    const std::string longName(70, 'k');
    const std::string longDriver = "usb_" + std::string(66, 'd');
    tree.BusDevice("usb", keyboard)
        .Bind("usb", "usbhid", keyboard)
        .File(keyboard + "/bInterfaceClass", "03\n")
        .BusDevice("usb", "devices/virtual/" + longName)
        .Bind("usb", longDriver, "devices/virtual/" + longName)
        .File("devices/virtual/" + longName + "/" + std::string(80, 'a'), "long\n");
    const std::string keyboardId = "1-" + port + ":1.0";

    DeviceMap devices;
    ASSERT_EQ(READER_OK, reader->GetDeviceList(BUS_USB, devices));
    EXPECT_EQ((DeviceMap{{keyboardId,
                          {{"bus", "usb"}, {"driver_name", "usbhid"}, {"name", keyboardId},
                           {"path", "/sys/" + keyboard}}},
                         {longName,
                          {{"bus", "usb"}, {"driver_name", longDriver}, {"name", longName},
                           {"path", "/sys/devices/virtual/" + longName}}}}),
              devices);

    AttributeMap attrs;
    ASSERT_EQ(READER_OK, reader->GetDeviceAttr(keyboardId, BUS_USB, attrs));
    ASSERT_EQ(READER_OK, reader->GetDeviceAttr(longName, BUS_USB, attrs));
    EXPECT_EQ((AttributeMap{{"bInterfaceClass", "03"}, {std::string(80, 'a'), "long"}}), attrs);

    std::string driver, b, d, f;
    ASSERT_EQ(READER_OK, reader->GetDeviceDriver(keyboardId, BUS_USB, driver));
    EXPECT_EQ("usbhid", driver);
    ASSERT_EQ(READER_OK, reader->GetDeviceDriver(longName, BUS_USB, driver));
    EXPECT_EQ(longDriver, driver);
    ASSERT_EQ(READER_OK, reader->GetPCIDeviceBDF(keyboardId, BUS_USB, b, d, f));
    EXPECT_EQ("00|14|0", b + "|" + d + "|" + f);
}

}  // namespace

// SPDX-License-Identifier: MIT
// Readers in several threads at once.  The process's first readers are
// constructed by threads released together, while another thread asks the bus
// map; then every thread runs every query over one tree, each with its own
// reader and log.  Every thread must get what one thread alone gets, codes,
// maps and log alike.  Built with ThreadSanitizer by `make check-tsan`.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <sysfsreader/reader.h>
#include "sys_tree.h"

using namespace Quentor::LinuxEnum;

namespace {

constexpr int kThreads = 6;
constexpr int kRounds = 8;

const std::string kRoot = "devices/pci0000:00";
const std::string kNic0 = kRoot + "/0000:00:19.0";
const std::string kNic1 = kRoot + "/0000:00:1c.0/0000:02:00.0";
const std::string kHba = kRoot + "/0000:00:1f.2";
const std::string kDisk = kHba + "/host10/target10:0:0/10:0:0:0";

// Everything one thread's queries gave, in call order.
struct Results {
    std::vector<int> codes;
    std::vector<DeviceMap> deviceMaps;
    std::vector<AttributeMap> attributeMaps;
    std::vector<std::string> strings;
    bool operator==(const Results& other) const
    {
        return codes == other.codes && deviceMaps == other.deviceMaps &&
               attributeMaps == other.attributeMaps && strings == other.strings;
    }
};

void RunEveryQuery(CSysfsReader& reader, Results& out)
{
    for (int round = 0; round < kRounds; ++round) {
        DeviceMap devices;
        AttributeMap classAttrs, deviceAttrs;
        std::string driver, b, d, f, c, bus, t, l, name;
        out.codes.push_back(reader.CheckandMountSysfs());
        out.codes.push_back(reader.GetClsDeviceList("net", devices));
        out.deviceMaps.push_back(devices);
        for (const char* device : {"eth0", "eth1", "lo", "missing"}) {
            classAttrs.clear();
            deviceAttrs.clear();
            out.codes.push_back(reader.GetClsDeviceAttr("net", device, classAttrs, deviceAttrs));
            out.attributeMaps.push_back(classAttrs);
            out.attributeMaps.push_back(deviceAttrs);
        }
        devices.clear();
        out.codes.push_back(reader.GetDevicePathAttr("/sys/" + kHba, devices));
        out.deviceMaps.push_back(devices);
        for (BusType type : {BUS_PCI, BUS_SCSI, BUS_USB}) {
            devices.clear();
            out.codes.push_back(reader.GetDeviceList(type, devices));
            out.deviceMaps.push_back(devices);
        }
        for (const char* id : {"0000:00:19.0", "0000:02:00.0", "0000:00:1f.2"}) {
            deviceAttrs.clear();
            out.codes.push_back(reader.GetDeviceAttr(id, BUS_PCI, deviceAttrs));
            out.attributeMaps.push_back(deviceAttrs);
            driver.clear();
            out.codes.push_back(reader.GetDeviceDriver(id, BUS_PCI, driver));
            out.strings.push_back(driver);
            out.codes.push_back(reader.GetPCIDeviceBDF(id, BUS_PCI, b, d, f));
            out.strings.push_back(b + ":" + d + "." + f);
        }
        out.codes.push_back(reader.GetDeviceDriver("10:0:0:0", BUS_SCSI, driver));
        out.strings.push_back(driver);
        out.codes.push_back(reader.GetPCIDeviceBDF("10:0:0:0", BUS_SCSI, b, d, f));
        out.strings.push_back(b + ":" + d + "." + f);
        out.codes.push_back(reader.GetScsiDeviceCBTL("10:0:0:0", c, bus, t, l));
        out.strings.push_back(c + "|" + bus + "|" + t + "|" + l);
        for (int type = BUS_IDE; type <= BUS_USB + 1; ++type) {
            name = "none";
            out.codes.push_back(CSysfsReader::Lookup(static_cast<BusType>(type), name));
            out.strings.push_back(name);
        }
    }
}

// Released all at once, so that the first readers are constructed together.
class StartBarrier {
public:
    explicit StartBarrier(int parties) : m_waiting(parties) {}
    void ArriveAndWait()
    {
        std::unique_lock<std::mutex> hold(m_lock);
        if (--m_waiting == 0)
            m_released.notify_all();
        else
            m_released.wait(hold, [&] { return m_waiting == 0; });
    }

private:
    std::mutex m_lock;
    std::condition_variable m_released;
    int m_waiting;
};

TEST(Threads, FirstReadersTogetherThenEveryQueryInParallelAsInOneThread)
{
    SysTree tree;
    tree.BusDevice("pci", kNic0)
        .Bind("pci", "e1000e", kNic0)
        .File(kNic0 + "/vendor", "0x8086\n")
        .ClassDevice("net", kNic0 + "/net/eth0")
        .File(kNic0 + "/net/eth0/address", "aa:bb:cc:dd:ee:00\n")
        .BusDevice("pci", kRoot + "/0000:00:1c.0")
        .Bind("pci", "pcieport", kRoot + "/0000:00:1c.0")
        .BusDevice("pci", kNic1)
        .Bind("pci", "igb", kNic1)
        .ClassDevice("net", kNic1 + "/net/eth1")
        .File(kNic1 + "/net/eth1/address", "aa:bb:cc:dd:ee:01\n")
        .ClassDevice("net", "devices/virtual/net/lo", false)
        .File("devices/virtual/net/lo/mtu", "65536\n")
        .BusDevice("pci", kHba)
        .Bind("pci", "ahci", kHba)
        .File(kHba + "/class", "0x010601\n")
        .BusDevice("scsi", kHba + "/host10")
        .BusDevice("scsi", kHba + "/host10/target10:0:0")
        .BusDevice("scsi", kDisk)
        .Bind("scsi", "sd", kDisk)
        .File(kDisk + "/model", "DISK\n");
    // Set before any thread starts: the environment is not for writing while
    // other threads read it.
    tree.Use();

    std::vector<std::ofstream> logs(kThreads);
    for (int i = 0; i < kThreads; ++i)
        logs[i].open(tree.Root() + "/thread" + std::to_string(i) + ".log");
    std::vector<Results> results(kThreads);
    StartBarrier start(kThreads + 1);
    std::atomic<bool> constructed{false};
    std::atomic<int> wrongLookups{0};

    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            start.ArriveAndWait();
            CSysfsReader reader(&logs[i]);
            RunEveryQuery(reader, results[i]);
        });
    }
    // Asks the bus map while it is being filled: nothing, or the right name.
    threads.emplace_back([&] {
        start.ArriveAndWait();
        const char* names[] = {"ide", "pci", "pci_express", "scsi", "usb"};
        while (!constructed.load()) {
            for (int type = BUS_IDE; type <= BUS_USB; ++type) {
                std::string name = "none";
                int code = CSysfsReader::Lookup(static_cast<BusType>(type), name);
                if (!(code == READER_NOT_FOUND && name == "none") &&
                    !(code == READER_OK && name == names[type]))
                    ++wrongLookups;
            }
            std::this_thread::yield();
        }
    });
    for (int i = 0; i < kThreads; ++i)
        threads[i].join();
    constructed = true;
    threads.back().join();
    EXPECT_EQ(0, wrongLookups.load());

    const std::string referenceLog = tree.Root() + "/reference.log";
    std::ofstream log(referenceLog);
    CSysfsReader reader(&log);
    Results reference;
    RunEveryQuery(reader, reference);
    log.close();

    // What one thread alone gets, checked where the tree says what it must be.
    ASSERT_EQ(READER_OK, reference.codes.at(0));
    ASSERT_EQ(READER_OK, reference.codes.at(1));
    EXPECT_EQ((DeviceMap{{"eth0", {{"classname", "net"}, {"path", "/sys/" + kNic0 + "/net/eth0"}}},
                         {"eth1", {{"classname", "net"}, {"path", "/sys/" + kNic1 + "/net/eth1"}}},
                         {"lo", {{"classname", "net"}, {"path", "/sys/devices/virtual/net/lo"}}}}),
              reference.deviceMaps.at(0));
    EXPECT_EQ("aa:bb:cc:dd:ee:01", reference.attributeMaps.at(2).at("address"));
    EXPECT_EQ("igb", reference.attributeMaps.at(3).at("driver_name"));
    EXPECT_EQ(std::vector<std::string>({"e1000e", "00:19.0", "igb", "02:00.0", "ahci", "00:1f.2",
                                        "sd", "00:1f.2", "10|0|0|0", "ide", "pci",
                                        "pci_express", "scsi", "usb", "none"}),
              std::vector<std::string>(reference.strings.begin(),
                                       reference.strings.begin() + 15));

    for (int i = 0; i < kThreads; ++i) {
        logs[i].close();
        EXPECT_TRUE(results[i] == reference) << "thread " << i;
        EXPECT_EQ(MaskHeaders(ReadFile(referenceLog)),
                  MaskHeaders(ReadFile(tree.Root() + "/thread" + std::to_string(i) + ".log")))
            << "thread " << i;
    }
}

}  // namespace

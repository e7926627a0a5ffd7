// The mount check for real: in a private mount namespace with /sys unmounted,
// or with /proc unmounted (where libsysfs cannot read the mount table).  The
// machine's own mounts are never touched; skipped where not allowed.
#include <linux/capability.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/syscall.h>
#include <sys/wait.h>

#include <sstream>

#include "reader_fixture.h"

namespace {

constexpr int kSkip = 77;

// Runs body in a child process whose mount namespace is private and lacks the
// mount at gone; returns the child's exit status.
template <typename Body>
int InNamespaceWithout(const char* gone, Body body)
{
    pid_t child = fork();
    if (child == 0) {
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            umount2(gone, MNT_DETACH) != 0)
            _exit(kSkip);
        _exit(body());
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 100;
}

template <typename Body>
int InNamespaceWithoutSysfs(Body body)
{
    return InNamespaceWithout("/sys", [&] {
        unsetenv("UMOCKDEV_DIR");
        return body();
    });
}

bool DropSysAdmin()
{
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    if (syscall(SYS_capget, &header, data) != 0)
        return false;
    data[CAP_SYS_ADMIN / 32].effective &= ~(1u << (CAP_SYS_ADMIN % 32));
    data[CAP_SYS_ADMIN / 32].permitted &= ~(1u << (CAP_SYS_ADMIN % 32));
    return syscall(SYS_capset, &header, data) == 0;
}

class MountCheck : public ReaderTest {
protected:
    void RunOrSkip(int status)
    {
        if (status == kSkip)
            GTEST_SKIP() << "needs root and a private mount namespace (unshare -m), not available here";
        EXPECT_EQ(0, status);
    }
};

TEST_F(MountCheck, MountsSysfsWhenMissingThenFindsItMounted)
{
    RunOrSkip(InNamespaceWithoutSysfs([&] {
        DeviceMap devices;
        int first = reader->GetClsDeviceList("no_such_class", devices);
        int second = reader->GetClsDeviceList("no_such_class", devices);
        return first == READER_CLASS_ERROR && second == READER_CLASS_ERROR ? 0 : 1;
    }));
    if (IsSkipped())
        return;
    EXPECT_EQ(Trace({"Entering SysfsReader::GetClsDeviceList", kMountedEnter,
                     "Leaving CSysfsReader::CheckandMountSysfs, Sysfs File System Manually Mount",
                     "Leaving CSysfsReader::GetClsDeviceList, Device class not found: no_such_class",
                     "Entering SysfsReader::GetClsDeviceList", kMountedEnter, kMountedLeave,
                     "Leaving CSysfsReader::GetClsDeviceList, Device class not found: no_such_class"}),
              TakeLog());
}

TEST_F(MountCheck, WithoutThePrivilegeEveryQueryStopsAtTheCheck)
{
    RunOrSkip(InNamespaceWithoutSysfs([&] {
        if (!DropSysAdmin())
            return kSkip;
        DeviceMap devices;
        AttributeMap attrs, device;
        std::string driver = "old", b = "b", d = "d", f = "f";
        bool ok = reader->CheckandMountSysfs() == READER_MOUNT_FAILED &&
                  reader->GetClsDeviceList("net", devices) == READER_MOUNT_FAILED &&
                  reader->GetClsDeviceAttr("net", "lo", attrs, device) == READER_MOUNT_FAILED &&
                  reader->GetDevicePathAttr("/sys/devices", devices) == READER_MOUNT_FAILED &&
                  // Mount failure wins even over a bus type without a name.
                  reader->GetDeviceList(BusType(9), devices) == READER_MOUNT_FAILED &&
                  reader->GetDeviceAttr("0000:00:00.0", BUS_PCI, attrs) == READER_MOUNT_FAILED &&
                  reader->GetDeviceDriver("0000:00:00.0", BUS_PCI, driver) == READER_MOUNT_FAILED &&
                  reader->GetPCIDeviceBDF("0000:00:00.0", BUS_PCI, b, d, f) == READER_MOUNT_FAILED &&
                  devices.empty() && attrs.empty() && device.empty() && driver.empty() &&
                  b == "b" && d == "d" && f == "f";
        return ok ? 0 : 1;
    }));
    if (IsSkipped())
        return;
    const std::string failed =
        "Leaving CSysfsReader::CheckandMountSysfs, Sysfs File System Manual Mount Failed";
    EXPECT_EQ(Trace({kMountedEnter, failed,
                     "Entering SysfsReader::GetClsDeviceList", kMountedEnter, failed,
                     "Leaving CSysfsReader::GetClsDeviceList, Sysfs File system not mounted",
                     "Entering SysfsReader::GetClsDeviceAttr", kMountedEnter, failed,
                     "Leaving CSysfsReader::GetClsDeviceList, Sysfs File system not mounted",
                     "Entering SysfsReader::GetPATHDeviceAttr", kMountedEnter, failed,
                     "Leaving CSysfsReader::GetDevicePathAttr, Sysfs File system not mounted",
                     "Entering CSysfsReader::GetDeviceList", kMountedEnter, failed,
                     "Leaving CSysfsReader::GetDeviceList, Sysfs File system not mounted",
                     "Entering CSysfsReader::GetDeviceAttr", kMountedEnter, failed,
                     "Leaving CSysfsReader::GetDeviceAttr, Sysfs file system not mounted",
                     "Entering CSysfsReader::GetDeviceDriver", kMountedEnter, failed,
                     "Leaving CSysfsReader::GetDeviceDrives, Sysfs file system not mounted",
                     "Entering CSysfsReader::GetPCIDeviceBDF", kMountedEnter, failed,
                     "Leaving CSysfsReader::GetPCIDeviceBDF,Sysfs file system not mounted"}),
              TakeLog());
}

// Without /proc libsysfs finds no mount at all; sysfs at /sys is still known
// (umockdev reports the fabricated tree as sysfs, as the kernel reports the
// real one), nothing is mounted, and every query answers as with /proc.
TEST_F(MountCheck, WithoutProcSysfsAtSysIsFoundAndQueriesWork)
{
    const std::string nic = "devices/pci0000:00/0000:00:19.0";
    tree.BusDevice("pci", nic)
        .Bind("pci", "e1000e", nic)
        .ClassDevice("net", nic + "/net/eth0")
        .File(nic + "/net/eth0/address", "aa:bb:cc:dd:ee:ff\n")
        .File(nic + "/vendor", "0x8086\n");
    std::string failures;
    RunOrSkip(InNamespaceWithout("/proc", [&] {
        std::ostringstream failed;
        auto check = [&](bool ok, const char* what) {
            if (!ok)
                failed << what << "; ";
        };
        DeviceMap classDevices, busDevices;
        AttributeMap classAttrs, deviceAttrs, pciAttrs;
        std::string driver, b, d, f;
        check(reader->CheckandMountSysfs() == READER_OK, "mount check");
        check(reader->GetClsDeviceList("net", classDevices) == READER_OK &&
                  classDevices["eth0"]["path"] == "/sys/" + nic + "/net/eth0",
              "class list");
        check(reader->GetClsDeviceAttr("net", "eth0", classAttrs, deviceAttrs) == READER_OK &&
                  classAttrs["address"] == "aa:bb:cc:dd:ee:ff" &&
                  deviceAttrs["driver_name"] == "e1000e" && deviceAttrs["vendor"] == "0x8086",
              "class device attributes");
        check(reader->GetDeviceList(BUS_PCI, busDevices) == READER_OK &&
                  busDevices["0000:00:19.0"]["driver_name"] == "e1000e",
              "bus list");
        check(reader->GetDeviceAttr("0000:00:19.0", BUS_PCI, pciAttrs) == READER_OK &&
                  pciAttrs["vendor"] == "0x8086",
              "bus device attributes");
        check(reader->GetDeviceDriver("0000:00:19.0", BUS_PCI, driver) == READER_OK &&
                  driver == "e1000e",
              "driver");
        check(reader->GetPCIDeviceBDF("0000:00:19.0", BUS_PCI, b, d, f) == READER_OK &&
                  b + d + f == "00190",
              "PCI address");
        std::ofstream(tree.Root() + "/failures") << failed.str();
        return 0;
    }));
    if (IsSkipped())
        return;
    EXPECT_EQ("", ReadFile(tree.Root() + "/failures"));
    std::string traced = TakeLog();
    EXPECT_EQ(0u, traced.find(Trace({kMountedEnter, kMountedLeave})));
    EXPECT_EQ(std::string::npos, traced.find("Manual"));
}

// The same on this machine's own sysfs: what the queries find without /proc
// is what they found with it (the PCI bus; network interfaces may come and go
// meanwhile, so of those only the loopback is required).
TEST_F(MountCheck, WithoutProcTheRealSysfsReadsAsWithIt)
{
    RunOrSkip(InNamespaceWithout("/proc", [&] {
        unsetenv("UMOCKDEV_DIR");
        return 0;
    }));
    if (IsSkipped())
        return;
    unsetenv("UMOCKDEV_DIR");
    DeviceMap pciWith;
    std::map<std::string, std::string> driversWith;
    ASSERT_EQ(READER_OK, reader->GetDeviceList(BUS_PCI, pciWith));
    for (const auto& [id, entry] : pciWith)
        reader->GetDeviceDriver(id, BUS_PCI, driversWith[id]);
    RunOrSkip(InNamespaceWithout("/proc", [&] {
        DeviceMap net, pci;
        std::map<std::string, std::string> drivers;
        if (reader->GetClsDeviceList("net", net) != READER_OK ||
            reader->GetDeviceList(BUS_PCI, pci) != READER_OK)
            return 1;
        for (const auto& [id, entry] : pci)
            reader->GetDeviceDriver(id, BUS_PCI, drivers[id]);
        return net["lo"]["path"] == "/sys/devices/virtual/net/lo" && pci == pciWith &&
                       drivers == driversWith
                   ? 0 : 2;
    }));
}

}  // namespace

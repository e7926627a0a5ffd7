// The mount check for real: in a private mount namespace with /sys unmounted.
// The machine's own mounts are never touched; skipped where not allowed.
#include <linux/capability.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/syscall.h>
#include <sys/wait.h>

#include "reader_fixture.h"

namespace {

constexpr int kSkip = 77;

// Runs body in a child process whose mount namespace is private and has no
// /sys; returns the child's exit status.
template <typename Body>
int InNamespaceWithoutSysfs(Body body)
{
    pid_t child = fork();
    if (child == 0) {
        unsetenv("UMOCKDEV_DIR");
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            umount2("/sys", MNT_DETACH) != 0)
            _exit(kSkip);
        _exit(body());
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 100;
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

}  // namespace

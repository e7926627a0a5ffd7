// Class queries: the devices of a sysfs class and the attributes of one of them.
//
// A class is opened through libsysfs.  Its devices are listed from the class
// directory by our own code, because libsysfs's list takes a ':' in a name for
// an old "class:device" name (iSCSI connections "connection1:0" and
// "connection2:0" would both come back as "0"), drops names it cannot hold,
// aborts on overlong paths and costs quadratic time to build.  A class device
// is found by its name and read by our own code: libsysfs stats every
// attribute twice and reads the mount table again for every object it opens,
// which makes an inventory of thousands of sessions several times dearer than
// the files it prints.
#include "internal/libsysfs.h"
#include "internal/no_throw.h"
#include "internal/sysfs_io.h"
#include "reader.h"

namespace Quentor {
namespace LinuxEnum {

namespace {

using detail::DeviceIdentity;
namespace sysfs = detail::sysfs;

// An opened class: the libsysfs handle (closed on every exit), the tree it
// lies in and the class directory.  A class whose name libsysfs cannot hold
// is opened by path alone.
struct OpenedClass {
    detail::ClassHandle handle;
    sysfs::Tree tree;
    sysfs::Dir dir;
};

std::optional<OpenedClass> OpenClass(const std::string& className, const std::string& mount)
{
    if (!sysfs::IsComponent(className))
        return std::nullopt;
    detail::ClassHandle handle;
    std::string path = mount + "/class/" + className;
    if (sysfs::NameFits(className)) {
        handle.reset(detail::OpenSysfsClass(className.c_str()));
        if (!handle)
            return std::nullopt;
        path = handle->path;
    }
    std::optional<sysfs::Tree> tree = sysfs::Tree::Open(mount);
    if (!tree)
        return std::nullopt;
    std::optional<sysfs::Dir> dir = tree->OpenPath(path);
    if (!dir)
        return std::nullopt;
    return OpenedClass{std::move(handle), std::move(*tree), std::move(*dir)};
}

}  // namespace

int CSysfsReader::GetClsDeviceList(std::string className, DeviceMap& classDevices)
{
    return detail::NoThrow(READER_CLASS_ERROR, [&] {
        Trace("Entering SysfsReader::GetClsDeviceList");
        if (className.empty()) {
            Trace("Leaving CSysfsReader::GetClsDeviceList, Device Class name empty");
            return READER_CLASS_ERROR;
        }
        std::string mount;
        int mounted = MountCheck(mount);
        if (mounted == READER_MOUNT_FAILED) {
            Trace("Leaving CSysfsReader::GetClsDeviceList, Sysfs File system not mounted");
            return mounted;
        }
        std::optional<OpenedClass> cls = OpenClass(className, mount);
        if (!cls) {
            Trace("Leaving CSysfsReader::GetClsDeviceList, Device class not found:", className);
            return READER_CLASS_ERROR;
        }
        std::vector<sysfs::ClassEntry> devices = sysfs::ListClassDevices(cls->tree, cls->dir);
        if (devices.empty()) {
            Trace("No devices found under device class:", className);
            return READER_NOT_FOUND;
        }
        AttributeMap entry;
        for (const sysfs::ClassEntry& device : devices) {
            entry.clear();
            entry.emplace("classname", className);
            entry.emplace("path", device.path);
            classDevices.emplace(device.name, entry);
            Trace("Class device pushed:", device.name);
        }
        cls.reset();
        Trace("Leaving SysfsReader::GetClsDeviceList");
        return READER_OK;
    });
}

int CSysfsReader::GetClsDeviceAttr(std::string className, std::string deviceName,
                                   AttributeMap& classDeviceAttrs, AttributeMap& deviceAttrs)
{
    return detail::NoThrow(READER_CLASS_ERROR, [&] {
        Trace("Entering SysfsReader::GetClsDeviceAttr");
        if (className.empty() || deviceName.empty()) {
            Trace("Leaving CSysfsReader::GetClsDeviceList, DeviceClassname or DeviceName empty");
            return READER_CLASS_ERROR;
        }
        std::string mount;
        int mounted = MountCheck(mount);
        if (mounted == READER_MOUNT_FAILED) {
            Trace("Leaving CSysfsReader::GetClsDeviceList, Sysfs File system not mounted");
            return mounted;
        }
        std::optional<OpenedClass> cls = OpenClass(className, mount);
        if (!cls) {
            Trace("Leaving CSysfsReader::GetClsDeviceList, Device class not found:", className);
            return READER_CLASS_ERROR;
        }
        // The device is looked up by name alone; only when it is missing is the
        // class read, as far as its first device, to tell an empty class.
        std::optional<sysfs::Dir> entry = cls->tree.Follow(cls->dir, deviceName);
        if (!entry) {
            if (!sysfs::HasLinkedDirectory(cls->tree, cls->dir))
                Trace("No devices found under device class:", className);
            else
                Trace("Class Device not found:", deviceName);
            return READER_NOT_FOUND;
        }
        Trace("Class device found:", deviceName);

        detail::AttributeRecords attributes = entry->Attributes();
        if (attributes.empty()) {
            Trace("Class Device attributes empty");
        } else {
            Trace("Class Device Attribute");
            SetAttributes(attributes, classDeviceAttrs);
        }
        std::optional<sysfs::Dir> physical = sysfs::PhysicalDevice(cls->tree, *entry);
        if (!physical) {
            Trace("Class Device-Device attributes empty");
        } else {
            const DeviceIdentity device = sysfs::IdentifyDevice(cls->tree, *physical);
            Trace("Class Dev-Device Attribute");
            deviceAttrs.emplace("bus_id", device.busId);
            deviceAttrs.emplace("bus", device.bus);
            deviceAttrs.emplace("driver_name", device.driverName);
            deviceAttrs.emplace("path", device.path);
            deviceAttrs.emplace("name", device.name);
            Trace("bus_id:", device.busId);
            Trace("bus:", device.bus);
            Trace("driver_name:", device.driverName);
            Trace("path:", device.path);
            Trace("name:", device.name);
            SetAttributes(physical->Attributes(), deviceAttrs);
        }
        cls.reset();
        Trace("Leaving SysfsReader::GetClsDeviceAttr");
        return READER_OK;
    });
}

}  // namespace LinuxEnum
}  // namespace Quentor

// Class queries: the devices of a sysfs class and the attributes of one of them.
//
// A class is opened through libsysfs.  Its devices are listed from the class
// directory by our own code, because libsysfs's list takes a ':' in a name for
// an old "class:device" name (iSCSI connections "connection1:0" and
// "connection2:0" would both come back as "0"), drops names it cannot hold,
// aborts on overlong paths and costs quadratic time to build.  A class device
// is then found by its name and read by our own code (see LoadClassDevice).
#include "internal/attribute_source.h"
#include "internal/libsysfs.h"
#include "internal/sysfs_io.h"
#include "reader.h"

namespace Quentor {
namespace LinuxEnum {

namespace {

using detail::AttributeSource;
using detail::DeviceIdentity;
namespace sysfs = detail::sysfs;

// An opened class: the libsysfs handle (closed on every exit) and the class
// directory.  A class whose name libsysfs cannot hold is opened by path alone.
struct OpenedClass {
    detail::ClassHandle handle;
    std::string path;
};

std::optional<OpenedClass> OpenClass(const std::string& className, const std::string& mount)
{
    if (!sysfs::IsComponent(className))
        return std::nullopt;
    OpenedClass opened;
    if (sysfs::NameFits(className)) {
        opened.handle.reset(detail::OpenSysfsClass(className.c_str()));
        if (!opened.handle)
            return std::nullopt;
        opened.path = opened.handle->path;
        return opened;
    }
    std::optional<std::string> path = sysfs::ResolveDirectory(mount + "/class/" + className, mount);
    if (!path)
        return std::nullopt;
    opened.path = std::move(*path);
    return opened;
}

// What one class device holds, ready to be captured.
struct ClassDeviceContents {
    AttributeSource attributes;
    std::optional<DeviceIdentity> device;
    AttributeSource deviceAttributes;
};

// The class device's attributes, the device behind it and that device's
// attributes.  Read by our own code rather than through libsysfs: libsysfs
// stats every attribute twice and reads the mount table again for every
// object it opens, which makes an inventory of thousands of sessions several
// times dearer than the files it prints; our reading follows its rules
// (regular files only, the owner-read bit decides whether the content is read,
// one page, a file whose read fails is left out).
ClassDeviceContents LoadClassDevice(const sysfs::ClassEntry& entry, const std::string& mount)
{
    ClassDeviceContents contents;
    contents.attributes = AttributeSource::FromRecords(sysfs::ReadAttributes(entry.path));
    if (std::optional<std::string> devicePath = sysfs::PhysicalDevicePath(entry.path, mount)) {
        contents.device = sysfs::IdentifyDevice(*devicePath, mount);
        contents.deviceAttributes =
            AttributeSource::FromRecords(sysfs::ReadAttributes(*devicePath));
    }
    return contents;
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
        std::vector<sysfs::ClassEntry> devices = sysfs::ListClassDevices(cls->path, mount);
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
        // class listed, to tell an empty class from a missing device.
        std::optional<sysfs::ClassEntry> entry = sysfs::FindClassDevice(cls->path, deviceName, mount);
        if (!entry) {
            if (sysfs::ListClassDevices(cls->path, mount).empty())
                Trace("No devices found under device class:", className);
            else
                Trace("Class Device not found:", deviceName);
            return READER_NOT_FOUND;
        }
        Trace("Class device found:", entry->name);

        ClassDeviceContents contents = LoadClassDevice(*entry, mount);
        if (contents.attributes.Empty()) {
            Trace("Class Device attributes empty");
        } else {
            Trace("Class Device Attribute");
            SetAttributes(contents.attributes, classDeviceAttrs);
        }
        if (!contents.device) {
            Trace("Class Device-Device attributes empty");
        } else {
            const DeviceIdentity& device = *contents.device;
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
            SetAttributes(contents.deviceAttributes, deviceAttrs);
        }
        cls.reset();
        Trace("Leaving SysfsReader::GetClsDeviceAttr");
        return READER_OK;
    });
}

}  // namespace LinuxEnum
}  // namespace Quentor

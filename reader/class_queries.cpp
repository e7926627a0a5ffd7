// SPDX-License-Identifier: MIT
// Class queries: the devices of a sysfs class and the attributes of one of
// them; and the opening that every class-side query (the path query too)
// runs before it reads.
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
#include "internal/query.h"
#include "internal/opened_dir.h"
#include "internal/sysfs_io.h"
#include "internal/messages.h"
#include "reader.h"

namespace Quentor {
namespace LinuxEnum {

namespace {

using detail::OpenedDir;
namespace messages = detail::messages;
namespace sysfs = detail::sysfs;

// A class whose name libsysfs cannot hold is opened by path alone.
std::optional<OpenedDir> OpenClass(const std::string& className, const std::string& mount)
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
    std::optional<OpenedDir> opened = detail::OpenDirectory(path, mount);
    if (opened)
        opened->handle = std::move(handle);
    return opened;
}

// A class opened by our own code alone, which finds it where libsysfs does
// (the block class at <mount>/block, where the kernel still has it) without
// reading the mount table again.
std::optional<OpenedDir> OpenClassByPath(const std::string& className, const std::string& mount)
{
    if (!sysfs::IsComponent(className))
        return std::nullopt;
    if (className == "block") {
        if (std::optional<OpenedDir> block = detail::OpenDirectory(mount + "/block", mount))
            return block;
    }
    return detail::OpenDirectory(mount + "/class/" + className, mount);
}

}  // namespace

int CSysfsReader::OpenClassSide(const messages::ClassLadder& ladder,
                                std::initializer_list<std::string_view> arguments,
                                const std::string& target, detail::DirOpener open,
                                std::optional<OpenedDir>& opened,
                                std::initializer_list<const AttributeNames*> names)
{
    Trace(ladder.entering);
    for (std::string_view argument : arguments) {
        if (argument.empty()) {
            Trace(ladder.argumentEmpty);
            return READER_CLASS_ERROR;
        }
    }
    if (!NamesAccepted(names))
        return READER_CLASS_ERROR;
    std::string mount;
    const int mounted = MountCheck(mount);
    if (mounted == READER_MOUNT_FAILED) {
        Trace(ladder.notMounted);
        return mounted;
    }
    opened = open(target, mount);
    if (!opened) {
        Trace(ladder.notFound, target);
        return READER_CLASS_ERROR;
    }
    return READER_OK;
}

int CSysfsReader::GetClsDeviceList(std::string className, DeviceMap& classDevices)
{
    return Query(READER_CLASS_ERROR, [&] {
        const messages::ClsDeviceListTexts& texts = messages::kGetClsDeviceList;
        std::optional<OpenedDir> cls;
        if (const int code = OpenClassSide(texts, {className}, className, OpenClass, cls);
            code != READER_OK)
            return code;
        std::vector<sysfs::ClassEntry> devices = sysfs::ListClassDevices(cls->tree, cls->dir);
        if (devices.empty()) {
            Trace(texts.noDevices, className);
            return READER_NOT_FOUND;
        }
        AttributeMap entry;
        for (const sysfs::ClassEntry& device : devices) {
            entry.clear();
            entry.emplace("classname", className);
            entry.emplace("path", device.path);
            classDevices.emplace(device.name, entry);
            Trace(texts.pushed, device.name);
        }
        cls.reset();
        Trace(texts.leaving);
        return READER_OK;
    });
}

int CSysfsReader::GetClsDeviceAttr(std::string className, std::string deviceName,
                                   AttributeMap& classDeviceAttrs, AttributeMap& deviceAttrs)
{
    return Query(READER_CLASS_ERROR, [&] {
        std::optional<DeviceIdentity> device;
        AttributeMap attributes;
        const int code = ReadClassDevice(className, deviceName, kEveryAttribute, kEveryAttribute,
                                         OpenClass, classDeviceAttrs, device, attributes);
        // The whole-device query gives the identity under its keys, first, so
        // that an attribute file of the same name never replaces it.
        if (device) {
            deviceAttrs.emplace("bus_id", device->busId);
            deviceAttrs.emplace("bus", device->bus);
            deviceAttrs.emplace("driver_name", device->driverName);
            deviceAttrs.emplace("path", device->path);
            deviceAttrs.emplace("name", device->name);
            deviceAttrs.insert(attributes.begin(), attributes.end());
        }
        return code;
    });
}

int CSysfsReader::GetClsDeviceNamedAttr(std::string className, std::string deviceName,
                                        const AttributeNames& names, AttributeMap& classDeviceAttrs,
                                        const AttributeNames& deviceNames,
                                        std::optional<DeviceIdentity>& device,
                                        AttributeMap& deviceAttrs)
{
    return Query(READER_CLASS_ERROR, [&] {
        return ReadClassDevice(className, deviceName, names, deviceNames, OpenClassByPath,
                               classDeviceAttrs, device, deviceAttrs);
    });
}

int CSysfsReader::ReadClassDevice(const std::string& className, const std::string& deviceName,
                                  const AttributeNames& names, const AttributeNames& deviceNames,
                                  detail::DirOpener openClass, AttributeMap& classDeviceAttrs,
                                  std::optional<DeviceIdentity>& device, AttributeMap& deviceAttrs)
{
    const messages::ClsDeviceAttrTexts& texts = messages::kGetClsDeviceAttr;
    std::optional<OpenedDir> cls;
    if (const int code =
            OpenClassSide(texts, {className, deviceName}, className, openClass, cls, {&names, &deviceNames});
        code != READER_OK)
        return code;
    // The device is looked up by name alone; only when it is missing is the
    // class read, as far as its first device, to tell an empty class.
    sysfs::Result<sysfs::Dir> entry = cls->tree.Follow(cls->dir, deviceName);
    if (!entry) {
        if (!sysfs::HasLinkedDirectory(cls->tree, cls->dir))
            Trace(texts.noDevices, className);
        else
            Trace(texts.noSuchDevice, deviceName);
        return READER_NOT_FOUND;
    }
    Trace(texts.found, deviceName);

    // Everything is read before anything is kept: a device that goes away
    // while it is read (a session logging out) leaves files missing, and is
    // gone, never shown in part.  The kernel removes a class device's link
    // before its directory, so a link still there after the reads means
    // they saw the device whole.
    bool vanishing = false;
    detail::AttributeRecords attributes = sysfs::ReadAttributes(*entry, names, &vanishing);
    sysfs::Result<sysfs::Dir> physical = sysfs::PhysicalDevice(cls->tree, *entry);
    std::optional<DeviceIdentity> identity;
    detail::AttributeRecords physicalAttributes;
    if (physical) {
        identity = sysfs::IdentifyDevice(cls->tree, *physical);
        physicalAttributes = sysfs::ReadAttributes(*physical, deviceNames, &vanishing);
    }
    if (vanishing || !cls->tree.Follow(cls->dir, deviceName)) {
        Trace(texts.noSuchDevice, deviceName);
        return READER_NOT_FOUND;
    }
    if (attributes.empty()) {
        Trace(texts.noAttributes);
    } else {
        Trace(texts.attributes);
        SetAttributes(attributes, classDeviceAttrs);
    }
    if (!identity) {
        Trace(texts.noPhysicalDevice);
    } else {
        Trace(texts.physicalDevice);
        Trace(texts.busId, identity->busId);
        Trace(texts.bus, identity->bus);
        Trace(texts.driverName, identity->driverName);
        Trace(texts.path, identity->path);
        Trace(texts.name, identity->name);
        SetAttributes(physicalAttributes, deviceAttrs);
        device = std::move(identity);
    }
    cls.reset();
    Trace(texts.leaving);
    return READER_OK;
}

}  // namespace LinuxEnum
}  // namespace Quentor

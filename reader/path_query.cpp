// The path query: the attributes of every subdirectory of a sysfs directory.
// libsysfs 2.x has no directory calls, so the tree is read by our own code,
// which delivers what they delivered: real subdirectories only (a link is not a
// subdirectory), and each one's regular files read the way libsysfs reads them.
#include "internal/no_throw.h"
#include "internal/sysfs_io.h"
#include "reader.h"

namespace Quentor {
namespace LinuxEnum {

namespace sysfs = detail::sysfs;

int CSysfsReader::GetDevicePathAttr(std::string devicePath, DeviceMap& pathDevices)
{
    return detail::NoThrow(READER_CLASS_ERROR, [&] {
        Trace("Entering SysfsReader::GetPATHDeviceAttr");
        if (devicePath.empty()) {
            Trace("Leaving CSysfsReader::GetDevicePathAttr, Path is Null");
            return READER_CLASS_ERROR;
        }
        std::string mount;
        int mounted = MountCheck(mount);
        if (mounted == READER_MOUNT_FAILED) {
            Trace("Leaving CSysfsReader::GetDevicePathAttr, Sysfs File system not mounted");
            return mounted;
        }
        // Only directories of the sysfs tree are read: a path that leads
        // elsewhere is not found, whatever it names.
        std::optional<sysfs::Tree> tree = sysfs::Tree::Open(mount);
        std::optional<sysfs::Dir> directory = tree ? tree->OpenPath(devicePath) : std::nullopt;
        if (!directory) {
            Trace("Leaving CSysfsReader::GetDevicePathAttr, Device not found:", devicePath);
            return READER_CLASS_ERROR;
        }
        std::vector<std::string> subdirectories;
        for (sysfs::Entry& entry : directory->Entries()) {
            if (directory->IsSubdir(entry))
                subdirectories.push_back(std::move(entry.name));
        }
        if (subdirectories.empty()) {
            Trace("Leaving CSysfsReader::GetDevicePathAttr, Path Does Not Include Devices");
            return READER_CLASS_ERROR;
        }
        AttributeMap attributes;
        for (const std::string& name : subdirectories) {
            // A subdirectory that went away since the listing has no attributes.
            std::optional<sysfs::Dir> subdirectory = directory->Subdir(name);
            detail::AttributeRecords records =
                subdirectory ? subdirectory->Attributes() : detail::AttributeRecords();
            if (records.empty()) {
                Trace("Device attributes empty");
                return READER_CLASS_ERROR;
            }
            Trace("Device Attribute");
            SetAttributes(records, attributes);
            pathDevices.emplace(name, attributes);
            attributes.clear();
        }
        Trace("Leaving SysfsReader::GetDevicePathAttr");
        return READER_OK;
    });
}

}  // namespace LinuxEnum
}  // namespace Quentor

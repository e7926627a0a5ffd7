// The reader's own access to the sysfs tree (internal).  All reading of sysfs
// that does not go through libsysfs happens here: listing class and device
// directories, resolving links, reading attribute files, and deciding whether
// libsysfs can be trusted with a name or a path.
//
// Everything here is bounded to the sysfs mount: a link that leads outside it
// is treated like a link that leads nowhere.
#ifndef SYSFSREADER_INTERNAL_SYSFS_IO_H
#define SYSFSREADER_INTERNAL_SYSFS_IO_H

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Quentor {
namespace LinuxEnum {
namespace detail {

// One attribute as our own reading delivers it: like libsysfs's record, a name
// and, where the file could be read, its content (at most one page, NUL bytes
// and final newline included).
struct AttributeRecord {
    std::string name;
    bool read = false;
    std::string value;
};
using AttributeRecords = std::vector<AttributeRecord>;

// Identity of a physical device, the five keys the class queries report.
struct DeviceIdentity {
    std::string busId;
    std::string bus;
    std::string driverName;
    std::string path;
    std::string name;
};

namespace sysfs {

// True for a name that can only mean one entry of a directory: not empty, not
// "." or "..", without '/' or NUL.  Anything else never reaches the filesystem.
bool IsComponent(std::string_view name);

// The canonical path of a directory at path, when it is one and lies inside the
// sysfs mount; nothing otherwise (missing, dangling, looping, outside, not a dir).
std::optional<std::string> ResolveDirectory(const std::string& path, const std::string& mount);

// Names in a directory, sorted byte-wise, "." and ".." left out.  Empty when
// the directory cannot be read.
std::vector<std::string> ListNames(const std::string& dir);

// A class device: its entry name in the class directory and its resolved path.
struct ClassEntry {
    std::string name;
    std::string path;
};

// Every entry of a class directory that leads to a directory inside sysfs, in
// name order.  Plain files and links that lead nowhere are not class devices.
std::vector<ClassEntry> ListClassDevices(const std::string& classDir, const std::string& mount);

// One class device by name; nothing when the name is not a single component or
// does not lead to a directory inside sysfs.
std::optional<ClassEntry> FindClassDevice(const std::string& classDir, const std::string& name,
                                          const std::string& mount);

// A device that a link names: the link's name and the directory it leads to.
struct LinkedDevice {
    std::string name;
    std::string path;
};

// Every symlink in dir (a bus's "devices" directory, a driver's directory)
// that leads to a directory inside sysfs, in name order.  Other entries, and
// links that lead nowhere, name no device.
std::vector<LinkedDevice> ListLinkedDevices(const std::string& dir, const std::string& mount);

// The subdirectories directly inside dir (links are not subdirectories), name order.
std::vector<std::string> ListSubdirectories(const std::string& dir);

// The attributes of a directory, read the way libsysfs reads its own: every
// regular file (never a FIFO, socket or link), name order; the content of a
// file whose owner may read it, at most one page; a file that cannot be read
// for any other reason (I/O error, vanished) is left out.
AttributeRecords ReadAttributes(const std::string& dir);

// The physical device behind a class device (its "device" link), when there
// is one inside sysfs.
std::optional<std::string> PhysicalDevicePath(const std::string& classDevicePath,
                                              const std::string& mount);

// The bus a device sits on: the name of the bus that its "subsystem" link leads
// to when that lies in the bus tree (<mount>/bus/NAME), empty otherwise.
std::string BusFromSubsystem(const std::string& devicePath, const std::string& mount);

// A device's identity read by our own code: bus id and name are its directory
// name, driver the name its "driver" link leads to ("unknown" without one, as
// libsysfs says), bus from its subsystem.
DeviceIdentity IdentifyDevice(const std::string& devicePath, const std::string& mount);

// Whether libsysfs can hold a directory and everything inside it: its path and
// the path of each entry within SYSFS_PATH_MAX, each entry name within
// SYSFS_NAME_LEN.  libsysfs silently drops or cuts what does not fit, and
// aborts the process on some overlong paths, so nothing that fails this test
// is ever handed to it.
bool FitsLibsysfs(const std::string& dir);

// FitsLibsysfs for a device directory, and also its "driver" and "subsystem"
// links: their text within SYSFS_PATH_MAX and the names they end in within
// SYSFS_NAME_LEN, for libsysfs reads both when it opens a device.
bool DeviceFitsLibsysfs(const std::string& dir);

// Whether a single name and a path fit libsysfs's fixed buffers.
bool NameFits(std::string_view name);
bool PathFits(std::string_view path);

}  // namespace sysfs
}  // namespace detail
}  // namespace LinuxEnum
}  // namespace Quentor

#endif

// SPDX-License-Identifier: MIT
#include "libsysfs.h"

#include <sys/vfs.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

namespace Quentor {
namespace LinuxEnum {
namespace detail {

namespace {

// The sysfs file system's magic number (linux/magic.h).
constexpr unsigned long kSysfsMagic = 0x62656572;

// Where libsysfs looks for sysfs, and so where we look when it cannot.
constexpr const char* kSysfsRoot = "/sys";

// Serialises every libsysfs call that reads the mount table.  A function-local
// static: a reader used during another translation unit's static
// initialisation finds it constructed.
std::mutex& MountTableLock()
{
    static std::mutex lock;
    return lock;
}

// libsysfs could not find the mount; true when /sys is sysfs all the same.
// Called with the lock held, right after libsysfs failed.
bool OnlyTheMountTableIsMissing()
{
    char path[SYSFS_PATH_MAX] = {0};
    return sysfs_get_mnt_path(path, SYSFS_PATH_MAX - 1) != 0 && IsSysfsMount(kSysfsRoot);
}

// A zeroed record of libsysfs's own kind (it allocates them with calloc and
// frees them with free) holding name and path; null when either does not fit.
template <typename Record>
Record* MakeRecord(const char* name, const std::string& path)
{
    if (std::strlen(name) >= SYSFS_NAME_LEN || path.size() >= SYSFS_PATH_MAX)
        return nullptr;
    auto* record = static_cast<Record*>(std::calloc(1, sizeof(Record)));
    if (record == nullptr)
        return nullptr;
    std::memcpy(record->name, name, std::strlen(name));
    std::memcpy(record->path, path.data(), path.size());
    return record;
}

sysfs_class* ClassWithoutMountTable(const char* name)
{
    // The block class lived at the top of sysfs on older kernels; libsysfs
    // prefers that directory when it is there.
    std::string path = std::string(kSysfsRoot) + "/";
    if (std::strcmp(name, SYSFS_BLOCK_NAME) == 0 &&
        sysfs_path_is_dir((path + SYSFS_BLOCK_NAME).c_str()) == 0)
        path += SYSFS_BLOCK_NAME;
    else
        path = path + SYSFS_CLASS_NAME + "/" + name;
    if (sysfs_path_is_dir(path.c_str()) != 0)
        return nullptr;
    return MakeRecord<sysfs_class>(name, path);
}

sysfs_bus* BusWithoutMountTable(const char* name)
{
    std::string path = std::string(kSysfsRoot) + "/" + SYSFS_BUS_NAME + "/" + name;
    if (sysfs_path_is_dir(path.c_str()) != 0)
        return nullptr;
    return MakeRecord<sysfs_bus>(name, path);
}

}  // namespace

int GetMntPath(char* path, std::size_t length)
{
    std::lock_guard<std::mutex> hold(MountTableLock());
    // Its errno tells a table that could not be read from one without sysfs.
    errno = 0;
    return sysfs_get_mnt_path(path, length);
}

bool IsSysfsMount(const char* path)
{
    struct statfs fs;
    return statfs(path, &fs) == 0 && static_cast<unsigned long>(fs.f_type) == kSysfsMagic;
}

sysfs_class* OpenSysfsClass(const char* name)
{
    std::lock_guard<std::mutex> hold(MountTableLock());
    if (sysfs_class* cls = sysfs_open_class(name))
        return cls;
    return OnlyTheMountTableIsMissing() ? ClassWithoutMountTable(name) : nullptr;
}

sysfs_bus* OpenSysfsBus(const char* name)
{
    std::lock_guard<std::mutex> hold(MountTableLock());
    if (sysfs_bus* bus = sysfs_open_bus(name))
        return bus;
    return OnlyTheMountTableIsMissing() ? BusWithoutMountTable(name) : nullptr;
}

}  // namespace detail
}  // namespace LinuxEnum
}  // namespace Quentor

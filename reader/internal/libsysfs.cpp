// SPDX-License-Identifier: MIT
#include "libsysfs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>

#include "base/unique_fd.h"
#include "failure.h"

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
    if (record == nullptr) {
        NoteFailure(ENOMEM, path);
        return nullptr;
    }
    std::memcpy(record->name, name, std::strlen(name));
    std::memcpy(record->path, path.data(), path.size());
    return record;
}

// libsysfs opened nothing at path.  It opens whatever directory is there, so
// a directory that is there means that it failed on its own account.
void NoteIfThere(const std::string& path, int libraryError)
{
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) {
        if (!IsAbsence(errno))
            NoteFailure(errno, path);
        return;
    }
    if (!S_ISDIR(st.st_mode))
        return;
    NoteFailure(LibsysfsFailure(libraryError), path);
}

// Where libsysfs would have looked for a class or bus, for NoteIfThere.
std::string WhereLibsysfsLooks(const char* kind, const char* name)
{
    char mount[SYSFS_PATH_MAX] = {0};
    if (sysfs_get_mnt_path(mount, SYSFS_PATH_MAX - 1) != 0)
        return std::string(kSysfsRoot) + "/" + kind + "/" + name;
    return std::string(mount) + "/" + kind + "/" + name;
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

int LibsysfsFailure(int libraryError)
{
    // libsysfs fails where it should not for want of memory (its records)
    // or of a mount table it could not read: when it cannot open
    // /proc/mounts it falls back on /etc/fstab, and its errno then says
    // only "not found" (EINVAL).  Exhaustion is what makes that open fail
    // where ours works.
    const bool told = libraryError != 0 && libraryError != EINVAL && !IsAbsence(libraryError);
    return told ? libraryError : ENOMEM;
}

int GetMntPath(char* path, std::size_t length)
{
    std::lock_guard<std::mutex> hold(MountTableLock());
    // Its errno tells a table that could not be read from one without sysfs.
    errno = 0;
    return sysfs_get_mnt_path(path, length);
}

bool IsSysfsMount(const char* path)
{
    bool isSysfs = false;
    return StatSysfsMount(path, isSysfs) == 0 && isSysfs;
}

int StatSysfsMount(const char* path, bool& isSysfs)
{
    struct statfs fs;
    if (statfs(path, &fs) != 0)
        return errno;
    isSysfs = static_cast<unsigned long>(fs.f_type) == kSysfsMagic;
    return 0;
}

int ReadMountTable(MountTable& says)
{
    base::UniqueFd table(open("/proc/mounts", O_RDONLY | O_CLOEXEC));
    if (!table) {
        if (errno != ENOENT)
            return errno;
        says = MountTable::Missing;
        return 0;
    }
    // Each line is "source target type options 0 0"; the third field is
    // compared with "sysfs" as the bytes go by, so that no line is held.
    constexpr std::string_view kType = "sysfs";
    int field = 0;
    std::size_t at = 0;    // bytes of the type field seen so far
    bool matches = true;   // the type field so far is a prefix of kType
    char buffer[4096];
    for (;;) {
        const ssize_t got = read(table.Get(), buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        if (got == 0)
            break;
        for (ssize_t i = 0; i < got; ++i) {
            const char c = buffer[i];
            if (c == '\n') {
                field = 0;
                at = 0;
                matches = true;
            } else if (c == ' ') {
                if (field == 2 && matches && at == kType.size()) {
                    says = MountTable::ListsSysfs;
                    return 0;
                }
                ++field;
            } else if (field == 2) {
                matches = matches && at < kType.size() && kType[at] == c;
                ++at;
            }
        }
    }
    says = MountTable::NoSysfs;
    return 0;
}

sysfs_class* OpenSysfsClass(const char* name)
{
    std::lock_guard<std::mutex> hold(MountTableLock());
    errno = 0;
    if (sysfs_class* cls = sysfs_open_class(name))
        return cls;
    const int error = errno;
    if (OnlyTheMountTableIsMissing())
        return ClassWithoutMountTable(name);
    NoteIfThere(WhereLibsysfsLooks(SYSFS_CLASS_NAME, name), error);
    return nullptr;
}

sysfs_bus* OpenSysfsBus(const char* name)
{
    std::lock_guard<std::mutex> hold(MountTableLock());
    errno = 0;
    if (sysfs_bus* bus = sysfs_open_bus(name))
        return bus;
    const int error = errno;
    if (OnlyTheMountTableIsMissing())
        return BusWithoutMountTable(name);
    NoteIfThere(WhereLibsysfsLooks(SYSFS_BUS_NAME, name), error);
    return nullptr;
}

}  // namespace detail
}  // namespace LinuxEnum
}  // namespace Quentor

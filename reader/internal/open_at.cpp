// SPDX-License-Identifier: MIT
#include "open_at.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace Quentor {
namespace LinuxEnum {
namespace detail {
namespace sysfs {

namespace {

// A directory that may not be read is opened again O_PATH.
bool MayRetryAsPath(int fd) { return fd < 0 && (errno == EACCES || errno == EPERM); }

// Whether openat2 may be tried: cleared for good once the kernel (or a
// sandbox in front of it) does not know it.
std::atomic<bool> g_openat2{true};

}  // namespace

int OpenDirectoryAt(int dirFd, const std::string& name)
{
    constexpr int kFlags = O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    int fd = openat(dirFd, name.c_str(), O_RDONLY | kFlags);
    if (MayRetryAsPath(fd))
        fd = openat(dirFd, name.c_str(), O_PATH | kFlags);
    return fd;
}

int OpenBeneath(int dirFd, const std::string& relative)
{
    if (!g_openat2.load(std::memory_order_relaxed)) {
        errno = ENOSYS;
        return -1;
    }
    open_how how{};
    how.flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS | RESOLVE_BENEATH;
    long fd = syscall(SYS_openat2, dirFd, relative.c_str(), &how, sizeof how);
    if (MayRetryAsPath(static_cast<int>(fd))) {
        how.flags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
        fd = syscall(SYS_openat2, dirFd, relative.c_str(), &how, sizeof how);
    }
    if (fd < 0 && (errno == ENOSYS || errno == EPERM))
        g_openat2.store(false, std::memory_order_relaxed);
    return static_cast<int>(fd);
}

}  // namespace sysfs
}  // namespace detail
}  // namespace LinuxEnum
}  // namespace Quentor

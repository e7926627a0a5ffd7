// SPDX-License-Identifier: MIT
// The system calls that open a directory of the tree (internal), with their
// fallbacks: O_PATH where a directory may not be read, the walk one
// component at a time where openat2 is missing.  Each gives a descriptor, or
// -1 with errno as the kernel left it; none notes a failure: its caller, who
// knows what was sought, decides whether it was absence or failure.
#ifndef SYSFSREADER_INTERNAL_OPEN_AT_H
#define SYSFSREADER_INTERNAL_OPEN_AT_H

#include <string>

namespace Quentor {
namespace LinuxEnum {
namespace detail {
namespace sysfs {

// Opens entry name of the directory dirFd as a directory, never through a
// link (ELOOP or ENOTDIR for one).  Opened for reading, so that it can be
// listed through the very descriptor the walk holds; one that may not be
// read is still a way to what lies below it, and is opened O_PATH.
int OpenDirectoryAt(int dirFd, const std::string& name);

// Opens a relative path of plain names below dirFd in one call when no
// component of it is a link and it stays beneath the directory (openat2 with
// RESOLVE_NO_SYMLINKS and RESOLVE_BENEATH): then the path is exactly where
// the directory found lies, which is what the walk one component at a time
// would find at several times the cost.  ENOENT or ENOTDIR when there is no
// such directory; another errno when the walk must decide (ELOOP for a link
// on the way, ENOSYS where openat2 is not to be had).
int OpenBeneath(int dirFd, const std::string& relative);

}  // namespace sysfs
}  // namespace detail
}  // namespace LinuxEnum
}  // namespace Quentor

#endif

// SPDX-License-Identifier: MIT
// How the reader holds libsysfs objects (internal): every handle is owned by a
// unique_ptr so that each exit of a query closes it.
//
// libsysfs finds the sysfs mount by reading /proc/mounts with getmntent(),
// whose result lives in one buffer shared by every thread of the process, and
// it does so inside every open of a bus or class by name.  Two
// threads doing that at once overwrite each other's mount entries, and either
// may conclude that sysfs is not mounted.  So every libsysfs call of the reader
// that can reach the mount table goes through a wrapper below, which holds one
// process-wide lock for the call.  libsysfs keeps no state of its own; the
// closes touch only the handle they are given and need no lock.
#ifndef SYSFSREADER_INTERNAL_LIBSYSFS_H
#define SYSFSREADER_INTERNAL_LIBSYSFS_H

extern "C" {
#include <sysfs/libsysfs.h>
}

#include <cstddef>
#include <memory>

namespace Quentor {
namespace LinuxEnum {
namespace detail {

struct ClassCloser {
    void operator()(sysfs_class* cls) const { sysfs_close_class(cls); }
};
struct BusCloser {
    void operator()(sysfs_bus* bus) const { sysfs_close_bus(bus); }
};
using ClassHandle = std::unique_ptr<sysfs_class, ClassCloser>;
using BusHandle = std::unique_ptr<sysfs_bus, BusCloser>;

// sysfs_get_mnt_path under the lock.
int GetMntPath(char* path, std::size_t length);

// True when path is the root of a mounted sysfs, by the file system's magic
// number: the test that works without /proc, where libsysfs sees no mount.
bool IsSysfsMount(const char* path);

// The same test that tells a failure from an answer: 0 with isSysfs set, or
// the errno of a statfs that failed (ENOENT: there is no such directory).
int StatSysfsMount(const char* path, bool& isSysfs);

// The errno to report for a libsysfs call that failed although what it
// sought is there, given the errno it left: that one when it tells a
// failure, else ENOMEM.
int LibsysfsFailure(int libraryError);

// What the mount table (/proc/mounts) says of sysfs, read by our own code
// when libsysfs found no sysfs in it: libsysfs cannot tell a table it could
// not read (no memory, no descriptor) from one without sysfs, and mounting
// on that guess would stack a second sysfs over the first.
enum class MountTable { ListsSysfs, NoSysfs, Missing };
// 0 with what the table says (Missing: there is no /proc), or the errno of
// the failed read.
int ReadMountTable(MountTable& says);

// sysfs_open_class and sysfs_open_bus under the lock.  When libsysfs opens
// nothing although the directory is there (it ran out of memory or
// descriptors), that is noted as a failure of the query, not taken for a
// class or bus that does not exist.  Where libsysfs cannot
// read the mount table (no /proc) but /sys is sysfs, the handle is made here
// the way libsysfs makes it (the same path, the same directory test, a zeroed
// record that sysfs_close_class or sysfs_close_bus frees), so that the queries
// still work.
sysfs_class* OpenSysfsClass(const char* name);
sysfs_bus* OpenSysfsBus(const char* name);

}  // namespace detail
}  // namespace LinuxEnum
}  // namespace Quentor

#endif

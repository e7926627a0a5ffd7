// How the reader holds libsysfs objects (internal): every top-level handle is
// owned by a unique_ptr so that each exit of a query closes it, and every dlist
// is walked through ForEach.
//
// libsysfs finds the sysfs mount by reading /proc/mounts with getmntent(),
// whose result lives in one buffer shared by every thread of the process, and
// it does so inside every open of a bus, class, device or driver by name.  Two
// threads doing that at once overwrite each other's mount entries, and either
// may conclude that sysfs is not mounted.  So every libsysfs call of the reader
// that can reach the mount table goes through a wrapper below, which holds one
// process-wide lock for the call.  libsysfs keeps no state of its own; the
// other calls (lists of an opened handle read by path, attribute reads, the
// closes) touch only the handle they are given and need no lock.
#ifndef SYSFSREADER_INTERNAL_LIBSYSFS_H
#define SYSFSREADER_INTERNAL_LIBSYSFS_H

extern "C" {
#include <sysfs/libsysfs.h>
}

#include <cstddef>
#include <memory>
#include <type_traits>

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

// sysfs_open_class and sysfs_open_bus under the lock.  Where libsysfs cannot
// read the mount table (no /proc) but /sys is sysfs, the handle is made here
// the way libsysfs makes it (the same path, the same directory test, a zeroed
// record that sysfs_close_class or sysfs_close_bus frees), so that the queries
// still work.
sysfs_class* OpenSysfsClass(const char* name);
sysfs_bus* OpenSysfsBus(const char* name);

// sysfs_get_driver_devices under the lock: it opens each device by bus and
// name, which reads the mount table.  Without /proc it finds no device (see
// LibsysfsFindsMount).
dlist* GetDriverDevices(sysfs_driver* driver);

// Whether libsysfs can find the sysfs mount itself; when it cannot, what it
// would open by name must be read by our own code.
bool LibsysfsFindsMount();

// Calls fn(T*) for every record of a libsysfs list, once, from its start, in list
// order; records that come back null are skipped.  fn may return false to stop
// the walk early (a void fn walks to the end).  Returns false when it stopped
// early.  A null list is an empty walk.
template <typename T, typename Fn>
bool ForEach(dlist* list, Fn&& fn)
{
    if (list == nullptr)
        return true;
    dlist_start(list);
    for (void* data = _dlist_mark_move(list, 1); list->marker != list->head;
         data = _dlist_mark_move(list, 1)) {
        if (data == nullptr)
            continue;
        if constexpr (std::is_same_v<decltype(fn(static_cast<T*>(data))), bool>) {
            if (!fn(static_cast<T*>(data)))
                return false;
        } else {
            fn(static_cast<T*>(data));
        }
    }
    return true;
}

}  // namespace detail
}  // namespace LinuxEnum
}  // namespace Quentor

#endif

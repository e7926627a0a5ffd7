// How the reader holds libsysfs objects (internal): every top-level handle is
// owned by a unique_ptr so that each exit of a query closes it, and every dlist
// is walked through ForEach.
#ifndef SYSFSREADER_INTERNAL_LIBSYSFS_H
#define SYSFSREADER_INTERNAL_LIBSYSFS_H

extern "C" {
#include <sysfs/libsysfs.h>
}

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

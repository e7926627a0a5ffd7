// The attributes of one directory as a query captures them (internal): either
// libsysfs's list, owned by the handle the query holds open, or the records our
// own code read where libsysfs cannot be used.
#ifndef SYSFSREADER_INTERNAL_ATTRIBUTE_SOURCE_H
#define SYSFSREADER_INTERNAL_ATTRIBUTE_SOURCE_H

#include <utility>

#include "libsysfs.h"
#include "sysfs_io.h"

namespace Quentor {
namespace LinuxEnum {
namespace detail {

class AttributeSource {
public:
    AttributeSource() = default;
    static AttributeSource FromLibsysfs(dlist* list)
    {
        AttributeSource source;
        source.m_list = list;
        return source;
    }
    static AttributeSource FromRecords(AttributeRecords records)
    {
        AttributeSource source;
        source.m_records = std::move(records);
        return source;
    }

    // True when there is no attribute list at all.
    bool Empty() const { return m_list == nullptr && m_records.empty(); }

    // Calls fn with every attribute in list order, as a sysfs_attribute* or as
    // a const AttributeRecord&.
    template <typename Fn>
    void ForEachAttribute(Fn&& fn) const
    {
        if (m_list != nullptr)
            ForEach<sysfs_attribute>(m_list, fn);
        for (const AttributeRecord& record : m_records)
            fn(record);
    }

private:
    dlist* m_list = nullptr;
    AttributeRecords m_records;
};

// Runs a query body; an exception (memory exhaustion is the only one the
// library can meet) becomes the given result code instead of leaving the
// library.  Every handle the body held is closed by its owner on the way out.
template <typename Body>
int NoThrow(int onFailure, Body&& body) noexcept
{
    try {
        return body();
    } catch (...) {
        return onFailure;
    }
}

}  // namespace detail
}  // namespace LinuxEnum
}  // namespace Quentor

#endif

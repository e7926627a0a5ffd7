// SPDX-License-Identifier: MIT
// The guard around every query body (internal).
#ifndef SYSFSREADER_INTERNAL_NO_THROW_H
#define SYSFSREADER_INTERNAL_NO_THROW_H

namespace Quentor {
namespace LinuxEnum {
namespace detail {

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

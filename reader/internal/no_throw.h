// SPDX-License-Identifier: MIT
// The guard around every query body (internal).
#ifndef SYSFSREADER_INTERNAL_NO_THROW_H
#define SYSFSREADER_INTERNAL_NO_THROW_H

#include <cerrno>
#include <new>
#include <stdexcept>
#include <system_error>

namespace Quentor {
namespace LinuxEnum {
namespace detail {

// The errno an exception stands for: memory exhaustion (the only one the
// library itself can meet) is ENOMEM.
inline int ErrnoOfException(std::exception_ptr thrown) noexcept
{
    try {
        std::rethrow_exception(thrown);
    } catch (const std::bad_alloc&) {
        return ENOMEM;
    } catch (const std::length_error&) {
        return ENOMEM;  // a size no allocation could meet
    } catch (const std::system_error& failure) {
        return failure.code().value() != 0 ? failure.code().value() : EIO;
    } catch (...) {
        return EIO;
    }
}

// Runs a query body; an exception becomes the given result code instead of
// leaving the library, and its errno is put in thrown (left alone when the
// body returns).  Every handle the body held is closed by its owner on the
// way out.
template <typename Body>
int NoThrow(int onFailure, int& thrown, Body&& body) noexcept
{
    try {
        return body();
    } catch (...) {
        thrown = ErrnoOfException(std::current_exception());
        return onFailure;
    }
}

}  // namespace detail
}  // namespace LinuxEnum
}  // namespace Quentor

#endif

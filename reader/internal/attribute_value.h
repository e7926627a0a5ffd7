// SPDX-License-Identifier: MIT
// How an attribute's content becomes the value a query stores (internal).
#ifndef SYSFSREADER_INTERNAL_ATTRIBUTE_VALUE_H
#define SYSFSREADER_INTERNAL_ATTRIBUTE_VALUE_H

#include <cstddef>
#include <string>

namespace Quentor {
namespace LinuxEnum {
namespace detail {

// The stored value of an attribute whose content is the first length bytes at
// value: those bytes as they are, NUL bytes included, less one final newline
// (the one sysfs ends text attributes with; a newline inside stays).  Content
// that was not read (null) or starts with NUL is stored as the empty string.
std::string AttributeValue(const char* value, std::size_t length);

}  // namespace detail
}  // namespace LinuxEnum
}  // namespace Quentor

#endif

// SPDX-License-Identifier: MIT
#include "attribute_value.h"

namespace Quentor {
namespace LinuxEnum {
namespace detail {

std::string AttributeValue(const char* value, std::size_t length)
{
    std::string content;
    if (value != nullptr && length > 0 && value[0] != '\0') {
        // Taken as bytes: a NUL inside the content stays part of it.
        content.assign(value, length);
        if (content.back() == '\n')
            content.pop_back();
    }
    return content;
}

}  // namespace detail
}  // namespace LinuxEnum
}  // namespace Quentor

// SPDX-License-Identifier: MIT
// Writing a whole piece of text to a descriptor.
#ifndef SYSFSREADER_BASE_WRITE_ALL_H
#define SYSFSREADER_BASE_WRITE_ALL_H

#include <cstddef>
#include <string_view>

namespace base {

// Writes all of content to fd, again after a short write or an interrupted
// one.  Returns 0, or the errno of the write that failed (EIO for one that
// wrote nothing without saying why); *written, when given, is set to how much
// of content went out either way.
int WriteAll(int fd, std::string_view content, std::size_t* written = nullptr);

}  // namespace base

#endif

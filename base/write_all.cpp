// SPDX-License-Identifier: MIT
#include "write_all.h"

#include <unistd.h>

#include <cerrno>

namespace base {

int WriteAll(int fd, std::string_view content, std::size_t* written)
{
    std::size_t done = 0;
    int error = 0;
    while (done < content.size()) {
        const ssize_t n = write(fd, content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            error = n < 0 ? errno : EIO;
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    if (written != nullptr)
        *written = done;
    return error;
}

}  // namespace base

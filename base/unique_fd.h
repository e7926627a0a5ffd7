// SPDX-License-Identifier: MIT
// A file descriptor with one owner, closed when the owner goes; header-only,
// for the library and the programs alike.  Taken on the line that opens the
// descriptor, so that no error path and no exception between the open and its
// use can leak it.
#ifndef SYSFSREADER_BASE_UNIQUE_FD_H
#define SYSFSREADER_BASE_UNIQUE_FD_H

#include <unistd.h>

#include <cerrno>
#include <utility>

namespace base {

class UniqueFd {
public:
    UniqueFd() = default;
    // Takes fd, which may be -1 (the failed open whose errno the caller reads
    // next: nothing here touches errno).
    explicit UniqueFd(int fd) noexcept : m_fd(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd&& other) noexcept : m_fd(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept
    {
        reset(other.release());
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int Get() const noexcept { return m_fd; }
    explicit operator bool() const noexcept { return m_fd >= 0; }
    // Hands the descriptor on; this owner then holds none.
    int release() noexcept { return std::exchange(m_fd, -1); }
    // Closes what it held and takes fd; errno stays what it was.
    void reset(int fd = -1) noexcept
    {
        const int saved = errno;
        if (m_fd >= 0)
            close(m_fd);
        m_fd = fd;
        errno = saved;
    }

private:
    int m_fd = -1;
};

}  // namespace base

#endif

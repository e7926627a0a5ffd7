// SPDX-License-Identifier: MIT
// A directory of the tree: its entries, its links and its subdirectories.
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>

#include "base/path_text.h"
#include "open_at.h"
#include "sysfs_io.h"

namespace Quentor {
namespace LinuxEnum {
namespace detail {
namespace sysfs {

std::string_view Dir::Name() const { return base::BaseName(m_path); }

Result<Dir> Dir::Subdir(std::string_view name) const
{
    if (!IsComponent(name))
        return std::nullopt;
    const std::string entry(name);
    const std::string path = base::JoinPath(m_path, name);
    UniqueFd fd(OpenDirectoryAt(Raw(), entry));
    if (!fd)
        return Missing<Dir>(errno == ELOOP ? ENOTDIR : errno, path);  // a link is no subdirectory
    return Dir(std::make_shared<const UniqueFd>(std::move(fd)), path);
}

std::vector<Entry> Dir::Entries() const
{
    std::vector<Entry> entries;
    // A directory held open for reading is listed through its own
    // descriptor, from its start (an earlier listing moved the offset that
    // copies of it share); one held O_PATH (it may not be read, or it is the
    // mount's root) is opened again for the listing.
    UniqueFd reopened;
    int fd = Raw();
    if (lseek(fd, 0, SEEK_SET) != 0) {
        reopened.reset(openat(Raw(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!reopened) {
            if (!IsAbsence(errno))
                NoteFailure(errno, m_path);
            return entries;
        }
        fd = reopened.Get();
    }
    // The directory is read with getdents64 itself: a DIR stream would cost
    // an fstat and two fcntl calls more for each directory, and a walk over
    // thousands of devices lists several directories for each.
    // Allocated for each listing, uninitialised: a buffer kept by the thread
    // would need a destructor registered, and the C library aborts the
    // process when it has no memory for that.
    constexpr std::size_t kBufferSize = 32 * 1024;
    std::unique_ptr<char[]> buffer(new char[kBufferSize]);
    for (;;) {
        const ssize_t n = getdents64(fd, buffer.get(), kBufferSize);
        if (n == 0)
            break;
        if (n < 0) {
            if (!IsAbsence(errno))
                NoteFailure(errno, m_path);
            break;
        }
        for (ssize_t offset = 0; offset < n;) {
            const auto* entry = reinterpret_cast<const dirent64*>(buffer.get() + offset);
            offset += entry->d_reclen;
            std::string_view name(entry->d_name);
            if (name != "." && name != "..")
                entries.push_back({std::string(name), entry->d_type});
        }
    }
    std::sort(entries.begin(), entries.end(),
              [](const Entry& a, const Entry& b) { return a.name < b.name; });
    return entries;
}

Result<std::string> Dir::LinkText(std::string_view name) const
{
    if (!IsComponent(name))
        return std::nullopt;
    char target[PATH_MAX];
    const ssize_t length = readlinkat(Raw(), std::string(name).c_str(), target, sizeof target);
    if (length < 0) {
        // EINVAL: there is an entry of that name, and it is no link.
        if (errno == EINVAL)
            return std::nullopt;
        return Missing<std::string>(errno, base::JoinPath(m_path, name));
    }
    // The kernel refuses to make an empty link; a text that fills the buffer
    // may have been cut, and a cut path leads somewhere else.
    if (length == 0)
        return std::nullopt;
    if (static_cast<std::size_t>(length) >= sizeof target)
        return Missing<std::string>(ENAMETOOLONG, base::JoinPath(m_path, name));
    return std::string(target, static_cast<std::size_t>(length));
}

bool Dir::IsSubdir(const Entry& entry) const
{
    if (entry.type != DT_UNKNOWN)
        return entry.type == DT_DIR;
    struct stat st;
    if (fstatat(Raw(), entry.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (!IsAbsence(errno))
            NoteFailure(errno, base::JoinPath(m_path, entry.name));
        return false;
    }
    return S_ISDIR(st.st_mode);
}

}  // namespace sysfs
}  // namespace detail
}  // namespace LinuxEnum
}  // namespace Quentor

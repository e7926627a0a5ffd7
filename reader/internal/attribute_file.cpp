// SPDX-License-Identifier: MIT
// Attribute files read: the regular files directly in a directory, each at
// most one page, as libsysfs reads them.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>

#include "base/path_text.h"
#include "sysfs_io.h"

namespace Quentor {
namespace LinuxEnum {
namespace detail {
namespace sysfs {

namespace {

// Absent: there is no file of that name (ENOENT when it is opened).  Gone:
// its device says it is gone (ENODEV): the object it belongs to is going
// away.  A file listed and then absent is gone too.
enum class FileRead { Read, NotReadable, Failed, Absent, Gone };

// A file may refuse to be read (the kernel's EIO, or ENOTCONN during
// recovery): it is left out.  Running out of descriptors or memory says
// nothing of the file; that is the query's failure.
FileRead Refused(int error, std::string_view dirPath, std::string_view name)
{
    if (IsExhaustion(error))
        NoteFailure(error, base::JoinPath(dirPath, name));
    return FileRead::Failed;
}

// Reads one attribute file of a directory: at most one page, as libsysfs does
// (sysfs never delivers more).  A file whose owner may not read it is not read
// at all (NotReadable): a root process could otherwise read what the kernel
// marks write-only, and sysfs refuses such an open even to root.
FileRead ReadAttributeFile(int dirFd, std::string_view dirPath, const std::string& name,
                           std::string& content)
{
    // O_NONBLOCK: should the file have been swapped for a FIFO since it was
    // listed, opening it must not wait for a writer.  O_NOFOLLOW: an attribute
    // is a regular file, never a link to one elsewhere.
    UniqueFd fd(openat(dirFd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat st;
    if (!fd) {
        const int error = errno;
        if (error == ENOENT)
            return FileRead::Absent;
        if (error == ENODEV)
            return FileRead::Gone;
        bool writeOnly = (error == EACCES || error == EPERM) &&
                         fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                         S_ISREG(st.st_mode) && !(st.st_mode & S_IRUSR);
        return writeOnly ? FileRead::NotReadable : Refused(error, dirPath, name);
    }
    if (fstat(fd.Get(), &st) != 0)
        return Refused(errno, dirPath, name);
    if (!S_ISREG(st.st_mode))
        return FileRead::Failed;
    if (!(st.st_mode & S_IRUSR))
        return FileRead::NotReadable;
    static const long pageSize = sysconf(_SC_PAGESIZE) > 0 ? sysconf(_SC_PAGESIZE) : 4096;
    // Read into a page on the stack, then copied at its length: a value is
    // a few bytes, and a page allocated and cleared for each file cost more
    // than the rest of the read.  (Not a page kept by the thread: the C
    // library aborts the process when it has no memory to register such a
    // page's destructor.)  Machines with larger pages read into the heap.
    constexpr std::size_t kStackPage = 4096;
    char stackPage[kStackPage];
    std::unique_ptr<char[]> heapPage;
    const std::size_t pageBytes = static_cast<std::size_t>(pageSize);
    if (pageBytes > kStackPage)
        heapPage.reset(new char[pageBytes]);
    char* page = heapPage ? heapPage.get() : stackPage;
    std::size_t filled = 0;
    while (filled < pageBytes) {
        const std::size_t wanted = pageBytes - filled;
        ssize_t n = read(fd.Get(), page + filled, wanted);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return errno == ENODEV ? FileRead::Gone : Refused(errno, dirPath, name);
        filled += static_cast<std::size_t>(n);
        // A regular file reads short only at its end: no second call needed.
        if (static_cast<std::size_t>(n) < wanted)
            break;
    }
    content.assign(page, filled);
    return FileRead::Read;
}

}  // namespace

AttributeRecords Dir::Attributes(bool* vanishing) const
{
    AttributeRecords attributes;
    for (Entry& entry : Entries()) {
        if (entry.type != DT_REG && entry.type != DT_UNKNOWN)
            continue;
        AttributeRecord record;
        // The open itself refuses anything but a regular file (see
        // ReadAttributeFile), so an entry of unknown type needs no stat.
        FileRead outcome = ReadAttributeFile(Raw(), m_path, entry.name, record.value);
        if (outcome == FileRead::Absent)
            outcome = FileRead::Gone;
        if (outcome == FileRead::Gone && vanishing != nullptr)
            *vanishing = true;
        if (outcome != FileRead::Read && outcome != FileRead::NotReadable)
            continue;
        record.name = std::move(entry.name);
        record.read = outcome == FileRead::Read;
        attributes.push_back(std::move(record));
    }
    return attributes;
}

AttributeRecords Dir::NamedAttributes(const std::vector<std::string>& names, bool* vanishing) const
{
    // In name order and each once, as a listing would give them.
    std::vector<const std::string*> wanted;
    wanted.reserve(names.size());
    for (const std::string& name : names)
        wanted.push_back(&name);
    std::sort(wanted.begin(), wanted.end(),
              [](const std::string* a, const std::string* b) { return *a < *b; });
    wanted.erase(std::unique(wanted.begin(), wanted.end(),
                             [](const std::string* a, const std::string* b) { return *a == *b; }),
                 wanted.end());
    AttributeRecords attributes;
    for (const std::string* name : wanted) {
        AttributeRecord record;
        // A name asked for that is not there is no sign of anything going
        // away: most devices lack some attribute of another's.
        const FileRead outcome = ReadAttributeFile(Raw(), m_path, *name, record.value);
        if (outcome == FileRead::Gone && vanishing != nullptr)
            *vanishing = true;
        if (outcome != FileRead::Read && outcome != FileRead::NotReadable)
            continue;
        record.name = *name;
        record.read = outcome == FileRead::Read;
        attributes.push_back(std::move(record));
    }
    return attributes;
}

}  // namespace sysfs
}  // namespace detail
}  // namespace LinuxEnum
}  // namespace Quentor

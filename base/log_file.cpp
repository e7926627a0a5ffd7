// SPDX-License-Identifier: MIT
#include "log_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ext/stdio_filebuf.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "trusted_path.h"
#include "unique_fd.h"

namespace base {

namespace {

constexpr int kOpenFlags = O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

// The log writes to fd from now on; the stream's buffer owns it.
LogRefusal Adopt(std::ofstream& log, UniqueFd fd)
{
    LogRefusal refusal;
    __gnu_cxx::stdio_filebuf<char> adopted(fd.Get(), std::ios::out);
    if (!adopted.is_open()) {
        refusal.why = "cannot attach a stream";
        return refusal;
    }
    fd.release();  // the stream's buffer closes it now
    *log.rdbuf() = std::move(adopted);
    return refusal;
}

}  // namespace

// Each is filled with /dev/null opened in the mode that makes its use fail
// (read only for the output descriptors), so that writing to a closed
// standard output still fails and is reported.
void KeepStandardDescriptors()
{
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        int filler = open("/dev/null", fd == 0 ? O_WRONLY : O_RDONLY);
        if (filler >= 0 && filler != fd)
            close(filler);
    }
}

// The name is resolved by the walk of trusted_path.h, then opened once from
// the directory it ends at, by an open that refuses a link; everything after
// works on that descriptor: the checks, the truncation and the writing.
// Opening the stream by name again could meet a link swapped in after the
// check, and reopening the descriptor through /proc fails where /proc is not
// mounted.  An existing file is opened without O_CREAT, so the kernel's rules
// for creating in sticky directories do not decide for us, and a new one is
// created with O_EXCL, so a file that appears in between is looked at again
// rather than taken.  O_NONBLOCK keeps a FIFO that nobody reads from holding
// the run up: it is refused (ENXIO) rather than waited on.
//
// The standard file stream cannot adopt a descriptor, but its file buffer can
// be move-assigned, and libstdc++'s stdio_filebuf is a file buffer built on a
// descriptor: the stream's own buffer takes it over, so that is_open() holds
// and closing the stream closes the descriptor.
LogRefusal OpenLog(std::ofstream& log, const char* path)
{
    LogRefusal refusal;
    UniqueFd fd;
    if (const int stream = StandardStreamNamed(path); stream >= 0) {
        // A copy, so that closing the log leaves the stream open.
        fd.reset(fcntl(stream, F_DUPFD_CLOEXEC, 3));
        if (!fd) {
            refusal.why = std::strerror(errno);
            return refusal;
        }
        return Adopt(log, std::move(fd));
    }
    PathEnd end;
    if (int error = WalkPath(path, PathTrust::Destination, false, end, refusal.why)) {
        if (refusal.why.empty())
            refusal.why = std::strerror(error);
        // Refused, it is worth a word; a name that leads nowhere is not.
        refusal.cannotCreate = error != EPERM;
        return refusal;
    }
    const int directory = end.directory.Get();
    const char* name = end.name.c_str();
    for (int attempt = 0; attempt < 3 && fd.Get() < 0; ++attempt) {
        fd.reset(openat(directory, name, kOpenFlags));
        if (fd.Get() >= 0 || errno != ENOENT)
            break;
        fd.reset(openat(directory, name, kOpenFlags | O_CREAT | O_EXCL, 0600));
        if (fd.Get() < 0 && errno != EEXIST) {
            refusal.cannotCreate = true;
            break;
        }
    }
    if (fd.Get() < 0) {
        refusal.why = errno == ELOOP   ? "it is a symbolic link"
                      : errno == ENXIO ? "no process reads it (a FIFO) or it has no device behind it"
                                       : std::strerror(errno);
        return refusal;
    }
    struct stat st;
    if (fstat(fd.Get(), &st) != 0) {
        refusal.why = std::strerror(errno);
        return refusal;
    }
    // A device or a FIFO is written through, as tee would, never truncated.
    const bool through = S_ISCHR(st.st_mode) || S_ISFIFO(st.st_mode);
    if (!through && (!S_ISREG(st.st_mode) || st.st_nlink != 1)) {
        refusal.why = "not a regular file with a single link";
        return refusal;
    }
    // Root truncating and filling a file that another user prepared would
    // write the trace where that user reads it.
    if (S_ISREG(st.st_mode) && st.st_uid != geteuid()) {
        refusal.why = "it belongs to another user (uid " + std::to_string(st.st_uid) + ")";
        return refusal;
    }
    refusal.why = DistrustFile(st);
    if (!refusal.why.empty())
        return refusal;
    if (!through && ftruncate(fd.Get(), 0) != 0) {
        refusal.why = std::strerror(errno);
        return refusal;
    }
    // Written from now on like any file: a FIFO whose reader is slow waits.
    const int flags = fcntl(fd.Get(), F_GETFL);
    if (flags < 0 || fcntl(fd.Get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
        refusal.why = std::strerror(errno);
        return refusal;
    }
    return Adopt(log, std::move(fd));
}

}  // namespace base

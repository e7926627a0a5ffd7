// SPDX-License-Identifier: MIT
#include "log_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ext/stdio_filebuf.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "unique_fd.h"

namespace base {

namespace {

constexpr int kOpenFlags = O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

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

// The name is resolved once per open, by an open that refuses a link;
// everything after works on that descriptor: the checks, the truncation and
// the writing.  Opening the stream by name again could meet a link swapped in
// after the check, and reopening the descriptor through /proc fails where
// /proc is not mounted.  An existing file is opened without O_CREAT, so the
// kernel's rules for creating in sticky directories do not decide for us, and
// a new one is created with O_EXCL, so a file that appears in between is
// looked at again rather than taken.  O_NONBLOCK keeps a FIFO planted there
// from holding the run up.
//
// The standard file stream cannot adopt a descriptor, but its file buffer can
// be move-assigned, and libstdc++'s stdio_filebuf is a file buffer built on a
// descriptor: the stream's own buffer takes it over, so that is_open() holds
// and closing the stream closes the descriptor.
LogRefusal OpenLog(std::ofstream& log, const char* path)
{
    LogRefusal refusal;
    UniqueFd fd;
    for (int attempt = 0; attempt < 3 && fd.Get() < 0; ++attempt) {
        fd.reset(open(path, kOpenFlags));
        if (fd.Get() >= 0 || errno != ENOENT)
            break;
        fd.reset(open(path, kOpenFlags | O_CREAT | O_EXCL, 0600));
        if (fd.Get() < 0 && errno != EEXIST) {
            refusal.cannotCreate = true;
            break;
        }
    }
    if (fd.Get() < 0) {
        refusal.why = errno == ELOOP ? "it is a symbolic link" : std::strerror(errno);
        return refusal;
    }
    struct stat st;
    if (fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1) {
        refusal.why = "not a regular file with a single link";
        return refusal;
    }
    // Root truncating and filling a file that another user prepared would
    // write the trace where that user reads it.
    if (st.st_uid != geteuid()) {
        refusal.why = "it belongs to another user (uid " + std::to_string(st.st_uid) + ")";
        return refusal;
    }
    if (ftruncate(fd.Get(), 0) != 0) {
        refusal.why = std::strerror(errno);
        return refusal;
    }
    __gnu_cxx::stdio_filebuf<char> adopted(fd.Get(), std::ios::out);
    if (!adopted.is_open()) {
        refusal.why = "cannot attach a stream";
        return refusal;
    }
    fd.release();  // the stream's buffer closes it now
    *log.rdbuf() = std::move(adopted);
    return refusal;
}

}  // namespace base

// SPDX-License-Identifier: MIT
// Preloaded into iscsi-inventory by the tests of --prometheus=FILE, to stop a
// run at a chosen point of replacing the file and to take away what the file
// system or the machine may lack, without timing anything:
//   SHIM_SIGNAL=N SHIM_AT=fsync|renameat  the call sends signal N to the
//                                         process, then goes on
//   SHIM_NO_TMPFILE=1  an O_TMPFILE open fails with EOPNOTSUPP
//   SHIM_NO_LINK=1     linkat fails with ENOENT (no /proc, no right to link a
//                      descriptor)
//   SHIM_NO_LINK=descriptor  linkat of a descriptor (AT_EMPTY_PATH) fails so
//                      (kernels before 6.10 without CAP_DAC_READ_SEARCH)
// The interposed openat must not meet the header's fortified inline one.
#undef _FORTIFY_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>  // renameat
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

namespace {

template <typename Function>
Function* Next(const char* name)
{
    return reinterpret_cast<Function*>(dlsym(RTLD_NEXT, name));
}

void SignalAt(const char* call)
{
    const char* at = getenv("SHIM_AT");
    const char* signal = getenv("SHIM_SIGNAL");
    if (at != nullptr && signal != nullptr && std::strcmp(at, call) == 0)
        kill(getpid(), std::atoi(signal));
}

bool Set(const char* name, const char* to = "1")
{
    const char* value = getenv(name);
    return value != nullptr && std::strcmp(value, to) == 0;
}

}  // namespace

extern "C" {

int fsync(int fd)
{
    SignalAt("fsync");
    return Next<int(int)>("fsync")(fd);
}

int renameat(int olddirfd, const char* oldpath, int newdirfd, const char* newpath)
{
    SignalAt("renameat");
    return Next<int(int, const char*, int, const char*)>("renameat")(olddirfd, oldpath, newdirfd,
                                                                      newpath);
}

int linkat(int olddirfd, const char* oldpath, int newdirfd, const char* newpath, int flags)
{
    if (Set("SHIM_NO_LINK") || (Set("SHIM_NO_LINK", "descriptor") && (flags & AT_EMPTY_PATH) != 0)) {
        errno = ENOENT;
        return -1;
    }
    return Next<int(int, const char*, int, const char*, int)>("linkat")(olddirfd, oldpath,
                                                                          newdirfd, newpath, flags);
}

}  // extern "C"

namespace {

int OpenAt(const char* real, int dirfd, const char* path, int flags, std::va_list args)
{
    mode_t mode = 0;
    if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE)
        mode = va_arg(args, mode_t);
    if ((flags & O_TMPFILE) == O_TMPFILE && Set("SHIM_NO_TMPFILE")) {
        errno = EOPNOTSUPP;
        return -1;
    }
    return Next<int(int, const char*, int, ...)>(real)(dirfd, path, flags, mode);
}

}  // namespace

extern "C" {

// The program calls one or the other, as large file support has it.
int openat(int dirfd, const char* path, int flags, ...)
{
    std::va_list args;
    va_start(args, flags);
    int fd = OpenAt("openat", dirfd, path, flags, args);
    va_end(args);
    return fd;
}

int openat64(int dirfd, const char* path, int flags, ...)
{
    std::va_list args;
    va_start(args, flags);
    int fd = OpenAt("openat64", dirfd, path, flags, args);
    va_end(args);
    return fd;
}

}  // extern "C"

// SPDX-License-Identifier: MIT
#include "files/write_file.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <iterator>
#include <utility>
#include <vector>

#include "base/trusted_path.h"
#include "base/unique_fd.h"
#include "base/write_all.h"

namespace inventory {

namespace {

using base::UniqueFd;

// ---- The temporary name ----------------------------------------------------

// Short and of one length whatever the file's name, so that any name up to
// NAME_MAX can be replaced; hidden, and not ending in the collector's ".prom".
std::string TemporaryName()
{
    static const char kDigits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    std::uint64_t random = 0;
    if (getrandom(&random, sizeof random, GRND_NONBLOCK) != sizeof random)
        random = (static_cast<std::uint64_t>(getpid()) << 32) ^
                 static_cast<std::uint64_t>(time(nullptr)) ^ static_cast<std::uint64_t>(clock());
    std::string name = ".iscsi-inventory.";
    for (int i = 0; i < 10; ++i, random /= 36)
        name += kDigits[random % 36];
    return name + ".tmp";
}

// Every signal that can be held off is, while it lives: a signal sent then
// comes after, when no temporary name is left.
class SignalsHeld {
public:
    SignalsHeld()
    {
        sigset_t all;
        sigfillset(&all);
        sigprocmask(SIG_BLOCK, &all, &m_was);
    }
    ~SignalsHeld() { sigprocmask(SIG_SETMASK, &m_was, nullptr); }
    SignalsHeld(const SignalsHeld&) = delete;
    SignalsHeld& operator=(const SignalsHeld&) = delete;

private:
    sigset_t m_was;
};

// The named temporary file of the fallback, for the signal handler: set and
// cleared with the signals held.
volatile sig_atomic_t g_armed = 0;
int g_directory = -1;
char g_name[64];

// The signals that end a run by default and that a handler can catch.
constexpr int kEndingSignals[] = {SIGHUP, SIGINT,  SIGQUIT, SIGTERM, SIGPIPE,
                                  SIGALRM, SIGUSR1, SIGUSR2, SIGXFSZ};

extern "C" void RemoveTemporaryAndEnd(int signal)
{
    if (g_armed)
        unlinkat(g_directory, g_name, 0);
    // SA_RESETHAND has put the default action back: the signal ends the run
    // as it would have, once this handler returns.
    raise(signal);
}

// A file with a temporary name in directory, removed when the run ends by a
// signal or this goes out of scope before Keep().  Signals ignored stay so.
class NamedTemporary {
public:
    NamedTemporary(int directory, mode_t mode)
    {
        SignalsHeld held;
        struct sigaction action {};
        action.sa_handler = RemoveTemporaryAndEnd;
        action.sa_flags = SA_RESETHAND | SA_RESTART;
        sigfillset(&action.sa_mask);
        for (std::size_t i = 0; i < std::size(kEndingSignals); ++i) {
            sigaction(kEndingSignals[i], nullptr, &m_was[i]);
            if (m_was[i].sa_handler != SIG_IGN)
                sigaction(kEndingSignals[i], &action, nullptr);
        }
        for (int attempt = 0; attempt < 100; ++attempt) {
            m_name = TemporaryName();
            m_file.reset(openat(directory, m_name.c_str(),
                                O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
            if (m_file || errno != EEXIST)
                break;
        }
        m_error = m_file ? 0 : errno;
        if (m_file) {
            m_directory = directory;
            g_directory = directory;
            std::memcpy(g_name, m_name.c_str(), m_name.size() + 1);
            g_armed = 1;
        }
    }
    ~NamedTemporary()
    {
        SignalsHeld held;
        if (m_file && !m_kept)
            unlinkat(m_directory, m_name.c_str(), 0);
        g_armed = 0;
        for (std::size_t i = 0; i < std::size(kEndingSignals); ++i)
            sigaction(kEndingSignals[i], &m_was[i], nullptr);
    }
    NamedTemporary(const NamedTemporary&) = delete;
    NamedTemporary& operator=(const NamedTemporary&) = delete;

    int Error() const { return m_error; }
    int File() const { return m_file.Get(); }
    // Closes the file, for the error a file system may report only then.
    int Close()
    {
        int fd = m_file.release();
        return close(fd) != 0 ? errno : 0;
    }
    // Renames it over name in the same directory; kept from then on.
    int RenameOver(const std::string& name)
    {
        SignalsHeld held;
        if (renameat(m_directory, m_name.c_str(), m_directory, name.c_str()) != 0)
            return errno;
        m_kept = true;
        return 0;
    }

private:
    UniqueFd m_file;
    int m_directory = -1;
    std::string m_name;
    bool m_kept = false;
    int m_error = 0;
    struct sigaction m_was[std::size(kEndingSignals)];
};

// ---- Writing ---------------------------------------------------------------

// The content into fd as it is: a device or a pipe has no disk to flush to.
int WriteThrough(int fd, const std::function<int(const PieceWriter&)>& produce)
{
    int writeError = 0;
    const int produced = produce([&](std::string_view piece) {
        if (writeError == 0)
            writeError = base::WriteAll(fd, piece);
        return writeError;
    });
    return writeError != 0 ? writeError : produced;
}

// The content into fd, then to disk, so that a crash after the rename leaves
// the whole new file rather than an empty one.
int Fill(int fd, const std::function<int(const PieceWriter&)>& produce)
{
    if (int error = WriteThrough(fd, produce))
        return error;
    return fsync(fd) != 0 ? errno : 0;
}

int ReplaceThroughName(int directory, const std::string& name, mode_t mode,
                       const std::function<int(const PieceWriter&)>& produce)
{
    NamedTemporary temporary(directory, mode);
    if (temporary.Error() != 0)
        return temporary.Error();
    // The umask may have taken away what other users need to read it.
    if (fchmod(temporary.File(), mode) != 0)
        return errno;
    if (int error = Fill(temporary.File(), produce))
        return error;
    if (int error = temporary.Close())
        return error;
    return temporary.RenameOver(name);
}

// The anonymous file's content, read back for a named file.
int CopyFrom(int anonymous, const PieceWriter& write)
{
    std::vector<char> chunk(64 * 1024);
    for (off_t offset = 0;;) {
        ssize_t n = pread(anonymous, chunk.data(), chunk.size(), offset);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return errno;
        if (n == 0)
            return 0;
        if (int error = write(std::string_view(chunk.data(), static_cast<std::size_t>(n))))
            return error;
        offset += n;
    }
}

// Gives the anonymous file a temporary name: by its descriptor where the user
// may (CAP_DAC_READ_SEARCH), else through /proc.  ENOENT: neither can.
int Link(int file, int directory, const std::string& temporary)
{
    if (linkat(file, "", directory, temporary.c_str(), AT_EMPTY_PATH) == 0)
        return 0;
    if (errno != ENOENT && errno != EPERM)
        return errno;
    const std::string self = "/proc/self/fd/" + std::to_string(file);
    return linkat(AT_FDCWD, self.c_str(), directory, temporary.c_str(), AT_SYMLINK_FOLLOW) == 0
               ? 0
               : errno;
}

// Replaces name in directory with the content, whole (see the header).
int Replace(int directory, const std::string& name, mode_t mode,
            const std::function<int(const PieceWriter&)>& produce)
{
    UniqueFd file(openat(directory, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, mode));
    if (!file) {
        // A file system without anonymous files (or a kernel from before them).
        if (errno != EOPNOTSUPP && errno != EISDIR)
            return errno;
        if (int error = ReplaceThroughName(directory, name, mode, produce))
            return error;
        return 0;
    }
    if (fchmod(file.Get(), mode) != 0)
        return errno;
    if (int error = Fill(file.Get(), produce))
        return error;

    int error = EEXIST;
    bool cannotName = false;
    {
        // From the link to the rename, the only moment the file has a
        // temporary name: a signal waits until it is over.
        SignalsHeld held;
        std::string temporary;
        for (int attempt = 0; attempt < 100 && error == EEXIST; ++attempt) {
            temporary = TemporaryName();
            error = Link(file.Get(), directory, temporary);
        }
        cannotName = error == ENOENT;
        if (error == 0 &&
            renameat(directory, temporary.c_str(), directory, name.c_str()) != 0) {
            error = errno;
            unlinkat(directory, temporary.c_str(), 0);
        }
    }
    if (cannotName) {
        // No way to name it here (no /proc): the content goes again, from the
        // anonymous file, to a named one.
        error = ReplaceThroughName(directory, name, mode, [&file](const PieceWriter& write) {
            return CopyFrom(file.Get(), write);
        });
    }
    return error;
}

// Writes through the device or FIFO found at name, as tee would: opened for
// writing without creating or truncating anything, and written only if it is
// still what was judged.  A FIFO that no process reads is refused rather than
// waited on: a check run by a monitoring system must end.
int WriteThroughName(int directory, const std::string& name, const struct stat& found,
                     const std::function<int(const PieceWriter&)>& produce, std::string& why)
{
    why = base::DistrustFile(found);
    if (!why.empty())
        return EPERM;
    UniqueFd file(openat(directory, name.c_str(), O_WRONLY | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!file && errno == ENXIO && S_ISFIFO(found.st_mode))
        why = "no process reads the FIFO";
    struct stat opened;
    if (!file || fstat(file.Get(), &opened) != 0)
        return errno;
    if (opened.st_dev != found.st_dev || opened.st_ino != found.st_ino) {
        why = "it was replaced while it was opened";
        return EAGAIN;
    }
    // Written from now on like any file: a reader that is slow is waited for.
    const int flags = fcntl(file.Get(), F_GETFL);
    if (flags < 0 || fcntl(file.Get(), F_SETFL, flags & ~O_NONBLOCK) != 0)
        return errno;
    return WriteThrough(file.Get(), produce);
}

}  // namespace

int WriteFile(const std::string& path, mode_t mode, base::PathTrust trust,
              const std::function<int(const PieceWriter&)>& produce, std::string& why)
{
    why.clear();
    auto result = [&why](int error) {
        if (error != 0 && why.empty())
            why = std::strerror(error);
        return error;
    };
    if (const int stream = base::StandardStreamNamed(path); stream >= 0)
        return result(WriteThrough(stream, produce));
    base::PathEnd end;
    if (int error = base::WalkPath(path, trust, false, end, why))
        return result(error);
    const int directory = end.directory.Get();
    struct stat found;
    if (fstatat(directory, end.name.c_str(), &found, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno != ENOENT)
            return result(errno);
    } else if (S_ISCHR(found.st_mode) || S_ISFIFO(found.st_mode)) {
        return result(WriteThroughName(directory, end.name, found, produce, why));
    } else if (S_ISSOCK(found.st_mode)) {
        why = "it is a socket, which no file can be written to";
        return ENXIO;
    } else if (S_ISBLK(found.st_mode)) {
        why = "it is a block device, never written over";
        return EPERM;
    } else if (S_ISDIR(found.st_mode)) {
        return result(EISDIR);
    } else if (S_ISREG(found.st_mode)) {
        why = base::DistrustFile(found);
        if (!why.empty())
            return EPERM;
    }
    return result(Replace(directory, end.name, mode, produce));
}

}  // namespace inventory

// SPDX-License-Identifier: MIT
#include "replace_file.h"

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <deque>
#include <iterator>
#include <utility>
#include <vector>

#include "base/path_text.h"
#include "base/unique_fd.h"
#include "base/write_all.h"

namespace inventory {

namespace {

using base::JoinPath;
using base::UniqueFd;

// As many links as the kernel follows in one path.
constexpr int kMaxLinks = 40;

// ---- The walk to the directory ---------------------------------------------

// The components still to walk: "." names nothing to open.
std::deque<std::string> Components(std::string_view path)
{
    std::deque<std::string> components;
    for (std::string_view component : base::PathComponents(path))
        if (component != ".")
            components.emplace_back(component);
    return components;
}

// Why the link (link, held by the directory open at holder) may have been
// made by someone other than root or the user running; empty when it cannot.
std::string Distrust(int holder, const struct stat& link)
{
    const uid_t me = geteuid();
    auto trusted = [me](uid_t uid) { return uid == 0 || uid == me; };
    if (!trusted(link.st_uid))
        return "it belongs to uid " + std::to_string(link.st_uid);
    struct stat directory;
    if (fstat(holder, &directory) != 0)
        return std::strerror(errno);
    if (!trusted(directory.st_uid))
        return "the directory that holds it belongs to uid " + std::to_string(directory.st_uid);
    if ((directory.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        return "the directory that holds it is writable by others";
    return {};
}

// Opens (O_PATH) the directory that holds path's last component, which goes to
// name.  Each component is opened from the directory before it and never
// through a link; a link is read and followed here, when it is trusted.
int OpenHolder(const std::string& path, UniqueFd& directory, std::string& name, std::string& why)
{
    if (path.empty())
        return ENOENT;
    // "dir/" and "dir/." name the directory, never a file in it.
    const std::string_view last = base::BaseName(path);
    if (last.empty() || last == "." || last == "..")
        return EISDIR;
    std::deque<std::string> pending = Components(path);
    name = pending.back();
    pending.pop_back();
    const bool absolute = path.front() == '/';
    directory.reset(open(absolute ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!directory)
        return errno;
    std::string shown = absolute ? "/" : "";  // the directory, for a message
    int links = 0;
    while (!pending.empty()) {
        const std::string component = std::move(pending.front());
        pending.pop_front();
        UniqueFd next(openat(directory.Get(), component.c_str(),
                             O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (next) {
            directory = std::move(next);
            shown = JoinPath(shown, component);
            continue;
        }
        if (errno != ENOTDIR && errno != ELOOP)
            return errno;
        // Perhaps a link: opened itself, so that its owner and its target
        // are those of one inode whatever is renamed meanwhile.
        UniqueFd link(openat(directory.Get(), component.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        struct stat linkStat;
        if (!link || fstat(link.Get(), &linkStat) != 0)
            return errno;
        if (!S_ISLNK(linkStat.st_mode))
            return ENOTDIR;
        std::string distrust = Distrust(directory.Get(), linkStat);
        if (!distrust.empty()) {
            why = "not following the symbolic link '" + JoinPath(shown, component) + "' (" +
                  distrust + ")";
            return EPERM;
        }
        if (++links > kMaxLinks)
            return ELOOP;
        std::vector<char> target(PATH_MAX);
        ssize_t length = readlinkat(link.Get(), "", target.data(), target.size());
        if (length < 0)
            return errno;
        if (length == 0 || static_cast<std::size_t>(length) == target.size())
            return length == 0 ? ENOENT : ENAMETOOLONG;
        const std::string_view text(target.data(), static_cast<std::size_t>(length));
        std::deque<std::string> parts = Components(text);
        pending.insert(pending.begin(), parts.begin(), parts.end());
        if (text.front() == '/') {
            directory.reset(open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
            if (!directory)
                return errno;
            shown = "/";
        }
    }
    return 0;
}

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

// The content into fd, then to disk, so that a crash after the rename leaves
// the whole new file rather than an empty one.
int Fill(int fd, const std::function<int(const PieceWriter&)>& produce)
{
    int writeError = 0;
    const int produced = produce([&](std::string_view piece) {
        if (writeError == 0)
            writeError = base::WriteAll(fd, piece);
        return writeError;
    });
    if (writeError != 0)
        return writeError;
    if (produced != 0)
        return produced;
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

}  // namespace

int ReplaceFile(const std::string& path, mode_t mode,
                const std::function<int(const PieceWriter&)>& produce, std::string& why)
{
    why.clear();
    auto fail = [&why](int error) {
        if (why.empty())
            why = std::strerror(error);
        return error;
    };
    UniqueFd directory;
    std::string name;
    if (int error = OpenHolder(path, directory, name, why))
        return fail(error);

    UniqueFd file(openat(directory.Get(), ".", O_TMPFILE | O_RDWR | O_CLOEXEC, mode));
    if (!file) {
        // A file system without anonymous files (or a kernel from before them).
        if (errno != EOPNOTSUPP && errno != EISDIR)
            return fail(errno);
        if (int error = ReplaceThroughName(directory.Get(), name, mode, produce))
            return fail(error);
        return 0;
    }
    if (fchmod(file.Get(), mode) != 0)
        return fail(errno);
    if (int error = Fill(file.Get(), produce))
        return fail(error);

    int error = EEXIST;
    bool cannotName = false;
    {
        // From the link to the rename, the only moment the file has a
        // temporary name: a signal waits until it is over.
        SignalsHeld held;
        std::string temporary;
        for (int attempt = 0; attempt < 100 && error == EEXIST; ++attempt) {
            temporary = TemporaryName();
            error = Link(file.Get(), directory.Get(), temporary);
        }
        cannotName = error == ENOENT;
        if (error == 0 &&
            renameat(directory.Get(), temporary.c_str(), directory.Get(), name.c_str()) != 0) {
            error = errno;
            unlinkat(directory.Get(), temporary.c_str(), 0);
        }
    }
    if (cannotName) {
        // No way to name it here (no /proc): the content goes again, from the
        // anonymous file, to a named one.
        error = ReplaceThroughName(directory.Get(), name, mode, [&file](const PieceWriter& write) {
            return CopyFrom(file.Get(), write);
        });
    }
    if (error != 0)
        return fail(error);
    return 0;
}

}  // namespace inventory

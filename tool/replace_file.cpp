// SPDX-License-Identifier: MIT
#include "replace_file.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <ctime>
#include <utility>

namespace inventory {

namespace {

class Descriptor {
public:
    explicit Descriptor(int fd) : m_fd(fd) {}
    ~Descriptor()
    {
        if (m_fd >= 0)
            close(m_fd);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int Get() const { return m_fd; }
    // Closes now, for the error a file system may report only then.
    int Close()
    {
        int fd = std::exchange(m_fd, -1);
        return fd >= 0 && close(fd) != 0 ? errno : 0;
    }

private:
    int m_fd;
};

// The temporary file's name until it is renamed; removed unless kept.
class Temporary {
public:
    Temporary(int directory, std::string name) : m_directory(directory), m_name(std::move(name)) {}
    ~Temporary()
    {
        if (!m_kept) {
            int saved = errno;
            unlinkat(m_directory, m_name.c_str(), 0);
            errno = saved;
        }
    }
    Temporary(const Temporary&) = delete;
    Temporary& operator=(const Temporary&) = delete;
    const std::string& Name() const { return m_name; }
    void Keep() { m_kept = true; }

private:
    int m_directory;
    std::string m_name;
    bool m_kept = false;
};

std::string Suffix()
{
    static const char kDigits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    std::uint64_t random = 0;
    if (getrandom(&random, sizeof random, GRND_NONBLOCK) != sizeof random)
        random = (static_cast<std::uint64_t>(getpid()) << 32) ^ static_cast<std::uint64_t>(time(nullptr));
    std::string suffix;
    for (int i = 0; i < 10; ++i, random /= 36)
        suffix += kDigits[random % 36];
    return suffix;
}

int WriteAll(int fd, std::string_view content)
{
    while (!content.empty()) {
        ssize_t written = write(fd, content.data(), content.size());
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return written < 0 ? errno : EIO;
        content.remove_prefix(static_cast<std::size_t>(written));
    }
    return 0;
}

}  // namespace

int ReplaceFile(const std::string& path, std::string_view content, mode_t mode)
{
    return ReplaceFile(path, mode, [content](const PieceWriter& write) { return write(content); });
}

int ReplaceFile(const std::string& path, mode_t mode,
                const std::function<int(const PieceWriter&)>& produce)
{
    std::size_t slash = path.rfind('/');
    const std::string directoryName =
        slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (name.empty())
        return path.empty() ? ENOENT : EISDIR;
    Descriptor directory(open(directoryName.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (directory.Get() < 0)
        return errno;

    // Hidden, and not ending in the collector's ".prom": never read as
    // metrics, even while it is being written.
    int fd = -1;
    std::string temporaryName;
    for (int attempt = 0; fd < 0 && attempt < 100; ++attempt) {
        temporaryName = "." + name + ".tmp" + Suffix();
        fd = openat(directory.Get(), temporaryName.c_str(),
                    O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        if (fd < 0 && errno != EEXIST)
            return errno;
    }
    if (fd < 0)
        return EEXIST;
    Descriptor file(fd);
    Temporary temporary(directory.Get(), temporaryName);
    // The umask may have taken away what other users need to read it.
    if (fchmod(file.Get(), mode) != 0)
        return errno;
    int writeError = 0;
    const int produced = produce([&](std::string_view piece) {
        if (writeError == 0)
            writeError = WriteAll(file.Get(), piece);
        return writeError;
    });
    if (writeError != 0)
        return writeError;
    if (produced != 0)
        return produced;
    // On disk before the rename, so that a crash leaves the old file or the
    // whole new one rather than an empty one.
    if (fsync(file.Get()) != 0)
        return errno;
    if (int error = file.Close())
        return error;
    if (renameat(directory.Get(), temporary.Name().c_str(), directory.Get(), name.c_str()) != 0)
        return errno;
    temporary.Keep();
    return 0;
}

}  // namespace inventory

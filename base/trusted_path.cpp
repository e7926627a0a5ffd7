// SPDX-License-Identifier: MIT
#include "trusted_path.h"

#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <cerrno>
#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "path_text.h"

namespace base {

namespace {

// As many links as the kernel follows in one path.
constexpr int kMaxLinks = 40;

bool TrustedOwner(uid_t uid)
{
    return uid == 0 || uid == geteuid();
}

// Others may write it, and replace what it holds: group or other write
// without the sticky bit.
bool OthersReplaceIn(const struct stat& directory)
{
    return (directory.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (directory.st_mode & S_ISVTX) == 0;
}

std::string ShownDirectory(const std::string& shown)
{
    return shown.empty() ? "." : shown;
}

// Why the directory is not trusted, shown by name; empty when it is.
std::string DirectoryDistrust(const struct stat& directory, const std::string& shown)
{
    if (!TrustedOwner(directory.st_uid))
        return "the directory '" + ShownDirectory(shown) + "' belongs to another user (uid " +
               std::to_string(directory.st_uid) + ")";
    if (OthersReplaceIn(directory))
        return "the directory '" + ShownDirectory(shown) + "' is writable by others";
    return {};
}

// 0, or EPERM with why set when the directory open at fd is not trusted.
int JudgeDirectory(int fd, const std::string& shown, std::string& why)
{
    struct stat directory;
    if (fstat(fd, &directory) != 0)
        return errno;
    why = DirectoryDistrust(directory, shown);
    return why.empty() ? 0 : EPERM;
}

// The directories above the current one, up to the root: whoever could
// move one of them could have moved the current directory.
int JudgeAboveCurrent(int current, std::string& why)
{
    std::vector<char> buffer(PATH_MAX);
    std::string shown = getcwd(buffer.data(), buffer.size()) ? buffer.data() : "";
    struct stat here;
    if (fstat(current, &here) != 0)
        return errno;
    UniqueFd above(openat(current, "..", O_PATH | O_DIRECTORY | O_CLOEXEC));
    for (;;) {
        struct stat directory;
        if (!above || fstat(above.Get(), &directory) != 0)
            return errno;
        if (directory.st_dev == here.st_dev && directory.st_ino == here.st_ino)
            return 0;  // the root is its own parent
        shown = shown.empty() ? shown : std::string(Parent(shown));
        why = DirectoryDistrust(directory, shown.empty() ? "above the current one" : shown);
        if (!why.empty())
            return EPERM;
        here = directory;
        above.reset(openat(above.Get(), "..", O_PATH | O_DIRECTORY | O_CLOEXEC));
    }
}

// Why the link (link, held by the directory open at holder) may have been
// made by someone other than root or the user running; empty when it cannot.
std::string LinkDistrust(int holder, const struct stat& link)
{
    if (!TrustedOwner(link.st_uid))
        return "it belongs to uid " + std::to_string(link.st_uid);
    struct stat directory;
    if (fstat(holder, &directory) != 0)
        return "the directory that holds it cannot be examined";
    if (!TrustedOwner(directory.st_uid))
        return "the directory that holds it belongs to uid " + std::to_string(directory.st_uid);
    if (OthersReplaceIn(directory))
        return "the directory that holds it is writable by others";
    return {};
}

// The components still to walk: "." names nothing to open.
std::deque<std::string> Components(std::string_view path)
{
    std::deque<std::string> components;
    for (std::string_view component : PathComponents(path))
        if (component != ".")
            components.emplace_back(component);
    return components;
}

}  // namespace

int WalkPath(const std::string& path, PathTrust trust, bool followLast, PathEnd& end, std::string& why)
{
    why.clear();
    if (path.empty())
        return ENOENT;
    // "dir/" and "dir/." name the directory, never a file in it.
    const std::string_view last = BaseName(path);
    if (last.empty() || last == "." || last == "..")
        return EISDIR;
    const bool root = geteuid() == 0;
    const bool everyDirectory = root && trust == PathTrust::Content;
    std::deque<std::string> pending = Components(path);
    const bool absolute = path.front() == '/';
    UniqueFd directory(open(absolute ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!directory)
        return errno;
    std::string shown = absolute ? "/" : "";  // the directory, for a message
    if (everyDirectory) {
        if (int error = JudgeDirectory(directory.Get(), shown, why))
            return error;
        if (!absolute)
            if (int error = JudgeAboveCurrent(directory.Get(), why))
                return error;
    }
    int links = 0;
    while (!pending.empty() && (pending.size() > 1 || followLast)) {
        std::string component = std::move(pending.front());
        pending.pop_front();
        if (pending.empty()) {
            // The last component, followed when it is a link: anything else
            // (absent included) is the end, for the caller's open to take.
            struct stat status;
            const bool absent = fstatat(directory.Get(), component.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0;
            if (absent && errno != ENOENT)
                return errno;
            if (absent || !S_ISLNK(status.st_mode)) {
                pending.push_back(std::move(component));
                break;
            }
        } else {
            UniqueFd next(openat(directory.Get(), component.c_str(),
                                 O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (next) {
                shown = JoinPath(shown, component);
                if (everyDirectory)
                    if (int error = JudgeDirectory(next.Get(), shown, why))
                        return error;
                directory = std::move(next);
                continue;
            }
            if (errno != ENOTDIR && errno != ELOOP)
                return errno;
        }
        // Perhaps a link: opened itself, so that its owner and its target
        // are those of one inode whatever is renamed meanwhile.
        UniqueFd link(openat(directory.Get(), component.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        struct stat linkStat;
        if (!link || fstat(link.Get(), &linkStat) != 0)
            return errno;
        if (!S_ISLNK(linkStat.st_mode))
            return ENOTDIR;
        const std::string distrust = LinkDistrust(directory.Get(), linkStat);
        if (!distrust.empty()) {
            why = "not following the symbolic link '" + JoinPath(shown, component) + "' (" + distrust + ")";
            return EPERM;
        }
        if (++links > kMaxLinks)
            return ELOOP;
        std::vector<char> target(PATH_MAX);
        const ssize_t length = readlinkat(link.Get(), "", target.data(), target.size());
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
            if (everyDirectory)
                if (int error = JudgeDirectory(directory.Get(), shown, why))
                    return error;
        }
    }
    // A link that led to a directory ("/", "..") names no file in it.
    if (pending.empty() || pending.back() == "..")
        return EISDIR;
    if (root && trust == PathTrust::Destination)
        if (int error = JudgeDirectory(directory.Get(), shown, why))
            return error;
    end.directory = std::move(directory);
    end.name = std::move(pending.back());
    return 0;
}

std::string DistrustFile(const struct stat& file)
{
    if (geteuid() != 0)
        return {};
    if (!TrustedOwner(file.st_uid))
        return "it belongs to another user (uid " + std::to_string(file.st_uid) + ")";
    if (S_ISREG(file.st_mode) && (file.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        return "it is writable by others";
    return {};
}

int StandardStreamNamed(std::string_view path)
{
    static const std::pair<std::string_view, int> kNames[] = {
        {"/dev/stdout", 1},     {"/dev/fd/1", 1}, {"/proc/self/fd/1", 1},
        {"/dev/stderr", 2},     {"/dev/fd/2", 2}, {"/proc/self/fd/2", 2},
    };
    for (const auto& [name, fd] : kNames)
        if (path == name)
            return fd;
    return -1;
}

}  // namespace base

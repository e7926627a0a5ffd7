// SPDX-License-Identifier: MIT
// The walk through the tree, and the few directories it remembers.
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

namespace {

// How many links one resolution may follow, as the kernel allows.
constexpr int kMaxLinks = 40;
// How many directories a tree remembers: enough for the parents that the
// entries of one listing share, few enough to hold as descriptors.
constexpr std::size_t kRecentDirs = 16;

}  // namespace

Result<Tree> Tree::Open(const std::string& mount)
{
    if (mount.empty() || mount[0] != '/')
        return std::nullopt;
    UniqueFd fd(open(mount.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!fd)
        return Missing<Tree>(errno, mount);
    const int raw = fd.Get();
    auto rootFd = std::make_shared<const UniqueFd>(std::move(fd));
    // The root is told by what it is, not by its path: a directory moved next
    // to it would otherwise be taken for a deeper one, and climbing from
    // there would leave the mount.
    Result<Identity> rootIdentity = IdentityOf(raw, mount);
    if (!rootIdentity)
        return rootIdentity.NotFound<Tree>();
    // The mount path as its components, so that a path's prefix compares
    // exactly ("/sys/" and "/sys" are the same mount).
    std::string normal = "/";
    for (std::string_view part : base::PathComponents(mount))
        normal = base::JoinPath(normal, part);
    return Tree(normal, Dir(std::move(rootFd), normal), *rootIdentity);
}

Result<Tree::Identity> Tree::IdentityOf(int fd, std::string_view path)
{
    struct stat st;
    if (fstat(fd, &st) != 0)
        return Missing<Identity>(errno, path);
    return Identity{st.st_dev, st.st_ino};
}

Result<Dir> Tree::OpenPath(std::string_view path)
{
    std::string absolute(path);
    if (path.empty() || path[0] != '/') {
        char cwd[PATH_MAX];
        if (getcwd(cwd, sizeof cwd) == nullptr)
            return Missing<Dir>(errno, ".");
        absolute = base::JoinPath(cwd, path);
    }
    // A path of plain names is tried in one call; anything else, and a path
    // with a link on the way, is walked (which also checks that it names the
    // mount first).
    std::string canonical = "/";
    bool plain = true;
    for (std::string_view part : base::PathComponents(absolute)) {
        canonical = base::JoinPath(canonical, part);
        plain = plain && part != "." && part != "..";
    }
    if (plain) {
        if (std::optional<Result<Dir>> direct = TryBeneath(canonical))
            return std::move(*direct);
    }
    return Walk(m_root, absolute);
}

Result<Dir> Tree::Follow(const Dir& dir, std::string_view name)
{
    if (!IsComponent(name))
        return std::nullopt;
    Result<std::string> text = dir.LinkText(name);
    if (text.Failed())
        return text.NotFound<Dir>();
    if (!text)
        return dir.Subdir(name);
    // The kernel's links lead from a canonical directory through a few ".."
    // into a directory whose parent this tree has often just passed through:
    // then one openat from that parent is all it costs.
    if (std::optional<std::string> target = KernelLinkTarget(dir.Path(), *text)) {
        if (std::optional<Dir> known = Recent(*target))
            return std::move(*known);
        if (std::optional<Dir> parent = Recent(base::Parent(*target))) {
            Result<Dir> found = parent->Subdir(base::BaseName(*target));
            if (found)
                Remember(*found);
            if (found || found.Failed())
                return found;
        } else if (std::optional<Result<Dir>> direct = TryBeneath(*target)) {
            if (*direct)
                Remember(**direct);
            return std::move(*direct);
        }
    }
    return Walk(dir, *text);
}

std::optional<Result<Dir>> Tree::TryBeneath(const std::string& path)
{
    const std::string prefix = m_mount == "/" ? m_mount : m_mount + "/";
    if (path.compare(0, prefix.size(), prefix) != 0)
        return std::nullopt;
    // The path is the label of what is found, so it must be canonical: "a/../b"
    // stays beneath the root, but is not b's path.
    const std::string relative = path.substr(prefix.size());
    if (!PlainNames(relative))
        return std::nullopt;
    UniqueFd fd(OpenBeneath(m_root.Raw(), relative));
    if (fd)
        return Result<Dir>(Dir(std::make_shared<const UniqueFd>(std::move(fd)), path));
    if (errno == ENOENT || errno == ENOTDIR)
        return Result<Dir>(std::nullopt);
    return std::nullopt;
}

// Walks a relative path (or, when it starts with '/', a path that must name
// the mount first) from a canonical directory, one component at a time,
// opening each with O_NOFOLLOW.  A link met on the way is replaced by its
// text; ".." goes to the real parent (see Climb); nothing ever leaves the
// mount.
Result<Dir> Tree::Walk(Dir from, std::string_view relative)
{
    Dir current = std::move(from);
    std::vector<std::string> pending;  // components still to walk, last first
    // Puts a path (a link's text) in front of what is left to walk; an
    // absolute one starts again from the root, and stays inside only when
    // it names the mount first.
    auto enter = [&](std::string_view text) {
        std::vector<std::string_view> parts = base::PathComponents(text);
        // "." names nothing, and "/sys/./devices" names the mount all the same.
        parts.erase(std::remove(parts.begin(), parts.end(), "."), parts.end());
        auto first = parts.begin();
        if (!text.empty() && text[0] == '/') {
            std::vector<std::string_view> mountParts = base::PathComponents(m_mount);
            if (parts.size() < mountParts.size() ||
                !std::equal(mountParts.begin(), mountParts.end(), parts.begin()))
                return false;
            first += static_cast<std::ptrdiff_t>(mountParts.size());
            current = m_root;
        }
        for (auto part = parts.end(); part != first; --part)
            pending.emplace_back(*std::prev(part));
        return true;
    };
    if (!enter(relative))
        return std::nullopt;
    int links = 0;
    while (!pending.empty()) {
        const std::string part = std::move(pending.back());
        pending.pop_back();
        if (part == "..") {
            Result<Dir> parent = Climb(current);
            if (!parent)
                return parent;
            current = std::move(*parent);
            continue;
        }
        std::string path = base::JoinPath(current.Path(), part);
        if (std::optional<Dir> known = Recent(path)) {
            current = std::move(*known);
            continue;
        }
        UniqueFd fd(OpenDirectoryAt(current.Raw(), part));
        if (fd) {
            current = Dir(std::make_shared<const UniqueFd>(std::move(fd)), std::move(path));
            Remember(current);
            continue;
        }
        if (errno != ELOOP && errno != ENOTDIR)
            return Missing<Dir>(errno, path);
        Result<std::string> text = current.LinkText(part);
        if (!text)
            return text.NotFound<Dir>();
        if (++links > kMaxLinks || !enter(*text))
            return std::nullopt;
    }
    return current;
}

// The walk's ".." as the filesystem means it, the directory that holds this
// one, but reached down from the root: its path's parent, checked to hold
// this very directory under its name.  The kernel's own ".." is never
// opened: from a directory moved up next to the root it is the root, with the
// walk still counting levels from where the directory was, and one more
// leaves the mount.  A directory seen moved (or the remembered one its path
// names) ends the walk and every remembered directory with it.
Result<Dir> Tree::Climb(const Dir& dir)
{
    Result<Identity> here = IdentityOf(dir.Raw(), dir.Path());
    if (!here)
        return here.NotFound<Dir>();
    const bool atRoot = *here == m_rootIdentity;
    if (atRoot || dir.Path() == m_mount) {
        // Nothing above the root is sysfs; the root under another path (or
        // another directory under the root's) is a move seen.
        if (atRoot != (dir.Path() == m_mount))
            Forget();
        return std::nullopt;
    }
    const std::string parentPath(base::Parent(dir.Path()));
    Result<Dir> parent = std::nullopt;
    if (std::optional<Dir> known = Recent(parentPath))
        parent = std::move(*known);
    else if ((parent = Resolve(parentPath)))
        Remember(*parent);
    if (parent.Failed())
        return parent;
    struct stat entry;
    bool moved = !parent;
    if (!moved &&
        fstatat(parent->Raw(), std::string(dir.Name()).c_str(), &entry, AT_SYMLINK_NOFOLLOW) != 0) {
        if (!IsAbsence(errno))
            return Missing<Dir>(errno, dir.Path());
        moved = true;
    }
    if (moved || !(Identity{entry.st_dev, entry.st_ino} == *here)) {
        Forget();
        return std::nullopt;
    }
    return parent;
}

Result<Dir> Tree::Resolve(const std::string& path)
{
    if (path == m_mount)
        return m_root;
    if (std::optional<Result<Dir>> direct = TryBeneath(path))
        return std::move(*direct);
    // No openat2 here (or a link on the way, which the walk below refuses).
    const std::string prefix = m_mount == "/" ? m_mount : m_mount + "/";
    if (path.compare(0, prefix.size(), prefix) != 0 || !PlainNames(path.substr(prefix.size())))
        return std::nullopt;
    Dir current = m_root;
    for (std::string_view part : base::PathComponents(std::string_view(path).substr(prefix.size()))) {
        std::string next = base::JoinPath(current.Path(), part);
        UniqueFd fd(OpenDirectoryAt(current.Raw(), std::string(part)));
        if (!fd)
            return Missing<Dir>(errno == ELOOP ? ENOTDIR : errno, next);
        current = Dir(std::make_shared<const UniqueFd>(std::move(fd)), std::move(next));
    }
    return current;
}

std::optional<Dir> Tree::Recent(std::string_view path)
{
    if (path == m_mount)
        return m_root;
    for (auto dir = m_recent.rbegin(); dir != m_recent.rend(); ++dir) {
        if (dir->Path() == path) {
            Dir found = *dir;
            // Most recently used last.
            std::rotate(std::prev(dir.base()), dir.base(), m_recent.end());
            return found;
        }
    }
    return std::nullopt;
}

void Tree::Remember(const Dir& dir)
{
    if (m_recent.size() == kRecentDirs)
        m_recent.erase(m_recent.begin());
    m_recent.push_back(dir);
}

std::vector<ClassEntry> ListClassDevices(Tree& tree, const Dir& classDir)
{
    std::vector<ClassEntry> devices;
    for (Entry& entry : classDir.Entries()) {
        // An entry that vanished since the listing is a device that went
        // away; one that cannot be read is noted as a failure by Follow.
        if (Result<Dir> dir = tree.Follow(classDir, entry.name))
            devices.push_back({std::move(entry.name), dir->Path()});
    }
    return devices;
}

bool HasLinkedDirectory(Tree& tree, const Dir& dir)
{
    for (const Entry& entry : dir.Entries()) {
        if (tree.Follow(dir, entry.name))
            return true;
    }
    return false;
}

Result<Dir> PhysicalDevice(Tree& tree, const Dir& classDevice)
{
    return tree.Follow(classDevice, "device");
}

}  // namespace sysfs
}  // namespace detail
}  // namespace LinuxEnum
}  // namespace Quentor

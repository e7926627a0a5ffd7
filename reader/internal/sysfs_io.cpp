// SPDX-License-Identifier: MIT
#include "sysfs_io.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <memory>
#include <vector>

#include "libsysfs.h"

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

std::string Join(std::string_view dir, std::string_view name)
{
    std::string path(dir);
    if (path.empty() || path.back() != '/')
        path += '/';
    path.append(name);
    return path;
}

std::string_view BaseName(std::string_view path)
{
    std::size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

std::string_view Parent(std::string_view path)
{
    std::size_t slash = path.rfind('/');
    if (slash == std::string_view::npos)
        return {};
    return slash == 0 ? path.substr(0, 1) : path.substr(0, slash);
}

// The components of a path in order, empty ones ("//", leading and trailing
// '/') left out; "." and ".." kept.
std::vector<std::string_view> Components(std::string_view path)
{
    std::vector<std::string_view> parts;
    while (!path.empty()) {
        std::size_t slash = path.find('/');
        std::string_view part = path.substr(0, slash);
        path = slash == std::string_view::npos ? std::string_view() : path.substr(slash + 1);
        if (!part.empty())
            parts.push_back(part);
    }
    return parts;
}

// A link's text, taken from the canonical directory that holds it, when it is
// of the shape the kernel writes: a run of ".." followed by plain names.  The
// result is then exactly where the link leads as long as every name after the
// ".." run is a real directory, which the caller checks.  Nothing for any
// other text.
std::optional<std::string> KernelLinkTarget(std::string_view dir, std::string_view text)
{
    if (text.empty() || text[0] == '/')
        return std::nullopt;
    std::string target(dir);
    bool climbing = true;
    for (std::string_view part : Components(text)) {
        if (part == "..") {
            if (!climbing || target.size() <= 1)
                return std::nullopt;
            target.resize(Parent(target).size());
            continue;
        }
        if (part == ".")
            return std::nullopt;
        climbing = false;
        target = Join(target, part);
    }
    if (climbing)
        return std::nullopt;
    return target;
}

// Gone: the file was listed but is there no more (ENOENT), or its device
// says it is gone (ENODEV): the object it belongs to is going away.
enum class FileRead { Read, NotReadable, Failed, Gone };

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
        // A file may refuse to be read (the kernel's EIO, or ENOTCONN during
        // recovery): it is left out.  Running out of descriptors or memory
        // says nothing of the file; that is the query's failure.
        const int error = errno;
        if (error == ENOENT || error == ENODEV)
            return FileRead::Gone;
        if (IsExhaustion(error))
            NoteFailure(error, Join(dirPath, name));
        bool writeOnly = (error == EACCES || error == EPERM) &&
                         fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                         S_ISREG(st.st_mode) && !(st.st_mode & S_IRUSR);
        return writeOnly ? FileRead::NotReadable : FileRead::Failed;
    }
    if (fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode))
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
        if (n < 0) {
            if (errno == ENODEV)
                return FileRead::Gone;
            if (IsExhaustion(errno))
                NoteFailure(errno, Join(dirPath, name));
            return FileRead::Failed;
        }
        filled += static_cast<std::size_t>(n);
        // A regular file reads short only at its end: no second call needed.
        if (static_cast<std::size_t>(n) < wanted)
            break;
    }
    content.assign(page, filled);
    return FileRead::Read;
}

// A directory is opened for reading, so that it can be listed through the
// very descriptor the walk holds (most directories a query opens, it lists).
// One that may not be read is still a way to what lies below it: it is
// opened O_PATH, and a listing of it fails as the kernel says.
bool MayRetryAsPath(int fd) { return fd < 0 && (errno == EACCES || errno == EPERM); }

// Opens a directory entry as a directory, never through a link.
int OpenDirectoryAt(int dirFd, const std::string& name)
{
    constexpr int kFlags = O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    int fd = openat(dirFd, name.c_str(), O_RDONLY | kFlags);
    if (MayRetryAsPath(fd))
        fd = openat(dirFd, name.c_str(), O_PATH | kFlags);
    return fd;
}

// Whether a relative path is plain names alone ("a/b"; never "", "a/../b",
// "./a", "a//b" or "a/"): the canonical path below a directory of what it
// names, when no link is on the way.
bool PlainNames(std::string_view relative)
{
    for (;;) {
        const std::size_t slash = relative.find('/');
        if (!IsComponent(relative.substr(0, slash)))
            return false;
        if (slash == std::string_view::npos)
            return true;
        relative.remove_prefix(slash + 1);
    }
}

// Whether openat2 may be tried: cleared for good once the kernel (or a
// sandbox in front of it) does not know it.
std::atomic<bool> g_openat2{true};

// Opens a path below a directory in one call when no component of it is a
// link and it stays beneath the directory (openat2 with RESOLVE_NO_SYMLINKS
// and RESOLVE_BENEATH): then the path is exactly where the directory found
// lies, which is what the walk one component at a time would find at several
// times the cost.  -1 with errno ENOENT or ENOTDIR when there is no such
// directory; -1 with another errno when the walk must decide (a link on the
// way, or no openat2 here).
int OpenBeneath(int dirFd, const std::string& relative)
{
    if (!g_openat2.load(std::memory_order_relaxed)) {
        errno = ENOSYS;
        return -1;
    }
    open_how how{};
    how.flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS | RESOLVE_BENEATH;
    long fd = syscall(SYS_openat2, dirFd, relative.c_str(), &how, sizeof how);
    if (MayRetryAsPath(static_cast<int>(fd))) {
        how.flags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
        fd = syscall(SYS_openat2, dirFd, relative.c_str(), &how, sizeof how);
    }
    if (fd < 0 && (errno == ENOSYS || errno == EPERM))
        g_openat2.store(false, std::memory_order_relaxed);
    return static_cast<int>(fd);
}

}  // namespace

bool IsComponent(std::string_view name)
{
    return !name.empty() && name != "." && name != ".." &&
           name.find('/') == std::string_view::npos && name.find('\0') == std::string_view::npos;
}

bool NameFits(std::string_view name) { return name.size() < SYSFS_NAME_LEN; }

std::string_view Dir::Name() const { return BaseName(m_path); }

Result<Dir> Dir::Subdir(std::string_view name) const
{
    if (!IsComponent(name))
        return std::nullopt;
    const std::string entry(name);
    const std::string path = Join(m_path, name);
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

std::optional<std::string> Dir::LinkText(std::string_view name) const
{
    if (!IsComponent(name))
        return std::nullopt;
    char target[PATH_MAX];
    ssize_t length = readlinkat(Raw(), std::string(name).c_str(), target, sizeof target);
    if (length <= 0 || static_cast<std::size_t>(length) >= sizeof target)
        return std::nullopt;
    return std::string(target, static_cast<std::size_t>(length));
}

bool Dir::IsSubdir(const Entry& entry) const
{
    if (entry.type != DT_UNKNOWN)
        return entry.type == DT_DIR;
    struct stat st;
    return fstatat(Raw(), entry.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
}

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
        if (outcome == FileRead::Gone && vanishing != nullptr)
            *vanishing = true;
        if (outcome == FileRead::Failed || outcome == FileRead::Gone)
            continue;
        record.name = std::move(entry.name);
        record.read = outcome == FileRead::Read;
        attributes.push_back(std::move(record));
    }
    return attributes;
}

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
    std::optional<Identity> rootIdentity = IdentityOf(raw);
    if (!rootIdentity)
        return Missing<Tree>(errno, mount);
    // The mount path as its components, so that a path's prefix compares
    // exactly ("/sys/" and "/sys" are the same mount).
    std::string normal;
    for (std::string_view part : Components(mount))
        normal = Join(normal, part);
    if (normal.empty())
        normal = "/";
    return Tree(normal, Dir(std::move(rootFd), normal), *rootIdentity);
}

std::optional<Tree::Identity> Tree::IdentityOf(int fd)
{
    struct stat st;
    if (fstat(fd, &st) != 0)
        return std::nullopt;
    return Identity{st.st_dev, st.st_ino};
}

Result<Dir> Tree::OpenPath(std::string_view path)
{
    std::string absolute(path);
    if (path.empty() || path[0] != '/') {
        char cwd[PATH_MAX];
        if (getcwd(cwd, sizeof cwd) == nullptr)
            return Missing<Dir>(errno, ".");
        absolute = Join(cwd, path);
    }
    // A path of plain names is tried in one call; anything else, and a path
    // with a link on the way, is walked (which also checks that it names the
    // mount first).
    std::string canonical;
    bool plain = true;
    for (std::string_view part : Components(absolute)) {
        canonical = Join(canonical, part);
        plain = plain && part != "." && part != "..";
    }
    if (plain) {
        if (Result<Dir> direct = Beneath(canonical); !direct.Failed())
            return direct;
    }
    return Walk(m_root, absolute);
}

Result<Dir> Tree::Follow(const Dir& dir, std::string_view name)
{
    if (!IsComponent(name))
        return std::nullopt;
    std::optional<std::string> text = dir.LinkText(name);
    if (!text)
        return dir.Subdir(name);
    // The kernel's links lead from a canonical directory through a few ".."
    // into a directory whose parent this tree has often just passed through:
    // then one openat from that parent is all it costs.
    if (std::optional<std::string> target = KernelLinkTarget(dir.Path(), *text)) {
        if (std::optional<Dir> known = Recent(*target))
            return std::move(*known);
        if (std::optional<Dir> parent = Recent(Parent(*target))) {
            Result<Dir> found = parent->Subdir(BaseName(*target));
            if (found)
                Remember(*found);
            if (found || found.Failed())
                return found;
        } else if (Result<Dir> direct = Beneath(*target); !direct.Failed()) {
            if (direct)
                Remember(*direct);
            return direct;
        }
    }
    return Walk(dir, *text);
}

Result<Dir> Tree::Beneath(const std::string& path)
{
    const std::string prefix = m_mount == "/" ? m_mount : m_mount + "/";
    if (path.compare(0, prefix.size(), prefix) != 0)
        return Result<Dir>::Failure(EXDEV);
    // The path is the label of what is found, so it must be canonical: "a/../b"
    // stays beneath the root, but is not b's path.
    const std::string relative = path.substr(prefix.size());
    if (!PlainNames(relative))
        return Result<Dir>::Failure(EINVAL);
    UniqueFd fd(OpenBeneath(m_root.Raw(), relative));
    if (fd)
        return Dir(std::make_shared<const UniqueFd>(std::move(fd)), path);
    if (errno == ENOENT || errno == ENOTDIR)
        return std::nullopt;
    return Result<Dir>::Failure(errno);
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
        std::vector<std::string_view> parts = Components(text);
        // "." names nothing, and "/sys/./devices" names the mount all the same.
        parts.erase(std::remove(parts.begin(), parts.end(), "."), parts.end());
        auto first = parts.begin();
        if (!text.empty() && text[0] == '/') {
            std::vector<std::string_view> mountParts = Components(m_mount);
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
        std::string path = Join(current.Path(), part);
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
        std::optional<std::string> text = current.LinkText(part);
        if (!text || ++links > kMaxLinks || !enter(*text))
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
    std::optional<Identity> here = IdentityOf(dir.Raw());
    if (!here)
        return Missing<Dir>(errno, dir.Path());
    const bool atRoot = *here == m_rootIdentity;
    if (atRoot || dir.Path() == m_mount) {
        // Nothing above the root is sysfs; the root under another path (or
        // another directory under the root's) is a move seen.
        if (atRoot != (dir.Path() == m_mount))
            Forget();
        return std::nullopt;
    }
    const std::string parentPath(Parent(dir.Path()));
    Result<Dir> parent = std::nullopt;
    if (std::optional<Dir> known = Recent(parentPath))
        parent = std::move(*known);
    else if ((parent = Resolve(parentPath)))
        Remember(*parent);
    if (parent.Failed())
        return parent;
    struct stat entry;
    if (!parent ||
        fstatat(parent->Raw(), std::string(dir.Name()).c_str(), &entry, AT_SYMLINK_NOFOLLOW) != 0 ||
        !(Identity{entry.st_dev, entry.st_ino} == *here)) {
        Forget();
        return std::nullopt;
    }
    return parent;
}

Result<Dir> Tree::Resolve(const std::string& path)
{
    if (path == m_mount)
        return m_root;
    if (Result<Dir> direct = Beneath(path); !direct.Failed())
        return direct;
    // No openat2 here (or a link on the way, which the walk below refuses).
    const std::string prefix = m_mount == "/" ? m_mount : m_mount + "/";
    if (path.compare(0, prefix.size(), prefix) != 0 || !PlainNames(path.substr(prefix.size())))
        return std::nullopt;
    Dir current = m_root;
    for (std::string_view part : Components(std::string_view(path).substr(prefix.size()))) {
        std::string next = Join(current.Path(), part);
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

std::string Tree::BusLinkedBy(const Dir& dir, std::string_view link) const
{
    // Read lexically, from the link's own text: the kernel writes it relative
    // to the device's canonical directory, and a copy of a device tree may
    // hold the link without the bus tree it leads to.
    std::optional<std::string> text = dir.LinkText(link);
    if (!text)
        return {};
    std::string target = (*text)[0] == '/' ? std::string() : dir.Path();
    for (std::string_view part : Components(*text)) {
        if (part == "..")
            target.resize(Parent(target).size());
        else if (part != ".")
            target = Join(target, part);
    }
    const std::string busTree = Join(m_mount, "bus") + "/";
    if (target.compare(0, busTree.size(), busTree) != 0)
        return {};
    std::string name = target.substr(busTree.size());
    return IsComponent(name) ? name : std::string();
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

std::string BusOf(const Tree& tree, const Dir& device)
{
    std::string bus = tree.BusLinkedBy(device, "bus");
    return bus.empty() ? tree.BusLinkedBy(device, "subsystem") : bus;
}

DeviceIdentity IdentifyDevice(const Tree& tree, const Dir& device)
{
    DeviceIdentity identity;
    identity.path = device.Path();
    identity.busId = std::string(device.Name());
    identity.name = identity.busId;
    identity.bus = BusOf(tree, device);
    std::optional<std::string> driver = device.LinkText("driver");
    identity.driverName = driver ? std::string(BaseName(*driver)) : std::string(SYSFS_UNKNOWN);
    return identity;
}

}  // namespace sysfs
}  // namespace detail
}  // namespace LinuxEnum
}  // namespace Quentor

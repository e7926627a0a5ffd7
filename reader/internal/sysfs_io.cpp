#include "sysfs_io.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <memory>

#include "libsysfs.h"

namespace Quentor {
namespace LinuxEnum {
namespace detail {
namespace sysfs {

namespace {

struct DirCloser {
    void operator()(DIR* dir) const { closedir(dir); }
};

// Closes a file descriptor on every exit.
class Fd {
public:
    explicit Fd(int fd) : m_fd(fd) {}
    ~Fd()
    {
        if (m_fd >= 0)
            close(m_fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return m_fd; }

private:
    int m_fd;
};

std::string Join(const std::string& dir, std::string_view name)
{
    std::string path = dir;
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

bool Inside(const std::string& path, const std::string& mount)
{
    if (mount == "/")
        return !path.empty() && path[0] == '/';
    return path.compare(0, mount.size(), mount) == 0 &&
           (path.size() == mount.size() || path[mount.size()] == '/');
}

std::optional<std::string> RealPath(const std::string& path)
{
    std::unique_ptr<char, decltype(&std::free)> resolved(realpath(path.c_str(), nullptr),
                                                         &std::free);
    if (!resolved)
        return std::nullopt;
    return std::string(resolved.get());
}

enum class FileRead { Read, NotReadable, Failed };

// Reads one attribute file: at most one page, as libsysfs does (sysfs never
// delivers more).  A file whose owner may not read it is not read at all
// (NotReadable): a root process could otherwise read what the kernel marks
// write-only, and sysfs refuses such an open even to root.
FileRead ReadAttributeFile(const std::string& path, std::string& content)
{
    // O_NONBLOCK: should the file have been swapped for a FIFO since it was
    // listed, opening it must not wait for a writer.  O_NOFOLLOW: an attribute
    // is a regular file, never a link to one elsewhere.
    Fd fd(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat st;
    if (fd.get() < 0) {
        bool writeOnly = (errno == EACCES || errno == EPERM) && lstat(path.c_str(), &st) == 0 &&
                         S_ISREG(st.st_mode) && !(st.st_mode & S_IRUSR);
        return writeOnly ? FileRead::NotReadable : FileRead::Failed;
    }
    if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return FileRead::Failed;
    if (!(st.st_mode & S_IRUSR))
        return FileRead::NotReadable;
    static const long pageSize = sysconf(_SC_PAGESIZE) > 0 ? sysconf(_SC_PAGESIZE) : 4096;
    content.resize(static_cast<std::size_t>(pageSize));
    std::size_t filled = 0;
    while (filled < content.size()) {
        const std::size_t wanted = content.size() - filled;
        ssize_t n = read(fd.get(), &content[filled], wanted);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return FileRead::Failed;
        filled += static_cast<std::size_t>(n);
        // A regular file reads short only at its end: no second call needed.
        if (static_cast<std::size_t>(n) < wanted)
            break;
    }
    content.resize(filled);
    return FileRead::Read;
}

// A directory entry: its name and its type as the directory tells it
// (DT_UNKNOWN where the filesystem does not say).
struct Entry {
    std::string name;
    unsigned char type;
};

// The entries of a directory, sorted by name, "." and ".." left out.
std::vector<Entry> ListEntries(const std::string& dir)
{
    std::vector<Entry> entries;
    std::unique_ptr<DIR, DirCloser> stream(opendir(dir.c_str()));
    if (!stream)
        return entries;
    while (dirent* entry = readdir(stream.get())) {
        std::string_view name(entry->d_name);
        if (name != "." && name != "..")
            entries.push_back({std::string(name), entry->d_type});
    }
    std::sort(entries.begin(), entries.end(),
              [](const Entry& a, const Entry& b) { return a.name < b.name; });
    return entries;
}

// Whether an entry is a regular file, asking the filesystem only where the
// directory did not say.
bool IsRegularFile(const std::string& dir, const Entry& entry)
{
    if (entry.type != DT_UNKNOWN)
        return entry.type == DT_REG;
    struct stat st;
    return lstat(Join(dir, entry.name).c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The path a link's text leads to, read lexically from the directory that
// holds the link: "." and ".." are taken as written, no link is followed.
std::string LexicalTarget(const std::string& dir, std::string_view link)
{
    std::string joined = !link.empty() && link[0] == '/' ? std::string(link) : Join(dir, link);
    std::vector<std::string_view> parts;
    std::string_view rest(joined);
    while (!rest.empty()) {
        std::size_t slash = rest.find('/');
        std::string_view part = rest.substr(0, slash);
        rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
        if (part.empty() || part == ".")
            continue;
        if (part == "..") {
            if (!parts.empty())
                parts.pop_back();
            continue;
        }
        parts.push_back(part);
    }
    std::string normal;
    for (std::string_view part : parts)
        normal.append("/").append(part);
    return normal.empty() ? "/" : normal;
}

// The text of a symlink; nothing when path is not a link (or its text is empty).
std::optional<std::string> ReadLink(const std::string& path)
{
    char target[PATH_MAX];
    ssize_t length = readlink(path.c_str(), target, sizeof target);
    if (length <= 0 || static_cast<std::size_t>(length) >= sizeof target)
        return std::nullopt;
    return std::string(target, static_cast<std::size_t>(length));
}

}  // namespace

bool IsComponent(std::string_view name)
{
    return !name.empty() && name != "." && name != ".." &&
           name.find('/') == std::string_view::npos && name.find('\0') == std::string_view::npos;
}

bool NameFits(std::string_view name) { return name.size() < SYSFS_NAME_LEN; }
bool PathFits(std::string_view path) { return path.size() < SYSFS_PATH_MAX; }

std::optional<std::string> ResolveDirectory(const std::string& path, const std::string& mount)
{
    std::optional<std::string> resolved = RealPath(path);
    if (!resolved || !Inside(*resolved, mount))
        return std::nullopt;
    struct stat st;
    if (stat(resolved->c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return std::nullopt;
    return resolved;
}

std::vector<std::string> ListNames(const std::string& dir)
{
    std::vector<std::string> names;
    for (Entry& entry : ListEntries(dir))
        names.push_back(std::move(entry.name));
    return names;
}

std::vector<ClassEntry> ListClassDevices(const std::string& classDir, const std::string& mount)
{
    std::vector<ClassEntry> devices;
    std::optional<std::string> dir = ResolveDirectory(classDir, mount);
    if (!dir)
        return devices;
    for (std::string& name : ListNames(*dir)) {
        const std::string entry = Join(*dir, name);
        // The kernel's class entries are links to real directories: their
        // text read from the class directory gives the device's path, as
        // libsysfs reads it, for one readlink and one lstat.  The entries are
        // only named here, never read.  Anything else is resolved in full; an
        // entry that vanished since the listing is a device that went away.
        std::optional<std::string> path;
        if (std::optional<std::string> text = ReadLink(entry)) {
            std::string target = LexicalTarget(*dir, *text);
            struct stat st;
            if (Inside(target, mount) && lstat(target.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
                path = std::move(target);
        }
        if (!path)
            path = ResolveDirectory(entry, mount);
        if (path)
            devices.push_back({std::move(name), std::move(*path)});
    }
    return devices;
}

std::optional<ClassEntry> FindClassDevice(const std::string& classDir, const std::string& name,
                                          const std::string& mount)
{
    if (!IsComponent(name))
        return std::nullopt;
    std::optional<std::string> path = ResolveDirectory(Join(classDir, name), mount);
    if (!path)
        return std::nullopt;
    return ClassEntry{name, std::move(*path)};
}

std::vector<LinkedDevice> ListLinkedDevices(const std::string& dir, const std::string& mount)
{
    std::vector<LinkedDevice> devices;
    for (std::string& name : ListNames(dir)) {
        std::string link = Join(dir, name);
        struct stat st;
        if (lstat(link.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
            continue;
        if (std::optional<std::string> path = ResolveDirectory(link, mount))
            devices.push_back({std::move(name), std::move(*path)});
    }
    return devices;
}

std::vector<std::string> ListSubdirectories(const std::string& dir)
{
    std::vector<std::string> subdirs;
    for (std::string& name : ListNames(dir)) {
        struct stat st;
        if (lstat(Join(dir, name).c_str(), &st) == 0 && S_ISDIR(st.st_mode))
            subdirs.push_back(std::move(name));
    }
    return subdirs;
}

AttributeRecords ReadAttributes(const std::string& dir)
{
    AttributeRecords attributes;
    for (Entry& entry : ListEntries(dir)) {
        if (!IsRegularFile(dir, entry))
            continue;
        AttributeRecord record;
        FileRead outcome = ReadAttributeFile(Join(dir, entry.name), record.value);
        if (outcome == FileRead::Failed)
            continue;
        record.name = std::move(entry.name);
        record.read = outcome == FileRead::Read;
        attributes.push_back(std::move(record));
    }
    return attributes;
}

std::optional<std::string> PhysicalDevicePath(const std::string& classDevicePath,
                                              const std::string& mount)
{
    // The kernel links a class device to the device it sits below, so the
    // link leads to an ancestor of the class device's own canonical path: an
    // ancestor of a canonical path is a canonical directory, and nothing more
    // needs resolving.  Any other link is resolved in full.
    const std::string link = Join(classDevicePath, "device");
    if (std::optional<std::string> text = ReadLink(link)) {
        std::string target = LexicalTarget(classDevicePath, *text);
        if (Inside(target, mount) && target != mount &&
            classDevicePath.compare(0, target.size() + 1, target + "/") == 0)
            return target;
    }
    return ResolveDirectory(link, mount);
}

std::string BusFromSubsystem(const std::string& devicePath, const std::string& mount)
{
    // Read lexically, from the link's own text: the kernel writes it relative
    // to the device's canonical directory, and a copy of a device tree may
    // hold the link without the bus tree it leads to.
    std::optional<std::string> target = ReadLink(Join(devicePath, "subsystem"));
    if (!target)
        return {};
    std::string normal = LexicalTarget(devicePath, *target);
    std::string busTree = Join(mount, "bus") + "/";
    if (normal.compare(0, busTree.size(), busTree) != 0)
        return {};
    std::string name = normal.substr(busTree.size());
    return IsComponent(name) ? name : std::string();
}

DeviceIdentity IdentifyDevice(const std::string& devicePath, const std::string& mount)
{
    DeviceIdentity identity;
    identity.path = devicePath;
    identity.busId = std::string(BaseName(devicePath));
    identity.name = identity.busId;
    identity.bus = BusFromSubsystem(devicePath, mount);

    std::optional<std::string> driver = ReadLink(Join(devicePath, "driver"));
    identity.driverName = driver ? std::string(BaseName(*driver)) : std::string(SYSFS_UNKNOWN);
    return identity;
}

bool FitsLibsysfs(const std::string& dir)
{
    if (!PathFits(dir) || !NameFits(BaseName(dir)))
        return false;
    for (const std::string& name : ListNames(dir)) {
        if (!NameFits(name) || !PathFits(Join(dir, name)))
            return false;
    }
    return true;
}

bool DeviceFitsLibsysfs(const std::string& dir)
{
    if (!FitsLibsysfs(dir))
        return false;
    for (const char* name : {"driver", "subsystem"}) {
        std::optional<std::string> target = ReadLink(Join(dir, name));
        if (target && (!PathFits(*target) || !NameFits(BaseName(*target))))
            return false;
    }
    return true;
}

}  // namespace sysfs
}  // namespace detail
}  // namespace LinuxEnum
}  // namespace Quentor

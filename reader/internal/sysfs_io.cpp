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

// Reads at most one page, as libsysfs does; sysfs never delivers more.
bool ReadContent(const std::string& path, std::string& content)
{
    // O_NONBLOCK: should the file have been swapped for a FIFO since it was
    // listed, opening it must not wait for a writer.  O_NOFOLLOW: an attribute
    // is a regular file, never a link to one elsewhere.
    Fd fd(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (fd.get() < 0)
        return false;
    struct stat st;
    if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    static const long pageSize = sysconf(_SC_PAGESIZE) > 0 ? sysconf(_SC_PAGESIZE) : 4096;
    content.assign(static_cast<std::size_t>(pageSize), '\0');
    std::size_t filled = 0;
    while (filled < content.size()) {
        ssize_t n = read(fd.get(), &content[filled], content.size() - filled);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (n == 0)
            break;
        filled += static_cast<std::size_t>(n);
    }
    content.resize(filled);
    return true;
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

std::string MountPath()
{
    char mount[SYSFS_PATH_MAX] = {0};
    if (sysfs_get_mnt_path(mount, sizeof mount - 1) != 0 || mount[0] == '\0')
        return "/sys";
    return mount;
}

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
    std::unique_ptr<DIR, DirCloser> stream(opendir(dir.c_str()));
    if (!stream)
        return names;
    while (dirent* entry = readdir(stream.get())) {
        std::string_view name(entry->d_name);
        if (name != "." && name != "..")
            names.emplace_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<ClassEntry> ListClassDevices(const std::string& classDir, const std::string& mount)
{
    std::vector<ClassEntry> devices;
    for (std::string& name : ListNames(classDir)) {
        // An entry that vanished since the listing is a device that went away.
        if (std::optional<std::string> path = ResolveDirectory(Join(classDir, name), mount))
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
    for (std::string& name : ListNames(dir)) {
        std::string path = Join(dir, name);
        struct stat st;
        if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
            continue;
        AttributeRecord record;
        record.name = std::move(name);
        // Like libsysfs, judge readability by the owner's read bit, not by
        // trying: a root process could otherwise read what the kernel marks
        // write-only.
        if (st.st_mode & S_IRUSR) {
            if (!ReadContent(path, record.value))
                continue;
            record.read = true;
        }
        attributes.push_back(std::move(record));
    }
    return attributes;
}

std::optional<std::string> PhysicalDevicePath(const std::string& classDevicePath,
                                              const std::string& mount)
{
    return ResolveDirectory(Join(classDevicePath, "device"), mount);
}

std::string BusFromSubsystem(const std::string& devicePath, const std::string& mount)
{
    // Read lexically, from the link's own text: the kernel writes it relative
    // to the device's canonical directory, and a copy of a device tree may
    // hold the link without the bus tree it leads to.
    std::optional<std::string> target = ReadLink(Join(devicePath, "subsystem"));
    if (!target)
        return {};
    std::string_view link(*target);
    std::string joined = link[0] == '/' ? std::string(link) : Join(devicePath, link);
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

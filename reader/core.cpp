// SPDX-License-Identifier: MIT
// The reader object, its bus map, the mount check and attribute capture.
#include <sys/mount.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>

#include "internal/attribute_value.h"
#include "internal/libsysfs.h"
#include "internal/query.h"
#include "internal/sysfs_io.h"
#include "internal/messages.h"
#include "internal/trace.h"
#include "reader.h"

namespace Quentor {
namespace LinuxEnum {

// Constant-initialised, so it reads false even before dynamic initialisation.
std::atomic<bool> CSysfsReader::m_BusMapInitialize{false};
std::map<BusType, std::string> CSysfsReader::m_BusMap;

// Readers may be constructed by several threads at once: the first fills the
// map, the others wait until it is filled.  The flag is set (release) only
// once the map is complete, and Lookup reads the map only after seeing it set
// (acquire), so a lookup never meets a map being filled: until then it finds
// nothing, as before the first reader.
CSysfsReader::CSysfsReader(std::ofstream* log) : m_pLog(log)
{
    static std::once_flag filled;
    std::call_once(filled, [] {
        InitializeBusMap();
        m_BusMapInitialize.store(true, std::memory_order_release);
    });
}

CSysfsReader::~CSysfsReader() = default;

void CSysfsReader::InitializeBusMap()
{
    m_BusMap[BUS_IDE] = "ide";
    m_BusMap[BUS_PCI] = "pci";
    m_BusMap[BUS_PCI_EXPRESS] = "pci_express";
    m_BusMap[BUS_SCSI] = "scsi";
    m_BusMap[BUS_USB] = "usb";
}

int CSysfsReader::Lookup(BusType bus, std::string& busName)
{
    if (!m_BusMapInitialize.load(std::memory_order_acquire))
        return READER_NOT_FOUND;
    auto entry = m_BusMap.find(bus);
    if (entry == m_BusMap.end())
        return READER_NOT_FOUND;
    busName = entry->second;
    return READER_OK;
}

int CSysfsReader::CheckandMountSysfs()
{
    return Query(READER_MOUNT_FAILED, [&] {
        std::string mountPath;
        return MountCheck(mountPath);
    });
}

int CSysfsReader::LastFailure()
{
    return detail::LastFailure();
}

int CSysfsReader::MountCheck(std::string& mountPath)
{
    const detail::messages::MountCheckTexts& texts = detail::messages::kMountCheck;
    Trace(texts.entering);
    // Sysfs at /sys is told by one statfs: the mount table, which libsysfs
    // reads for every query (and again for every class or bus it opens), is
    // rendered afresh by the kernel at each read and holds thousands of
    // lines on a container host.  libsysfs is asked where it would look
    // elsewhere: SYSFS_PATH set, or /sys not sysfs.
    bool atSys = false;
    if (std::getenv("SYSFS_PATH") == nullptr && detail::StatSysfsMount("/sys", atSys) == 0 && atSys) {
        mountPath = "/sys";
        Trace(texts.alreadyMounted);
        return READER_OK;
    }
    char found[SYSFS_PATH_MAX] = {0};
    if (detail::GetMntPath(found, SYSFS_PATH_MAX - 1) == 0) {
        mountPath = found[0] != '\0' ? found : "/sys";
        Trace(texts.alreadyMounted);
        return READER_OK;
    }
    const int tableError = errno;
    // libsysfs reads the mount table from /proc, which containers and early
    // boot may lack; sysfs at /sys is then known by its file system type, and
    // mounting it again there would only fail or stack a second mount.
    bool isSysfs = false;
    if (const int error = detail::StatSysfsMount("/sys", isSysfs); error != 0 && error != ENOENT) {
        detail::NoteFailure(error, "/sys");
        return READER_MOUNT_FAILED;
    }
    if (isSysfs) {
        mountPath = "/sys";
        Trace(texts.alreadyMounted);
        return READER_OK;
    }
    // libsysfs cannot tell a mount table it failed to read (no memory, no
    // descriptor) from one without sysfs: only a table read whole that lists
    // no sysfs, or no table at all, lets us mount.  A table that lists sysfs
    // where libsysfs found none means that libsysfs itself failed.
    detail::MountTable table = detail::MountTable::NoSysfs;
    if (const int error = detail::ReadMountTable(table); error != 0) {
        detail::NoteFailure(error, "/proc/mounts");
        return READER_MOUNT_FAILED;
    }
    if (table == detail::MountTable::ListsSysfs) {
        detail::NoteFailure(detail::LibsysfsFailure(tableError), "/proc/mounts");
        return READER_MOUNT_FAILED;
    }
    // "//sys" is the root's sys directory; the mount is meant to outlive us.
    if (mount("none", "//sys", "sysfs", 0, "") != 0) {
        Trace(texts.mountFailed);
        return READER_MOUNT_FAILED;
    }
    mountPath = "/sys";
    Trace(texts.mounted);
    return READER_OK;
}

bool CSysfsReader::NamesAccepted(std::initializer_list<const AttributeNames*> names)
{
    for (const AttributeNames* list : names) {
        if (list == nullptr || detail::sysfs::NamesFiles(*list))
            continue;
        for (const std::string& name : **list) {
            if (!detail::sysfs::IsComponent(name)) {
                Trace(detail::messages::kNameRefused, name);
                return false;
            }
        }
    }
    return true;
}

void CSysfsReader::SetAttribute(sysfs_attribute* attribute, AttributeMap& attributes)
{
    StoreAttribute(attribute->name, attribute->value, attribute->len, attributes);
}

void CSysfsReader::SetAttribute(const detail::AttributeRecord& attribute, AttributeMap& attributes)
{
    StoreAttribute(attribute.name, attribute.read ? attribute.value.data() : nullptr,
                   attribute.value.size(), attributes);
}

void CSysfsReader::SetAttributes(const std::vector<detail::AttributeRecord>& records,
                                 AttributeMap& attributes)
{
    for (const detail::AttributeRecord& record : records)
        SetAttribute(record, attributes);
}

void CSysfsReader::StoreAttribute(std::string_view name, const char* value, std::size_t length,
                                  AttributeMap& attributes)
{
    std::string content = detail::AttributeValue(value, length);
    std::string key(name);
    attributes.emplace(key, content);
    key += ':';
    Trace(key, IsSecretAttribute(name, content) ? kSecretMask : std::string_view(content));
}

void CSysfsReader::Trace(std::string_view message)
{
    detail::WriteTraceLine(m_pLog, message, nullptr);
}

void CSysfsReader::Trace(std::string_view message, std::string_view value)
{
    detail::WriteTraceLine(m_pLog, message, &value);
}

}  // namespace LinuxEnum
}  // namespace Quentor

// SPDX-License-Identifier: MIT
#include "walk/inventory.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <string_view>
#include <utility>

#include "base/path_text.h"
#include "mapper/map_reader.h"
#include "walk/fields.h"

namespace inventory {

using namespace Quentor::LinuxEnum;
using base::BaseName;
using base::Parent;

const IscsiClass kIscsiClasses[4] = {
    {"iscsi_host", "NAME DEVICE CLASS:: "},
    {"iscsi_transport", "NAME TRANSPORT CLASS  :: "},
    {"iscsi_connection", "NAME CONNECTION CLASS :: "},
    {"iscsi_session", "NAME SESSION CLASS :: "},
};

namespace {

bool DiskLess(const DiskRecord& a, const DiskRecord& b)
{
    if (AddressLess(a.address, b.address))
        return true;
    if (AddressLess(b.address, a.address))
        return false;
    return a.name < b.name;
}

// The files of a device-mapper device's dm/ directory that say what it is.
const AttributeNames kDmNames = std::vector<std::string>{"name", "uuid"};
// The file of a block device that gives its device number (major:minor).
const AttributeNames kDevNumber = std::vector<std::string>{"dev"};
// The file of a SCSI host's scsi_host device that names its driver.
const AttributeNames kProcName = std::vector<std::string>{"proc_name"};

// The last component of a device path that the kernel names as a PCI device
// (domain:bus:device.function): the card an offload host sits on.
std::string PciAddressIn(std::string_view path)
{
    std::vector<std::string> addresses = base::PciAddresses(path);
    return addresses.empty() ? std::string() : std::move(addresses.back());
}

}  // namespace

KeptAttributes::KeptAttributes(const AttributeMap& attributes, const std::vector<std::string>& names)
{
    // Both are in name order, and so is what is taken.
    auto wanted = names.begin();
    for (const auto& [key, value] : attributes) {
        while (wanted != names.end() && *wanted < key)
            ++wanted;
        if (wanted == names.end())
            break;
        if (*wanted == key)
            m_pairs.emplace_back(key, value);
    }
    m_pairs.shrink_to_fit();
}

std::vector<std::pair<std::string_view, std::string_view>> ClassDeviceRecord::DeviceLines() const
{
    std::vector<std::pair<std::string_view, std::string_view>> lines;
    if (!identity)
        return lines;
    lines = {{"bus", identity->bus},
             {"bus_id", identity->busId},
             {"driver_name", identity->driverName},
             {"name", identity->name},
             {"path", identity->path}};
    const std::size_t keys = lines.size();
    for (const auto& [key, value] : device)
        lines.emplace_back(key, value);
    // Stable: of a key and a file of the same name, the key comes first.
    std::inplace_merge(lines.begin(), lines.begin() + static_cast<std::ptrdiff_t>(keys), lines.end(),
                       [](const auto& a, const auto& b) { return a.first < b.first; });
    return lines;
}

KeptAttributes::const_iterator KeptAttributes::find(std::string_view key) const
{
    auto found = std::lower_bound(m_pairs.begin(), m_pairs.end(), key,
                                  [](const auto& pair, std::string_view k) { return pair.first < k; });
    return found != m_pairs.end() && found->first == key ? found : m_pairs.end();
}

std::optional<std::uint64_t> SizeBytes(const AttributeMap& block)
{
    std::optional<std::string_view> sectors = ValueOf(block, "size");
    std::optional<std::uint64_t> count = sectors ? KernelNumber(*sectors) : std::nullopt;
    if (!count || *count > UINT64_MAX / 512)
        return std::nullopt;
    return *count * 512;
}

std::string_view NumberIn(std::string_view name)
{
    std::size_t digits = name.find_last_not_of("0123456789");
    return digits == std::string_view::npos ? name : name.substr(digits + 1);
}

std::string InquiryText(std::string_view padded)
{
    std::size_t end = padded.find_last_not_of(' ');
    return std::string(end == std::string_view::npos ? std::string_view() : padded.substr(0, end + 1));
}

std::string PortalOf(const SessionRecord& session)
{
    if (session.connections.empty())
        return {};
    const KeptAttributes& connection = session.connections.front().attributes;
    std::string_view address = Raw(connection, field::kPersistentAddress).value_or("");
    std::string_view port = Raw(connection, field::kPersistentPort).value_or("");
    if (address.empty() || port.empty())
        return {};
    bool v6 = address.find(':') != std::string_view::npos;
    return (v6 ? "[" : "") + std::string(address) + (v6 ? "]:" : ":") + std::string(port);
}

const DiskRecord::Holder* MultipathHolder(const DiskRecord& disk)
{
    for (const DiskRecord::Holder& holder : disk.holders)
        if (holder.Multipath())
            return &holder;
    return nullptr;
}

bool Selection::Takes(const std::string& name, const AttributeMap& attributes) const
{
    if (!targets.empty()) {
        auto target = Raw(attributes, field::kTarget);
        if (!target || std::find(targets.begin(), targets.end(), *target) == targets.end())
            return false;
    }
    if (sessions.empty())
        return true;
    for (const std::string& wanted : sessions)
        if (name == SessionNamed(wanted))
            return true;
    return false;
}

std::optional<std::uint64_t> SessionNumber(std::string_view name)
{
    constexpr std::string_view kPrefix = "session";
    return name.compare(0, kPrefix.size(), kPrefix) == 0 ? KernelNumber(name.substr(kPrefix.size()))
                                                          : std::nullopt;
}

std::string SessionNamed(std::string_view wanted)
{
    const bool number = !wanted.empty() && wanted.find_first_not_of("0123456789") == std::string::npos;
    return number ? "session" + std::string(wanted) : std::string(wanted);
}

std::string_view MapName(const std::optional<std::string>& name, const std::string& device)
{
    return name ? std::string_view(*name) : std::string_view(device);
}

std::optional<std::uint64_t> KernelNumber(std::string_view text, bool hex)
{
    unsigned base = 10;
    if (hex && text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    // At most as many digits as always fit in 64 bits.
    if (text.empty() || text.size() > (base == 16 ? 16u : 19u))
        return std::nullopt;
    std::uint64_t value = 0;
    for (char c : text) {
        unsigned digit;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else
            return std::nullopt;
        value = value * base + digit;
    }
    return value;
}

std::string ByPathName(const SessionRecord& session, const DiskRecord& disk)
{
    if (session.connections.empty())
        return {};
    const KeptAttributes& connection = session.connections.front().attributes;
    auto address = Raw(connection, field::kPersistentAddress);
    auto port = Raw(connection, field::kPersistentPort);
    auto target = Raw(session.attributes, field::kTarget);
    if (!address || !port || !target)
        return {};
    return "ip-" + std::string(*address) + ":" + std::string(*port) + "-iscsi-" + std::string(*target) +
           "-lun-" + disk.address[3];
}

std::string TransportOf(const std::string& procName)
{
    // The software transports' host templates are named "iscsi_" and the
    // transport (iscsi_tcp, and iscsi_iser for ib_iser's hosts: seen on
    // Debian's 6.1 and 6.12 kernels); an offload HBA's driver keeps its name.
    const std::string prefix = "iscsi_";
    if (procName.size() > prefix.size() && procName.compare(0, prefix.size(), prefix) == 0)
        return procName.substr(prefix.size());
    return procName;
}

Walk::Walk(std::ofstream* log, bool showSecrets, Selection selection)
    : m_reader(log), m_showSecrets(showSecrets), m_selection(std::move(selection))
{
}

Walk::~Walk() = default;

void Walk::Run(Sink& sink)
{
    m_whole = sink.ShowsClasses();
    m_reads = sink.Reads();
    for (const IscsiClass& cls : kIscsiClasses) {
        if (Stopped(sink))
            return;
        // A form that shows no class device has no field of a transport.
        if (m_whole || std::string_view(cls.name) != "iscsi_transport")
            ClassPass(sink, cls);
    }
    if (!Stopped(sink) && m_whole)
        IscsiHostPass(sink);
}

void Walk::ClassPass(Sink& sink, const IscsiClass& cls)
{
    DeviceMap devices;
    ClassList(cls.name, devices);
    const std::string_view name(cls.name);
    const bool join = sink.WantsSessions();
    // A form that shows no class device reads of each only the files of
    // its fields (and the identity of the device behind, for the join).
    AttributeNames names = kEveryAttribute;
    if (!m_whole) {
        const Object object = name == "iscsi_session"   ? Object::Session
                              : name == "iscsi_host"      ? Object::Host
                                                          : Object::Connection;
        names = ReadBy(object, m_reads);
    }
    for (auto& [key, listed] : devices) {
        if (Stopped(sink))
            return;
        ClassDeviceRecord device;
        device.name = key;
        const bool gone = ClassAttributes(cls.name, device, names);
        device.listed = std::move(listed);
        if (gone) {
            sink.GoneDevice(cls, device);
            continue;
        }
        sink.ClassDevice(cls, device);
        // The bus is indexed at the first host, before hosts and connections
        // are kept for the sessions: its listing, the largest thing the walk
        // reads at once, is then gone by the time they are held.
        if ((join || sink.WantsDisks()) && !m_disksBySession)
            IndexScsiBus(device.DevicePath());
        if (join && name == "iscsi_host")
            NoteHost(device);
        else if (join && name == "iscsi_connection")
            NoteConnection(device);
        if (name != "iscsi_session" || !(sink.WantsDisks() || join))
            continue;
        // The forms that select sessions show nothing else of them.
        if (!m_selection.Takes(device.name, device.own))
            continue;
        std::vector<DiskRecord> disks = DisksBelow(device.DevicePath(), join);
        sink.SessionDisks(disks);
        if (join)
            sink.Session(JoinSession(device, std::move(disks)));
    }
    sink.EndClass(cls);
}

// The "iscsi" scsi_host entry; every "path" among its attributes is followed
// one level down, into one directory map kept across paths.
void Walk::IscsiHostPass(Sink& sink)
{
    const std::string cls = "scsi_host";
    DeviceMap devices;
    ClassList(cls, devices);
    auto entry = devices.find("iscsi");
    if (entry == devices.end() || Stopped(sink))
        return;
    IscsiHostRecord host;
    host.entry.name = entry->first;
    host.entry.listed = std::move(entry->second);
    ClassAttributes(cls, host.entry);
    DeviceMap directories;
    auto follow = [&](std::string_view key, std::string_view path) {
        if (key != "path")
            return;
        PathAttributes(std::string(path), directories);
        host.listings.push_back(directories);
    };
    for (const AttributeMap* attributes : {&host.entry.listed, &host.entry.own})
        for (const auto& [key, value] : *attributes)
            follow(key, value);
    for (const auto& [key, value] : host.entry.DeviceLines())
        follow(key, value);
    sink.IscsiHost(host);
}

// A session's logical units, from the SCSI bus's device list (listed once for
// the whole walk): those two levels below the session's device directory,
// targetH:C:T/H:C:T:L, each with its state and, for a disk, its block device.
std::vector<DiskRecord> Walk::DisksBelow(const std::string& sessionDevicePath, bool full)
{
    if (sessionDevicePath.empty())
        return {};
    if (!m_disksBySession)
        IndexScsiBus(sessionDevicePath);
    if (!m_disksBySession)
        return {};
    auto found = m_disksBySession->find(sessionDevicePath);
    if (found == m_disksBySession->end())
        return {};
    // Of each logical unit, only what the form shows of it (its state
    // always: a unit's state says whether it is there to be shown).
    const AttributeNames diskNames = full ? ReadBy(Object::Disk, m_reads)
                                          : std::vector<std::string>{field::kDiskState.attribute};
    const AttributeNames blockNames = ReadBy(Object::Block, full ? m_reads : 0u);
    std::vector<DiskRecord> disks;
    for (IndexedDisk& indexed : found->second) {
        DiskRecord& disk = disks.emplace_back();
        disk.name = std::move(indexed.name);
        disk.path = std::move(indexed.path);
        std::move(std::begin(indexed.address), std::end(indexed.address), std::begin(disk.address));
    }
    m_disksBySession->erase(found);
    for (DiskRecord& disk : disks) {
        // The block device and its holders first: a logical unit's bus
        // link goes before its block device does, so a unit that its bus
        // query still finds afterwards was read whole.
        DeviceMap blocks;
        PathAttributes(disk.path + "/block", blocks, blockNames);
        if (!blocks.empty()) {
            disk.blockDevice = blocks.begin()->first;
            disk.block = std::move(blocks.begin()->second);
            if (full)
                ReadHolders(disk);
        }
        const int result = Note(m_reader.GetDeviceNamedAttr(disk.name, BUS_SCSI, diskNames, disk.attributes),
                                "SCSI device " + disk.name);
        if (result == READER_NOT_FOUND && CSysfsReader::LastFailure() == 0) {
            disk.name.clear();  // gone: left out below
            continue;
        }
        disk.state = Kept(field::kDiskState, Raw(disk.attributes, field::kDiskState));
        if (!full) {
            disk.attributes.clear();
            disk.block.clear();
        }
    }
    disks.erase(std::remove_if(disks.begin(), disks.end(),
                               [](const DiskRecord& disk) { return disk.name.empty(); }),
                disks.end());
    std::sort(disks.begin(), disks.end(), DiskLess);
    return disks;
}

void Walk::ReadHolders(DiskRecord& disk)
{
    DeviceMap links;
    const std::string holders = disk.path + "/block/" + *disk.blockDevice + "/holders";
    Note(m_reader.GetDeviceLinks(holders, links), holders);
    for (const auto& [device, link] : links) {
        DiskRecord::Holder holder;
        holder.device = device;
        // The device's own directory lists dm/ (name, uuid) first.
        DeviceMap directories;
        PathAttributes(std::string(ValueOf(link, "path").value_or("")), directories, kDmNames);
        if (auto dm = directories.find("dm"); dm != directories.end()) {
            if (auto name = dm->second.find("name"); name != dm->second.end())
                holder.name = name->second;
            if (auto uuid = dm->second.find("uuid"); uuid != dm->second.end())
                holder.uuid = uuid->second;
        }
        if (holder.Multipath() && (m_reads & kMapForms) != 0)
            holder.map = MapOf(holder);
        disk.holders.push_back(std::move(holder));
    }
}

std::shared_ptr<const mapper::MultipathMap> Walk::MapOf(const DiskRecord::Holder& holder)
{
    using mapper::MapRead;
    auto known = m_maps.find(holder.device);
    if (known != m_maps.end())
        return known->second;
    std::shared_ptr<const mapper::MultipathMap>& map = m_maps[holder.device];
    // Once the device-mapper has refused the tool, it refuses every map.
    if (m_mapStates.unread)
        return map;
    AttributeMap own, device;
    std::optional<DeviceIdentity> identity;
    Note(m_reader.GetClsDeviceNamedAttr("block", holder.device, kDevNumber, own,
                                        std::vector<std::string>{}, identity, device),
         "block device " + holder.device);
    unsigned major = 0, minor = 0;
    const std::string dev(ValueOf(own, "dev").value_or(""));
    if (std::sscanf(dev.c_str(), "%u:%u", &major, &minor) != 2)
        return map;  // gone, or a failure already noted
    if (!m_mapReader)
        m_mapReader = std::make_unique<mapper::DeviceMapperReader>();
    MapRead read = m_mapReader->Read(major, minor);
    const std::string object =
        "device-mapper map " + std::string(MapName(holder.name, holder.device)) + " (" + dev + ")";
    // The number names another map now (of any kind): the one sysfs showed
    // is gone.
    if (!read.uuid.empty() && holder.uuid && read.uuid != *holder.uuid)
        return map;
    switch (read.outcome) {
    case MapRead::Outcome::kMap:
        map = std::make_shared<const mapper::MultipathMap>(std::move(*read.map));
        m_mapStates.met = true;
        break;
    case MapRead::Outcome::kNotPermitted:
    case MapRead::Outcome::kUnreachable:
        m_mapStates.met = true;
        m_mapStates.unread = read.reason;
        break;
    case MapRead::Outcome::kGone:
        break;  // removed meanwhile: its paths are shown as sysfs has them
    case MapRead::Outcome::kNotMultipath:
    case MapRead::Outcome::kFailed:
        // Never a guess: the map's paths are then judged from sysfs alone,
        // and the run says what could not be read.
        m_errors.push_back({object + ": " + read.reason, EIO});
        break;
    }
    return map;
}

void Walk::IndexScsiBus(const std::string& devicePath)
{
    // The bus's device links alone: each device's canonical path is all the
    // join needs, and a listing that identified every host, target and
    // logical unit of a large bus (driver, subsystem) held far more at once.
    // The bus lives beside the devices, under the mount the reader reports
    // every path under; a path that does not show it leaves the bus for the
    // next device to index.
    const std::size_t devicesAt = devicePath.find("/devices/");
    if (devicesAt == std::string::npos)
        return;
    m_disksBySession.emplace();
    DeviceMap links;
    Note(m_reader.GetDeviceLinks(devicePath.substr(0, devicesAt) + "/bus/scsi/devices", links),
         "the SCSI bus");
    for (auto& [busId, link] : links) {
        IndexedDisk disk;
        if (m_reader.GetScsiDeviceCBTL(busId, disk.address[0], disk.address[1], disk.address[2],
                                       disk.address[3]) != READER_OK)
            continue;  // hosts and targets
        disk.path = std::string(ValueOf(link, "path").value_or(""));
        std::string_view target = Parent(disk.path);
        if (Parent(target).empty() || BaseName(target).compare(0, 6, "target") != 0)
            continue;
        std::string session(Parent(target));
        disk.name = busId;
        (*m_disksBySession)[std::move(session)].push_back(std::move(disk));
    }
}

void Walk::NoteHost(const ClassDeviceRecord& device)
{
    HostRecord host;
    host.name = device.name;
    host.attributes = KeptAttributes(device.own, ReadBy(Object::Host, m_reads));
    // The driver's name is in the host's scsi_host class device, which the
    // kernel puts below the host's own directory: read from there, it costs
    // one path query instead of a class query that reads the host's
    // directory again.  A tree laid out otherwise is asked by class (unless
    // the path query failed: that failure is the one to report).
    const std::string hostPath = device.DevicePath();
    bool settled = false;
    if (!hostPath.empty()) {
        DeviceMap directories;
        Note(m_reader.GetDevicePathNamedAttr(hostPath + "/scsi_host", kProcName, directories),
             "scsi_host device " + device.name);
        auto own = directories.find(device.name);
        settled = own != directories.end() || CSysfsReader::LastFailure() != 0;
        if (own != directories.end())
            host.procName = ValueOf(own->second, "proc_name").value_or("");
    }
    if (!settled) {
        ClassDeviceRecord scsiHost;
        scsiHost.name = device.name;
        ClassAttributes("scsi_host", scsiHost, kProcName);
        host.procName = ValueOf(scsiHost.own, "proc_name").value_or("");
    }
    host.pciAddress = PciAddressIn(Parent(hostPath));
    if (!host.pciAddress.empty())
        Note(m_reader.GetDeviceDriver(host.pciAddress, BUS_PCI, host.pciDriver),
             "PCI device " + host.pciAddress);
    m_hosts[host.name] = std::move(host);
}

void Walk::NoteConnection(const ClassDeviceRecord& device)
{
    const std::string path = device.DevicePath();
    std::string_view session = Parent(path);
    if (session.empty())
        return;
    m_connectionsBySession[std::string(session)].push_back(
        {device.name, KeptAttributes(device.own, ReadBy(Object::Connection, m_reads))});
}

SessionRecord Walk::JoinSession(const ClassDeviceRecord& device, std::vector<DiskRecord> disks)
{
    SessionRecord session;
    session.name = device.name;
    session.attributes = device.own;
    session.disks = std::move(disks);
    const std::string path = device.DevicePath();
    if (path.empty())
        return session;
    auto host = m_hosts.find(std::string(BaseName(Parent(path))));
    if (host != m_hosts.end())
        session.host = &host->second;
    auto connections = m_connectionsBySession.find(path);
    if (connections != m_connectionsBySession.end()) {
        session.connections = std::move(connections->second);
        m_connectionsBySession.erase(connections);
    }
    return session;
}

void Walk::ClassList(const std::string& cls, DeviceMap& devices)
{
    Note(m_reader.GetClsDeviceList(cls, devices), "class " + cls);
}

bool Walk::ClassAttributes(const std::string& cls, ClassDeviceRecord& device,
                           const AttributeNames& names)
{
    // The device behind is read whole where the class device is (the forms
    // that show it); else only its identity is needed, for the join.
    const AttributeNames deviceNames = names ? AttributeNames(std::vector<std::string>{}) : kEveryAttribute;
    const int result =
        Note(m_reader.GetClsDeviceNamedAttr(cls, device.name, names, device.own, deviceNames,
                                            device.identity, device.device),
             cls + " device " + device.name);
    MaskSecrets(device.own);
    MaskSecrets(device.device);
    return result == READER_NOT_FOUND && CSysfsReader::LastFailure() == 0;
}

void Walk::PathAttributes(const std::string& path, DeviceMap& directories,
                          const AttributeNames& names)
{
    // The whole-directory query where everything is shown: its rules for an
    // empty subdirectory are those the text form has always shown.
    Note(names ? m_reader.GetDevicePathNamedAttr(path, names, directories)
               : m_reader.GetDevicePathAttr(path, directories),
         path);
    for (auto& [directory, attributes] : directories)
        MaskSecrets(attributes);
}

void Walk::MaskSecrets(AttributeMap& attributes) const
{
    if (m_showSecrets)
        return;
    for (auto& [key, value] : attributes)
        if (IsSecretAttribute(key, value))
            value = kSecretMask;
}

// Sysfs not mounted and not mountable ends the run.  An object that could
// not be read (not one that is absent) is kept as an error; the inventory
// still shows whatever the maps hold.
int Walk::Note(int result, const std::string& object)
{
    if (result == READER_MOUNT_FAILED)
        m_mountFailed = true;
    if (const int error = CSysfsReader::LastFailure(); error != 0 && !m_outOfMemory) {
        m_errors.push_back({result == READER_MOUNT_FAILED ? std::string("the mount table") : object,
                            error});
        m_outOfMemory = error == ENOMEM;
    }
    return result;
}

}  // namespace inventory

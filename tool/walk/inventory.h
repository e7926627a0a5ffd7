// SPDX-License-Identifier: MIT
// The inventory walk: one pass over the reader's queries that hands what it
// finds, as plain records, to the output form that asked for it.
#ifndef ISCSI_INVENTORY_INVENTORY_H
#define ISCSI_INVENTORY_INVENTORY_H

#include <cstdint>
#include <fstream>
#include <initializer_list>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <sysfsreader/reader.h>

#include "base/bus_address.h"

namespace inventory {

namespace mapper {
struct MultipathMap;
class MapReader;
}  // namespace mapper

using Quentor::LinuxEnum::AttributeMap;
using Quentor::LinuxEnum::DeviceMap;

// One of the four iSCSI classes, in the order they are walked, with the
// heading the text form gives its devices.
struct IscsiClass {
    const char* name;
    const char* heading;
};
extern const IscsiClass kIscsiClasses[4];

using Quentor::LinuxEnum::DeviceIdentity;

// A class device as the reader gives it: its entry in the class listing
// ("classname", "path"), its own attributes, and the device behind it, when
// there is one: its identity and its attributes.
struct ClassDeviceRecord {
    std::string name;
    AttributeMap listed;
    AttributeMap own;
    std::optional<DeviceIdentity> identity;
    AttributeMap device;

    // The device behind as one list, the way the text form shows it: the
    // identity's keys ("bus", "bus_id", "driver_name", "name", "path") among
    // its attribute files, in name order, a key before a file of its name.
    std::vector<std::pair<std::string_view, std::string_view>> DeviceLines() const;
    // The canonical directory of the device behind; empty without one.
    std::string DevicePath() const { return identity ? identity->path : std::string(); }
};

// A logical unit below a session: targetH:C:T/H:C:T:L.
struct DiskRecord {
    std::string name;            // H:C:T:L
    std::string path;            // its canonical directory
    std::string address[4];      // controller, bus, target, LUN
    std::optional<std::string> state;
    std::optional<std::string> blockDevice;  // sdX
    // Read only for the joined session records: the device's attributes
    // (vendor, model, rev, wwid, ioerr_cnt, ...) and its block device's (size).
    AttributeMap attributes;
    AttributeMap block;
    // The device-mapper devices above its block device (multipath, LVM,
    // crypt...), from block/sdX/holders.
    struct Holder {
        std::string device;  // dm-N
        std::optional<std::string> name, uuid;  // dm/name, dm/uuid
        // A multipath map as the device-mapper itself sees it, where it was
        // read (one reading shared by all the map's paths).
        std::shared_ptr<const mapper::MultipathMap> map;
        bool Multipath() const { return uuid && uuid->compare(0, 6, "mpath-") == 0; }
    };
    std::vector<Holder> holders;
};

// Those of keys among attributes, kept until the sessions come: a flat list
// in name order, which holds a few values in half the memory of a map of
// them (and a walk over thousands of sessions holds thousands at once).
// Looked up like an AttributeMap.
class KeptAttributes {
public:
    using const_iterator = std::vector<std::pair<std::string, std::string>>::const_iterator;

    KeptAttributes() = default;
    // Those of attributes that names (in name order) lists.
    KeptAttributes(const AttributeMap& attributes, const std::vector<std::string>& names);

    const_iterator find(std::string_view key) const;
    const_iterator begin() const { return m_pairs.begin(); }
    const_iterator end() const { return m_pairs.end(); }
    std::size_t count(std::string_view key) const { return find(key) == end() ? 0 : 1; }

private:
    std::vector<std::pair<std::string, std::string>> m_pairs;
};

// An iSCSI host: those of its iscsi_host attributes, the driver that made it (its
// scsi_host's proc_name) and, for an offload HBA, the PCI card it sits on.
struct HostRecord {
    std::string name;        // hostN
    KeptAttributes attributes;  // those of its fields the form shows
    std::string procName;    // iscsi_tcp, iscsi_iser, be2iscsi, ...
    std::string pciAddress;  // domain:bus:device.function; empty for a software host
    std::string pciDriver;
};

struct ConnectionRecord {
    std::string name;  // connectionS:C
    KeptAttributes attributes;  // those of its fields the form shows
};

// One session joined with its host, its connections and its disks.
struct SessionRecord {
    std::string name;  // sessionN
    AttributeMap attributes;
    const HostRecord* host = nullptr;  // null when the session's host is not listed
    std::vector<ConnectionRecord> connections;
    std::vector<DiskRecord> disks;
};

// A number as the kernel prints it: decimal, or with hex 0x... (a plain
// number is still read as decimal).  Anything else is no number, so that a
// value never turns into a wrong one.
std::optional<std::uint64_t> KernelNumber(std::string_view text, bool hex = false);

// The kernel's words for the states that let I/O through: a session's, a
// connection's, a SCSI device's.
inline constexpr std::string_view kLoggedIn = "LOGGED_IN";
inline constexpr std::string_view kConnectionUp = "up";
inline constexpr std::string_view kDeviceRunning = "running";

// The number N of the session the kernel names sessionN; none for any other
// name.
std::optional<std::uint64_t> SessionNumber(std::string_view name);

// The session a selection names: "session4", or "4" for short.
std::string SessionNamed(std::string_view wanted);

// How a device-mapper map is called to people and in labels: its name
// (mpatha), or its block device (dm-0) where the name could not be read.
std::string_view MapName(const std::optional<std::string>& name, const std::string& device);

// The value of key among attributes, or nothing when the kernel did not give
// it (absent, or refused: address and port during recovery).  The one lookup
// every form makes; how a missing value shows is each form's own rule.
template <typename Attributes>
std::optional<std::string_view> ValueOf(const Attributes& attributes, const std::string& key)
{
    auto found = attributes.find(key);
    if (found == attributes.end())
        return std::nullopt;
    return std::string_view(found->second);
}

// A block device's size in bytes, from its "size" attribute (the block layer
// counts 512-byte sectors whatever the disk's own sector size); nothing
// when that is no number or the bytes would not fit.
std::optional<std::uint64_t> SizeBytes(const AttributeMap& block);

// Whether a's SCSI address (controller, bus, target, LUN) comes before b's,
// in the order of base/bus_address.h.
inline bool AddressLess(const std::string (&a)[4], const std::string (&b)[4])
{
    return base::ScsiAddressLess(a, b);
}

// The number a kernel object's name ends in: "2" for session2 and host2
// (the whole name when it ends in none).
std::string_view NumberIn(std::string_view name);

// A SCSI inquiry string (vendor, model, rev) without the blanks that pad it
// to its field's width.
std::string InquiryText(std::string_view padded);

// The target portal of the session's first connection, address:port, an IPv6
// address in brackets as iscsiadm writes it; empty when either is unknown.
std::string PortalOf(const SessionRecord& session);

// The multipath map above a disk, if any of its holders is one.
const DiskRecord::Holder* MultipathHolder(const DiskRecord& disk);

// The name udev gives a disk of the session under /dev/disk/by-path
// (ip-<portal address>:<port>-iscsi-<target>-lun-<lun>); empty when a part of
// it is unknown.
std::string ByPathName(const SessionRecord& session, const DiskRecord& disk);

// The transport a host's driver speaks, as iSCSI names it: "tcp" for
// iscsi_tcp, "iser" for iscsi_iser (the hosts of ib_iser), the driver's own
// name for offload HBAs.
std::string TransportOf(const std::string& procName);

// The scsi_host entry named "iscsi".  Each of its "path" attributes (taken in
// the order listed, own, device) is followed one level down; listings[i] is
// the directory map after the i-th path, which keeps what earlier paths
// found.
struct IscsiHostRecord {
    ClassDeviceRecord entry;
    std::vector<DeviceMap> listings;
};

// What an output form is told, in walk order.  Every hook has a default that
// ignores it: a form says only what it wants.
class Sink {
public:
    virtual ~Sink() = default;
    // Whether the walk should find each session's disks for SessionDisks()
    // (more queries).
    virtual bool WantsDisks() const { return false; }
    // Whether the walk should join each session with its host, connections
    // and disks (more queries still) for Session().
    virtual bool WantsSessions() const { return false; }
    // Whether the form shows the iSCSI classes' devices themselves
    // (ClassDevice, IscsiHost): they are then read whole, every class.
    // Otherwise the walk reads only the files of the fields Reads() names
    // and the class devices' identities.
    virtual bool ShowsClasses() const { return false; }
    // The fields the form shows or judges, as FormBits (walk/fields.h).
    virtual unsigned Reads() const { return 0; }
    // Whether the output has failed: the walk then stops.
    virtual bool Failed() const { return false; }
    virtual void ClassDevice(const IscsiClass&, const ClassDeviceRecord&) {}
    // In place of ClassDevice, for a device that the listing named but that
    // was gone by the time it was read (a session that logged out): only
    // its listing is known.  Forms that show whole objects leave it out.
    virtual void GoneDevice(const IscsiClass&, const ClassDeviceRecord&) {}
    // For a session, right after its ClassDevice, when WantsDisks().
    virtual void SessionDisks(const std::vector<DiskRecord>&) {}
    // The end of one class's devices.
    virtual void EndClass(const IscsiClass&) {}
    // At most once, after the four classes.
    virtual void IscsiHost(const IscsiHostRecord&) {}
    // For each session the selection takes, when WantsSessions(), after its
    // ClassDevice and SessionDisks.
    virtual void Session(const SessionRecord&) {}
};

// Which sessions the joined forms show: those whose target is one of
// targets (any, when none is given) and whose name or number is one of
// sessions (any, when none is given).
struct Selection {
    std::vector<std::string> targets;
    std::vector<std::string> sessions;  // "session4" or "4"

    // Whether nothing was selected: every session is taken.
    bool TakesAll() const { return targets.empty() && sessions.empty(); }
    bool Takes(const std::string& name, const AttributeMap& attributes) const;
};

// Runs the queries through one reader.  What it hands on is what the output
// may show: a set CHAP secret only as the mask unless showSecrets, so that no
// form of the output can print one by mistake.
class Walk {
public:
    Walk(std::ofstream* log, bool showSecrets, Selection selection = {});
    ~Walk();

    // The whole inventory into sink; it stops early when sysfs cannot be
    // mounted, memory runs out or the sink's output has failed.
    void Run(Sink& sink);

    bool MountFailed() const { return m_mountFailed; }

    // Whether the device-mapper's own view of the multipath maps was read:
    // met, when the device-mapper answered or refused for a map the walk
    // found (its form showing paths); unread, why it did not answer (no
    // privilege, no device-mapper reachable from here).
    struct MapStates {
        bool met = false;
        std::optional<std::string> unread;
    };
    const MapStates& Maps() const { return m_mapStates; }

    // An object that could not be read: what it is, and the errno.
    struct Error {
        std::string object;
        int error;
    };
    // Every failure met, in walk order.  Absent objects (a class not loaded,
    // a session gone while the walk ran) are none.
    const std::vector<Error>& Errors() const { return m_errors; }

private:
    bool Stopped(const Sink& sink) const { return m_mountFailed || m_outOfMemory || sink.Failed(); }
    void ClassPass(Sink& sink, const IscsiClass& cls);
    void IscsiHostPass(Sink& sink);
    std::vector<DiskRecord> DisksBelow(const std::string& sessionDevicePath, bool full);
    void IndexScsiBus(const std::string& devicePath);
    void ReadHolders(DiskRecord& disk);
    // The map on block device dm-N as the device-mapper sees it, read once
    // per walk; null where it could not be (a failure noted) or need not be.
    std::shared_ptr<const mapper::MultipathMap> MapOf(const DiskRecord::Holder& holder);
    void NoteHost(const ClassDeviceRecord& device);
    void NoteConnection(const ClassDeviceRecord& device);
    SessionRecord JoinSession(const ClassDeviceRecord& device, std::vector<DiskRecord> disks);

    void ClassList(const std::string& cls, DeviceMap& devices);
    // Whether the device is gone (not there, or going away while it was
    // read): then nothing of it was kept.  Its attributes named, or all.
    bool ClassAttributes(const std::string& cls, ClassDeviceRecord& device,
                         const Quentor::LinuxEnum::AttributeNames& names =
                             Quentor::LinuxEnum::kEveryAttribute);
    void PathAttributes(const std::string& path, DeviceMap& directories,
                        const Quentor::LinuxEnum::AttributeNames& names =
                            Quentor::LinuxEnum::kEveryAttribute);
    void MaskSecrets(AttributeMap& attributes) const;
    int Note(int result, const std::string& object);

    Quentor::LinuxEnum::CSysfsReader m_reader;
    bool m_showSecrets;
    // What the form of the run shows: the classes whole, and the fields'
    // bits (Sink::ShowsClasses, Sink::Reads).
    bool m_whole = true;
    unsigned m_reads = 0;
    Selection m_selection;
    bool m_mountFailed = false;
    // Memory ran out: the walk stops there rather than fail object after
    // object, and the run has failed.
    bool m_outOfMemory = false;
    std::vector<Error> m_errors;
    std::unique_ptr<mapper::MapReader> m_mapReader;
    std::map<std::string, std::shared_ptr<const mapper::MultipathMap>> m_maps;  // by dm-N
    MapStates m_mapStates;
    // The SCSI bus's logical units (name, canonical path, address), by the
    // canonical path of the session directory they sit below; filled at the
    // first device whose path shows where the bus lies.
    struct IndexedDisk {
        std::string name, path;
        std::string address[4];
    };
    std::optional<std::map<std::string, std::vector<IndexedDisk>>> m_disksBySession;
    // For joining sessions: hosts by name, connections by the canonical path
    // of the session directory they sit in.
    std::map<std::string, HostRecord> m_hosts;
    std::map<std::string, std::vector<ConnectionRecord>> m_connectionsBySession;
};

}  // namespace inventory

#endif

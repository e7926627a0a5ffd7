// SPDX-License-Identifier: MIT
#include "forms/json_output.h"

#include "forms/luns_output.h"
#include "mapper/multipath_map.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string_view>
#include <utility>

#include "walk/fields.h"
#include "json/json_string.h"

namespace inventory {

namespace {

Json Attributes(const AttributeMap& attributes)
{
    Json object = Json::Object();
    for (const auto& [key, value] : attributes)
        object.Add(Carry(key), Carry(value));
    return object;
}

std::string TextOf(const AttributeMap& attributes, const std::string& key)
{
    return std::string(ValueOf(attributes, key).value_or(""));
}

// The device behind a class device: its identity, and its attribute files
// apart (a file named like an identity key among them).
Json PhysicalDevice(const ClassDeviceRecord& record)
{
    if (!record.identity)
        return nullptr;
    const DeviceIdentity& identity = *record.identity;
    Json device = Json::Object();
    device["bus_id"] = Carry(identity.busId);
    device["bus"] = Carry(identity.bus);
    device["driver_name"] = Carry(identity.driverName);
    device["path"] = Carry(identity.path);
    device["name"] = Carry(identity.name);
    device["attributes"] = Attributes(record.device);
    return device;
}

Json ClassDeviceObject(const ClassDeviceRecord& device)
{
    Json object = Json::Object();
    object["name"] = Carry(device.name);
    object["classname"] = Carry(TextOf(device.listed, "classname"));
    object["path"] = Carry(TextOf(device.listed, "path"));
    object["attributes"] = Attributes(device.own);
    object["device"] = PhysicalDevice(device);
    return object;
}

Json OptionalString(const std::optional<std::string>& value)
{
    return value ? Json(Carry(*value)) : Json(nullptr);
}

// A logical unit with every path to it.
Json LunObject(const LunRecord& lun)
{
    Json object = Json::Object();
    object["wwid"] = OptionalString(lun.wwid);
    object["size_bytes"] = lun.sizeBytes ? Json(*lun.sizeBytes) : Json(nullptr);
    object["vendor"] = OptionalString(lun.vendor);
    object["model"] = OptionalString(lun.model);
    object["rev"] = OptionalString(lun.rev);
    const std::optional<bool> readOnly = lun.ReadOnly();
    object["read_only"] = readOnly ? Json(*readOnly) : Json(nullptr);
    if (lun.multipath) {
        Json map = Json::Object();
        map["name"] = OptionalString(lun.multipath->name);
        map["device"] = Carry(lun.multipath->device);
        // The device-mapper's own view, null where it was not read.
        const mapper::MultipathMap* dm = lun.multipath->dm.get();
        Json features = Json::Array();
        Json groups = Json::Array();
        if (dm) {
            for (const std::string& feature : dm->features)
                features.PushBack(Carry(feature));
            for (const mapper::PathGroup& group : dm->groups) {
                Json entry = Json::Object();
                entry["state"] = std::string(mapper::GroupStateName(group.state));
                entry["selector"] = Carry(group.selector);
                entry["paths"] = static_cast<std::uint64_t>(group.paths.size());
                groups.PushBack(std::move(entry));
            }
        }
        map["features"] = dm ? std::move(features) : Json(nullptr);
        map["queue_if_no_path"] = dm ? Json(dm->queueIfNoPath) : Json(nullptr);
        map["hardware_handler"] = dm ? Json(Carry(dm->hardwareHandler)) : Json(nullptr);
        map["groups"] = dm ? std::move(groups) : Json(nullptr);
        object["multipath"] = std::move(map);
    } else {
        object["multipath"] = nullptr;
    }
    Json paths = Json::Array();
    for (const PathRecord& path : lun.paths) {
        Json entry = Json::Object();
        entry["session"] = Carry(path.session);
        entry["target"] = OptionalString(path.target);
        entry["portal"] = OptionalString(path.portal);
        entry["iface"] = OptionalString(path.iface);
        entry["hctl"] = Carry(path.hctl);
        entry["block_device"] = OptionalString(path.blockDevice);
        entry["state"] = OptionalString(path.state);
        const std::optional<MapPathState>& dm = path.dm;
        entry["dm_state"] = !dm ? Json(nullptr)
                            : !dm->inMap ? Json(std::string("not in map"))
                                         : Json(std::string(dm->active ? "active" : "failed"));
        entry["fail_count"] = dm && dm->inMap ? Json(static_cast<std::uint64_t>(dm->failCount)) : Json(nullptr);
        entry["group"] = dm && dm->inMap ? Json(static_cast<std::uint64_t>(dm->group)) : Json(nullptr);
        paths.PushBack(std::move(entry));
    }
    object["paths"] = std::move(paths);
    object["paths_running"] = static_cast<std::uint64_t>(lun.PathsRunning());
    return object;
}

// A number the kernel prints in decimal (or, with hex, as 0x...): null for
// anything else.
Json NumberOf(std::string_view text, bool hex = false)
{
    std::optional<std::uint64_t> number = KernelNumber(text, hex);
    return number ? Json(*number) : Json(nullptr);
}

// Each field of the table into object, under its key.
template <typename Attributes>
void Put(Json& object, const Attributes& attributes, std::initializer_list<Field> fields)
{
    for (const Field& f : fields)
        object[f.key] = InDocument(f, Raw(attributes, f));
}

Json ConnectionObject(const ConnectionRecord& connection)
{
    Json object = Json::Object();
    object["name"] = Carry(connection.name);
    Put(object, connection.attributes,
        {field::kConnectionState, field::kPersistentAddress, field::kPersistentPort, field::kAddress,
         field::kPort, field::kLocalPort});
    return object;
}

Json DiskObject(const SessionRecord& session, const DiskRecord& disk)
{
    const AttributeMap& a = disk.attributes;
    Json object = Json::Object();
    object["hctl"] = Carry(disk.name);
    static const char* const kFields[] = {"host", "channel", "target", "lun"};
    for (int i = 0; i < 4; ++i)
        object[kFields[i]] = NumberOf(disk.address[i]);
    object["state"] = OptionalString(disk.state);
    object["block_device"] = OptionalString(disk.blockDevice);
    std::optional<std::uint64_t> size = SizeBytes(disk.block);
    object["size_bytes"] = size ? Json(*size) : Json(nullptr);
    Put(object, a, {field::kVendor, field::kModel, field::kRev, field::kWwid});
    const std::string byPath = ByPathName(session, disk);
    object["by_path"] = byPath.empty() ? Json(nullptr) : Json(Carry(byPath));
    Put(object, a, {field::kIoErrors, field::kIoTimeouts, field::kIoRequests});
    Json holders = Json::Array();
    for (const DiskRecord::Holder& holder : disk.holders) {
        Json entry = Json::Object();
        entry["device"] = Carry(holder.device);
        entry["name"] = OptionalString(holder.name);
        entry["dm_uuid"] = OptionalString(holder.uuid);
        entry["multipath"] = holder.Multipath();
        holders.PushBack(std::move(entry));
    }
    object["holders"] = std::move(holders);
    return object;
}

Json SessionObject(const SessionRecord& session)
{
    const AttributeMap& a = session.attributes;
    Json object = Json::Object();
    object["name"] = Carry(session.name);
    const std::optional<std::uint64_t> sid = SessionNumber(session.name);
    object["sid"] = sid ? Json(*sid) : Json(nullptr);
    Put(object, a,
        {field::kTarget, field::kTpgt, field::kInitiator, field::kIface, field::kSessionState,
         field::kTargetState});
    if (session.host != nullptr) {
        const HostRecord& host = *session.host;
        object["host"] = Carry(host.name);
        object["transport"] = host.procName.empty() ? Json(nullptr) : Json(Carry(TransportOf(host.procName)));
        object["proc_name"] = host.procName.empty() ? Json(nullptr) : Json(Carry(host.procName));
        object["pci_address"] = host.pciAddress.empty() ? Json(nullptr) : Json(host.pciAddress);
        object["pci_driver"] = host.pciDriver.empty() ? Json(nullptr) : Json(Carry(host.pciDriver));
    } else {
        for (const char* key : {"host", "transport", "proc_name", "pci_address", "pci_driver"})
            object[key] = nullptr;
    }
    Json connections = Json::Array();
    for (const ConnectionRecord& connection : session.connections)
        connections.PushBack(ConnectionObject(connection));
    object["connections"] = std::move(connections);
    // "off" is the kernel's word for a recovery timeout that never expires:
    // it is no number of seconds, least of all 0.
    Json timeouts = Json::Object();
    const RecoveryTimeout recovery = RecoveryOf(a);
    timeouts["recovery"] = recovery.seconds ? Json(*recovery.seconds) : Json(nullptr);
    timeouts["recovery_off"] = recovery.off;
    Put(timeouts, a, {field::kAbortTimeout, field::kLuResetTimeout, field::kTgtResetTimeout});
    object["timeouts"] = std::move(timeouts);
    Json disks = Json::Array();
    for (const DiskRecord& disk : session.disks)
        disks.PushBack(DiskObject(session, disk));
    object["disks"] = std::move(disks);
    return object;
}

std::size_t ClassIndex(const IscsiClass& cls)
{
    for (std::size_t i = 0; i < std::size(kIscsiClasses); ++i)
        if (std::strcmp(kIscsiClasses[i].name, cls.name) == 0)
            return i;
    return std::size(kIscsiClasses);
}

}  // namespace

JsonOutput::JsonOutput(Output& out) : m_out(out)
{
    m_text = "{\n";
    Key("format_version");
    m_text += Json(kFormatVersion).Dump();
    m_text += ",\n";
}

void JsonOutput::ClassDevice(const IscsiClass& cls, const ClassDeviceRecord& device)
{
    WriteHeld();
    m_heldClass = ClassIndex(cls);
    if (m_heldClass < std::size(kIscsiClasses))
        m_held = ClassDeviceObject(device);
}

void JsonOutput::SessionDisks(const std::vector<DiskRecord>& disks)
{
    if (!m_held)
        return;
    Json array = Json::Array();
    for (const DiskRecord& disk : disks) {
        Json object = Json::Object();
        object["name"] = Carry(disk.name);
        object["path"] = Carry(disk.path);
        object["controller"] = Carry(disk.address[0]);
        object["bus"] = Carry(disk.address[1]);
        object["target"] = Carry(disk.address[2]);
        object["lun"] = Carry(disk.address[3]);
        object["state"] = OptionalString(disk.state);
        object["block_device"] = OptionalString(disk.blockDevice);
        array.PushBack(std::move(object));
    }
    (*m_held)["disks"] = std::move(array);
    WriteHeld();
}

void JsonOutput::EndClass(const IscsiClass& cls)
{
    WriteHeld();
    CloseClassesBefore(std::min(ClassIndex(cls) + 1, std::size(kIscsiClasses)));
}

void JsonOutput::IscsiHost(const IscsiHostRecord& host)
{
    WriteHeld();
    CloseClassesBefore(std::size(kIscsiClasses));
    Json object = ClassDeviceObject(host.entry);
    Json listing = Json::Object();
    if (!host.listings.empty())
        for (const auto& [directory, attributes] : host.listings.back())
            listing.Add(Carry(directory), Attributes(attributes));
    object["directories"] = std::move(listing);
    Key("iscsi_scsi_host");
    object.AppendTo(m_text, 1);
    m_text += ",\n";
    m_iscsiHostDone = true;
}

void JsonOutput::Session(const SessionRecord& session)
{
    std::string text = m_anySession ? ",\n    " : "    ";
    SessionObject(session).AppendTo(text, 2);
    m_sessions.Append(text);
    m_anySession = true;
    m_topology.Add(session);
}

int JsonOutput::Finish(const Walk& walk)
{
    int spoolError = 0;
    if ((!walk.MountFailed() || m_started) && !m_out.Failed())
        spoolError = WriteRest(walk.Errors(), walk.Maps());
    return EndReport(m_out, walk, spoolError,
                     "cannot read back the sessions kept aside for the document");
}

int JsonOutput::WriteRest(const std::vector<Walk::Error>& errors, const Walk::MapStates& maps)
{
    WriteHeld();
    CloseClassesBefore(std::size(kIscsiClasses));
    if (!m_iscsiHostDone)
        m_text += "  \"iscsi_scsi_host\": null,\n";
    Key("sessions");
    if (m_anySession) {
        m_text += "[\n";
        Flush();
        if (int error = m_sessions.Replay([this](std::string_view text) { m_out.Text(text); }))
            return error;
        m_text += "\n  ]";
    } else {
        m_text += "[]";
    }
    m_text += ",\n";
    // One LUN at a time, as the class devices go: the array whole, as a
    // tree and as text, would hold every path of the host twice more.
    Key("luns");
    const std::vector<LunRecord> luns = m_topology.Luns();
    if (luns.empty())
        m_text += "[]";
    for (std::size_t i = 0; i < luns.size(); ++i) {
        m_text += i == 0 ? "[\n    " : ",\n    ";
        LunObject(luns[i]).AppendTo(m_text, 2);
        FlushChunk();
    }
    if (!luns.empty())
        m_text += "\n  ]";
    m_text += ",\n";
    // Whether the maps' own path states were read: null without a map.
    Key("multipath_states");
    if (maps.met) {
        Json states = Json::Object();
        states["read"] = !maps.unread.has_value();
        states["reason"] = maps.unread ? Json(Carry(*maps.unread)) : Json(nullptr);
        states.AppendTo(m_text, 1);
    } else {
        m_text += "null";
    }
    m_text += ",\n";
    Json list = Json::Array();
    for (const Walk::Error& error : errors) {
        Json entry = Json::Object();
        entry["object"] = Carry(error.object);
        entry["error"] = std::string(std::strerror(error.error));
        list.PushBack(std::move(entry));
    }
    Key("errors");
    list.AppendTo(m_text, 1);
    m_text += "\n}\n";
    Flush();
    return 0;
}

// The class device held is an element of its class's array, which it opens
// when it is the first.
void JsonOutput::WriteHeld()
{
    if (!m_held)
        return;
    CloseClassesBefore(m_heldClass);
    if (m_classOpen) {
        m_text += ",\n    ";
    } else {
        Key(kIscsiClasses[m_classesDone].name);
        m_text += "[\n    ";
        m_classOpen = true;
    }
    m_held->AppendTo(m_text, 2);
    m_held.reset();
    FlushChunk();
}

// Every class before end is written: the open one closed, one without a
// device as [].
void JsonOutput::CloseClassesBefore(std::size_t end)
{
    for (; m_classesDone < end; ++m_classesDone) {
        if (m_classOpen) {
            m_text += "\n  ],\n";
            m_classOpen = false;
        } else {
            Key(kIscsiClasses[m_classesDone].name);
            m_text += "[],\n";
        }
    }
}

void JsonOutput::Key(const char* name)
{
    m_text += "  \"";
    m_text += name;
    m_text += "\": ";
}

void JsonOutput::Flush()
{
    if (m_text.empty())
        return;
    m_out.Text(m_text);
    m_text.clear();
    m_started = true;
}

void JsonOutput::FlushChunk()
{
    if (m_text.size() >= Spool::kChunk)
        Flush();
}

}  // namespace inventory

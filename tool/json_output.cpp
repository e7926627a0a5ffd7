// SPDX-License-Identifier: MIT
#include "json_output.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string_view>
#include <utility>

#include "json_string.h"

namespace inventory {

namespace {

using Json = nlohmann::ordered_json;

Json Attributes(const AttributeMap& attributes)
{
    Json object = Json::object();
    for (const auto& [key, value] : attributes)
        object[Carry(key)] = Carry(value);
    return object;
}

std::string ValueOf(const AttributeMap& attributes, const std::string& key)
{
    auto found = attributes.find(key);
    return found == attributes.end() ? std::string() : found->second;
}

// The device behind a class device: the reader puts its identity first and
// its attribute files after, under the names of neither.
Json PhysicalDevice(const AttributeMap& deviceAttributes)
{
    if (deviceAttributes.empty())
        return nullptr;
    static const char* const kIdentity[] = {"bus_id", "bus", "driver_name", "path", "name"};
    Json device = Json::object();
    AttributeMap rest = deviceAttributes;
    for (const char* key : kIdentity) {
        device[key] = Carry(ValueOf(deviceAttributes, key));
        rest.erase(key);
    }
    device["attributes"] = Attributes(rest);
    return device;
}

Json ClassDeviceObject(const ClassDeviceRecord& device)
{
    Json object = Json::object();
    object["name"] = Carry(device.name);
    object["classname"] = Carry(ValueOf(device.listed, "classname"));
    object["path"] = Carry(ValueOf(device.listed, "path"));
    object["attributes"] = Attributes(device.own);
    object["device"] = PhysicalDevice(device.device);
    return object;
}

Json OptionalString(const std::optional<std::string>& value)
{
    return value ? Json(Carry(*value)) : Json(nullptr);
}

// An attribute as a string, null when the kernel did not give it (absent,
// or refused as address and port are during recovery).
template <typename Attributes>
Json StringOf(const Attributes& attributes, const std::string& key)
{
    auto found = attributes.find(key);
    return found == attributes.end() ? Json(nullptr) : Json(Carry(found->second));
}

// A number the kernel prints in decimal (or, with hex, as 0x...): null for
// anything else.
Json NumberOf(const std::string& text, bool hex = false)
{
    std::optional<std::uint64_t> number = KernelNumber(text, hex);
    return number ? Json(*number) : Json(nullptr);
}

template <typename Attributes>
Json NumberAt(const Attributes& attributes, const std::string& key, bool hex = false)
{
    auto found = attributes.find(key);
    return found == attributes.end() ? Json(nullptr) : NumberOf(found->second, hex);
}

std::string NameNumber(const std::string& name, std::string_view prefix)
{
    return name.compare(0, prefix.size(), prefix) == 0 ? name.substr(prefix.size()) : std::string();
}

Json ConnectionObject(const ConnectionRecord& connection)
{
    const KeptAttributes& a = connection.attributes;
    Json object = Json::object();
    object["name"] = Carry(connection.name);
    object["state"] = StringOf(a, "state");
    object["persistent_address"] = StringOf(a, "persistent_address");
    object["persistent_port"] = NumberAt(a, "persistent_port");
    object["address"] = StringOf(a, "address");
    object["port"] = NumberAt(a, "port");
    object["local_port"] = NumberAt(a, "local_port");
    return object;
}

Json DiskObject(const SessionRecord& session, const DiskRecord& disk)
{
    const AttributeMap& a = disk.attributes;
    Json object = Json::object();
    object["hctl"] = Carry(disk.name);
    static const char* const kFields[] = {"host", "channel", "target", "lun"};
    for (int i = 0; i < 4; ++i)
        object[kFields[i]] = NumberOf(disk.address[i]);
    object["state"] = OptionalString(disk.state);
    object["block_device"] = OptionalString(disk.blockDevice);
    // The block layer counts 512-byte sectors whatever the disk's own size.
    Json sectors = NumberAt(disk.block, "size");
    object["size_bytes"] = sectors.is_null() ? Json(nullptr)
                                             : Json(sectors.get<std::uint64_t>() * 512);
    object["vendor"] = StringOf(a, "vendor");
    object["model"] = StringOf(a, "model");
    object["rev"] = StringOf(a, "rev");
    object["wwid"] = StringOf(a, "wwid");
    const std::string byPath = ByPathName(session, disk);
    object["by_path"] = byPath.empty() ? Json(nullptr) : Json(Carry(byPath));
    object["io_errors"] = NumberAt(a, "ioerr_cnt", true);
    object["io_timeouts"] = NumberAt(a, "iotmo_cnt", true);
    object["io_requests"] = NumberAt(a, "iorequest_cnt", true);
    Json holders = Json::array();
    for (const DiskRecord::Holder& holder : disk.holders) {
        Json entry = Json::object();
        entry["device"] = Carry(holder.device);
        entry["name"] = OptionalString(holder.name);
        entry["dm_uuid"] = OptionalString(holder.uuid);
        entry["multipath"] = holder.Multipath();
        holders.push_back(std::move(entry));
    }
    object["holders"] = std::move(holders);
    return object;
}

Json SessionObject(const SessionRecord& session)
{
    const AttributeMap& a = session.attributes;
    Json object = Json::object();
    object["name"] = Carry(session.name);
    object["sid"] = NumberOf(NameNumber(session.name, "session"));
    object["target_name"] = StringOf(a, "targetname");
    object["tpgt"] = NumberAt(a, "tpgt");
    object["initiator_name"] = StringOf(a, "initiatorname");
    object["iface"] = StringOf(a, "ifacename");
    object["state"] = StringOf(a, "state");
    object["target_state"] = StringOf(a, "target_state");
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
    Json connections = Json::array();
    for (const ConnectionRecord& connection : session.connections)
        connections.push_back(ConnectionObject(connection));
    object["connections"] = std::move(connections);
    // "off" is the kernel's word for a recovery timeout that never expires:
    // it is no number of seconds, least of all 0.
    Json timeouts = Json::object();
    auto recovery = a.find("recovery_tmo");
    bool off = recovery != a.end() && recovery->second == "off";
    timeouts["recovery"] = off ? Json(nullptr) : NumberAt(a, "recovery_tmo");
    timeouts["recovery_off"] = off;
    timeouts["abort"] = NumberAt(a, "abort_tmo");
    timeouts["lu_reset"] = NumberAt(a, "lu_reset_tmo");
    timeouts["tgt_reset"] = NumberAt(a, "tgt_reset_tmo");
    object["timeouts"] = std::move(timeouts);
    Json disks = Json::array();
    for (const DiskRecord& disk : session.disks)
        disks.push_back(DiskObject(session, disk));
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

// Appends value as dump(2) prints it depth levels down the document: each
// line after the first indented two spaces a level.  Strings hold no raw
// newline (JSON escapes it), so every newline of the dump starts a line.
// The controls and separators that JSON lets stand raw are escaped too.
void AppendAt(std::string& text, const Json& value, int depth)
{
    const std::string dumped = value.dump(2);
    const std::string_view lines = dumped;
    const std::size_t pad = 2 * static_cast<std::size_t>(depth);
    std::size_t start = 0;
    for (std::size_t end; (end = lines.find('\n', start)) != std::string::npos; start = end + 1) {
        AppendJsonText(text, lines.substr(start, end + 1 - start));
        text.append(pad, ' ');
    }
    AppendJsonText(text, lines.substr(start));
}

}  // namespace

JsonOutput::JsonOutput(Output& out) : m_out(out)
{
    m_text = "{\n";
    Key("format_version");
    m_text += Json(kFormatVersion).dump();
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
    Json array = Json::array();
    for (const DiskRecord& disk : disks) {
        Json object = Json::object();
        object["name"] = Carry(disk.name);
        object["path"] = Carry(disk.path);
        object["controller"] = Carry(disk.address[0]);
        object["bus"] = Carry(disk.address[1]);
        object["target"] = Carry(disk.address[2]);
        object["lun"] = Carry(disk.address[3]);
        object["state"] = OptionalString(disk.state);
        object["block_device"] = OptionalString(disk.blockDevice);
        array.push_back(std::move(object));
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
    Json listing = Json::object();
    if (!host.listings.empty())
        for (const auto& [directory, attributes] : host.listings.back())
            listing[Carry(directory)] = Attributes(attributes);
    object["directories"] = std::move(listing);
    Key("iscsi_scsi_host");
    AppendAt(m_text, object, 1);
    m_text += ",\n";
    m_iscsiHostDone = true;
}

void JsonOutput::Session(const SessionRecord& session)
{
    std::string text = m_anySession ? ",\n    " : "    ";
    AppendAt(text, SessionObject(session), 2);
    m_sessions.Append(text);
    m_anySession = true;
}

int JsonOutput::Finish(const std::vector<Walk::Error>& errors)
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
    Json list = Json::array();
    for (const Walk::Error& error : errors)
        list.push_back({{"object", Carry(error.object)}, {"error", std::strerror(error.error)}});
    Key("errors");
    AppendAt(m_text, list, 1);
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
    AppendAt(m_text, *m_held, 2);
    m_held.reset();
    if (m_text.size() >= Spool::kChunk)
        Flush();
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

}  // namespace inventory

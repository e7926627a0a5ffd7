// SPDX-License-Identifier: MIT
#include "json_output.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
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
Json StringOf(const AttributeMap& attributes, const std::string& key)
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

Json NumberAt(const AttributeMap& attributes, const std::string& key, bool hex = false)
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
    const AttributeMap& a = connection.attributes;
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

}  // namespace

JsonOutput::JsonOutput(Output& out)
    : m_out(out), m_document(Json::object()), m_devices(Json::array()), m_sessions(Json::array())
{
    // Every key is there, in this order, whatever the walk finds.
    m_document["format_version"] = kFormatVersion;
    for (const IscsiClass& cls : kIscsiClasses)
        m_document[cls.name] = Json::array();
    m_document["iscsi_scsi_host"] = nullptr;
    m_document["sessions"] = Json::array();
    m_document["errors"] = Json::array();
}

void JsonOutput::Session(const SessionRecord& session)
{
    m_sessions.push_back(SessionObject(session));
}

void JsonOutput::ClassDevice(const IscsiClass&, const ClassDeviceRecord& device)
{
    m_devices.push_back(ClassDeviceObject(device));
}

void JsonOutput::SessionDisks(const std::vector<DiskRecord>& disks)
{
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
    m_devices.back()["disks"] = std::move(array);
}

void JsonOutput::EndClass(const IscsiClass& cls)
{
    m_document[cls.name] = std::exchange(m_devices, Json::array());
}

void JsonOutput::IscsiHost(const IscsiHostRecord& host)
{
    Json object = ClassDeviceObject(host.entry);
    Json listing = Json::object();
    if (!host.listings.empty())
        for (const auto& [directory, attributes] : host.listings.back())
            listing[Carry(directory)] = Attributes(attributes);
    object["directories"] = std::move(listing);
    m_document["iscsi_scsi_host"] = std::move(object);
}

void JsonOutput::Finish(const std::vector<Walk::Error>& errors)
{
    m_document["sessions"] = std::move(m_sessions);
    Json list = Json::array();
    for (const Walk::Error& error : errors)
        list.push_back({{"object", Carry(error.object)}, {"error", std::strerror(error.error)}});
    m_document["errors"] = std::move(list);
    m_out.Text(m_document.dump(2) + "\n");
}

}  // namespace inventory

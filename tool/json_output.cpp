#include "json_output.h"

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

}  // namespace

JsonOutput::JsonOutput(Output& out)
    : m_out(out), m_document(Json::object()), m_devices(Json::array())
{
    // Every key is there, in this order, whatever the walk finds.
    for (const IscsiClass& cls : kIscsiClasses)
        m_document[cls.name] = Json::array();
    m_document["iscsi_scsi_host"] = nullptr;
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

void JsonOutput::Finish()
{
    m_out.Text(m_document.dump(2) + "\n");
}

}  // namespace inventory

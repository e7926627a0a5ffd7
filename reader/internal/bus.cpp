#include "bus.h"

#include <algorithm>
#include <cstring>

namespace Quentor {
namespace LinuxEnum {
namespace detail {

namespace {

std::string Field(const char* field) { return std::string(field, strnlen(field, SYSFS_NAME_LEN)); }

bool SameDevices(const std::vector<BusDevice>& libsysfs, const std::vector<BusDevice>& ours)
{
    return std::equal(libsysfs.begin(), libsysfs.end(), ours.begin(), ours.end(),
                      [](const BusDevice& a, const BusDevice& b) {
                          return a.identity.busId == b.identity.busId &&
                                 a.identity.path == b.identity.path;
                      });
}

}  // namespace

DeviceIdentity IdentifyRecord(const sysfs_device& device, const std::string& mount)
{
    std::string bus = Field(device.bus);
    if (bus.empty())
        bus = sysfs::BusFromSubsystem(device.path, mount);
    return DeviceIdentity{Field(device.bus_id), std::move(bus), Field(device.driver_name),
                          std::string(device.path, strnlen(device.path, SYSFS_PATH_MAX)),
                          Field(device.name)};
}

std::optional<Bus> Bus::Open(const std::string& name, const std::string& mount)
{
    if (!sysfs::IsComponent(name) || !sysfs::NameFits(name))
        return std::nullopt;
    Bus bus;
    bus.m_handle.reset(OpenSysfsBus(name.c_str()));
    if (!bus.m_handle)
        return std::nullopt;
    bus.m_name = name;
    bus.m_path = bus.m_handle->path;
    bus.m_mount = mount;
    return bus;
}

const std::optional<std::vector<BusDevice>>& Bus::Devices()
{
    if (!m_devicesRead) {
        ReadDevices();
        m_devicesRead = true;
    }
    return m_devices;
}

void Bus::ReadDevices()
{
    // Our own reading comes first: it tells whether libsysfs can hold every
    // device, and what libsysfs must find if it is to be trusted.
    const std::string devicesDir = m_path + "/devices";
    std::vector<BusDevice> ours;
    bool fits = sysfs::FitsLibsysfs(devicesDir);
    for (const sysfs::LinkedDevice& linked : sysfs::ListLinkedDevices(devicesDir, m_mount)) {
        fits = fits && sysfs::DeviceFitsLibsysfs(linked.path);
        ours.push_back({sysfs::IdentifyDevice(linked.path, m_mount), nullptr});
    }
    // libsysfs keeps its list sorted by bus id; so does ours, whatever the link names.
    std::stable_sort(ours.begin(), ours.end(), [](const BusDevice& a, const BusDevice& b) {
        return a.identity.busId < b.identity.busId;
    });

    if (fits && LibsysfsFindsMount()) {
        std::vector<BusDevice> theirs;
        ForEach<sysfs_device>(sysfs_get_bus_devices(m_handle.get()), [&](sysfs_device* device) {
            theirs.push_back({IdentifyRecord(*device, m_mount), device});
        });
        if (SameDevices(theirs, ours)) {
            m_throughLibsysfs = true;
            ours = std::move(theirs);
        }
    }
    if (!ours.empty())
        m_devices = std::move(ours);
}

std::optional<BusDevice> Bus::FindDevice(std::string_view busId)
{
    const std::optional<std::vector<BusDevice>>& devices = Devices();
    if (!devices)
        return std::nullopt;
    for (const BusDevice& device : *devices) {
        if (device.identity.busId == busId)
            return device;
    }
    return std::nullopt;
}

AttributeSource Bus::Attributes(const BusDevice& device) const
{
    if (device.record != nullptr)
        return AttributeSource::FromLibsysfs(sysfs_get_device_attributes(device.record));
    return AttributeSource::FromRecords(sysfs::ReadAttributes(device.identity.path));
}

std::string Bus::DriverOf(std::string_view busId)
{
    Devices();
    const std::string driversDir = m_path + "/drivers";
    bool fits = m_throughLibsysfs && sysfs::FitsLibsysfs(driversDir);
    for (const std::string& driver : sysfs::ListSubdirectories(driversDir))
        fits = fits && sysfs::FitsLibsysfs(driversDir + "/" + driver);
    return fits ? DriverThroughLibsysfs(busId) : DriverOurselves(busId);
}

std::string Bus::DriverThroughLibsysfs(std::string_view busId)
{
    std::string found;
    ForEach<sysfs_driver>(sysfs_get_bus_drivers(m_handle.get()), [&](sysfs_driver* driver) {
        bool listed = !ForEach<sysfs_device>(GetDriverDevices(driver),
                                             [&](sysfs_device* device) {
                                                 return Field(device->bus_id) != busId;
                                             });
        if (listed)
            found = Field(driver->name);
        return !listed;
    });
    return found;
}

std::string Bus::DriverOurselves(std::string_view busId) const
{
    // A driver lists the devices its links name, each taken from the bus's
    // own devices directory, as libsysfs takes them; its "module" link and
    // anything else that names no device on the bus are passed over.
    const std::string driversDir = m_path + "/drivers";
    for (const std::string& driver : sysfs::ListSubdirectories(driversDir)) {
        for (const sysfs::LinkedDevice& linked :
             sysfs::ListLinkedDevices(driversDir + "/" + driver, m_mount)) {
            std::optional<std::string> device = sysfs::ResolveDirectory(
                m_path + "/devices/" + linked.name, m_mount);
            if (device && std::string_view(*device).substr(device->rfind('/') + 1) == busId)
                return driver;
        }
    }
    return {};
}

}  // namespace detail
}  // namespace LinuxEnum
}  // namespace Quentor

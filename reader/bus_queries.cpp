// Bus queries: the devices on a bus, the attributes of one of them, and the
// driver that serves it.  A device is named by its bus id, the key under
// which GetDeviceList files it.
#include "internal/bus.h"
#include "internal/no_throw.h"
#include "reader.h"

namespace Quentor {
namespace LinuxEnum {

using detail::Bus;
using detail::BusDevice;

int CSysfsReader::GetDeviceList(BusType busType, DeviceMap& devices)
{
    return detail::NoThrow(READER_BUS_ERROR, [&] {
        Trace("Entering CSysfsReader::GetDeviceList");
        std::string mount;
        int mounted = MountCheck(mount);
        if (mounted == READER_MOUNT_FAILED) {
            Trace("Leaving CSysfsReader::GetDeviceList, Sysfs File system not mounted");
            return mounted;
        }
        std::string busName;
        if (Lookup(busType, busName) != READER_OK) {
            Trace("Leaving CSysfsReader::GetDeviceList, Bus not mounted", busName);
            return READER_BUS_ERROR;
        }
        std::optional<Bus> bus = Bus::Open(busName, mount);
        if (!bus) {
            Trace("Leaving CSysfsReader::GetDeviceList, Error Opening Bus:", busName);
            return READER_BUS_ERROR;
        }
        // Each device is entered as it is met, so that a bus of any size is
        // read in one pass and no device directory stays open.
        AttributeMap entry;
        const bool any = bus->ForEachDevice([&](const BusDevice& device) {
            const detail::DeviceIdentity identity = bus->Identify(device);
            entry.clear();
            entry.emplace("name", identity.name);
            entry.emplace("bus", identity.bus);
            entry.emplace("driver_name", identity.driverName);
            entry.emplace("path", identity.path);
            devices.emplace(identity.busId, entry);
            Trace("Device pushed:", identity.busId);
        });
        if (!any) {
            bus.reset();
            Trace("Leaving CSysfsReader::GetDeviceList, No device found", busName);
            return READER_NOT_FOUND;
        }
        bus.reset();
        Trace("Leaving CSysfsReader::GetDeviceList");
        return READER_OK;
    });
}

int CSysfsReader::GetDeviceAttr(std::string busId, BusType busType, AttributeMap& attributes)
{
    return detail::NoThrow(READER_BUS_ERROR, [&] {
        Trace("Entering CSysfsReader::GetDeviceAttr");
        std::string busName;
        std::string mount;
        int mounted = MountCheck(mount);
        if (mounted == READER_MOUNT_FAILED) {
            Trace("Leaving CSysfsReader::GetDeviceAttr, Sysfs file system not mounted");
            return mounted;
        }
        if (Lookup(busType, busName) != READER_OK) {
            Trace("Leaving CSysfsReader::GetDeviceAttr, Bus not mounted:", busName);
            return READER_BUS_ERROR;
        }
        if (busId.empty()) {
            Trace("Leaving CSysfsReader::GetDeviceAttr, Device not found:", busId);
            return READER_NOT_FOUND;
        }
        std::optional<Bus> bus = Bus::Open(busName, mount);
        if (!bus) {
            Trace("Leaving CSysfsReader::GetDeviceAttr, Error openeing bus");
            return READER_BUS_ERROR;
        }
        // Both "no device" exits end alike, so the device is looked up
        // directly and the bus never listed.
        std::optional<BusDevice> device = bus->FindDevice(busId);
        if (!device) {
            bus.reset();
            Trace("Leaving CSysfsReader::GetDeviceAttr, Bus Closed:", busName);
            return READER_NOT_FOUND;
        }
        SetAttributes(device->dir.Attributes(), attributes);
        bus.reset();
        Trace("Leaving CSysfsReader::GetDeviceAttr");
        return READER_OK;
    });
}

int CSysfsReader::GetDeviceDriver(std::string busId, BusType busType, std::string& driverName)
{
    driverName.clear();
    int result = detail::NoThrow(READER_BUS_ERROR, [&] {
        Trace("Entering CSysfsReader::GetDeviceDriver");
        std::string busName;
        std::string mount;
        int mounted = MountCheck(mount);
        if (mounted == READER_MOUNT_FAILED) {
            Trace("Leaving CSysfsReader::GetDeviceDrives, Sysfs file system not mounted");
            return mounted;
        }
        if (Lookup(busType, busName) != READER_OK) {
            Trace("Leaving CSysfsReader::GetDeviceDrives, Device not found:", busName);
            return READER_BUS_ERROR;
        }
        if (busId.empty()) {
            Trace("Leaving CSysfsReader::GetDeviceDrives, Device not found:", busId);
            return READER_NOT_FOUND;
        }
        std::optional<Bus> bus = Bus::Open(busName, mount);
        if (!bus) {
            Trace("Leaving CSysfsReader::GetDeviceDrives, Bus not found:", busName);
            return READER_BUS_ERROR;
        }
        // The device is looked up directly; only when it is missing is the
        // bus read, as far as its first device, to tell an empty bus.
        std::optional<BusDevice> device = bus->FindDevice(busId);
        if (!device) {
            const bool empty = !bus->HasDevices();
            bus.reset();
            Trace(empty ? "Leaving CSysfsReader::GetDeviceDrives, Empty device list"
                        : "Leaving CSysfsReader::GetDeviceDrives, Device not found");
            return READER_NOT_FOUND;
        }
        Trace("Match Found", busId);
        // The driver comes from the drivers' own directories, not from the
        // device's "driver" link: the first driver that lists the device wins.
        std::string driver = bus->DriverOf(*device);
        if (!driver.empty()) {
            driverName = driver;
            Trace("Driver:", driverName);
        }
        bus.reset();
        if (driverName.empty()) {
            Trace("Leaving CSysfsReader::GetDeviceDrives, Drvier not found");
            return READER_NOT_FOUND;
        }
        Trace("Leaving CSysfsReader::GetDeviceDrives");
        return READER_OK;
    });
    if (result != READER_OK)
        driverName.clear();
    return result;
}

}  // namespace LinuxEnum
}  // namespace Quentor

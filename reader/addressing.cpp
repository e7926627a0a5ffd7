// Device addressing: where a device sits on the PCI bus, read from the PCI
// addresses in its sysfs path, and a SCSI device name split into controller,
// bus, target and LUN (pure text work: no mount check, no sysfs).
#include "internal/bus.h"
#include "internal/no_throw.h"
#include "internal/pci_address.h"
#include "reader.h"

namespace Quentor {
namespace LinuxEnum {

int CSysfsReader::GetPCIDeviceBDF(std::string busId, BusType busType, std::string& pciBus,
                                  std::string& pciDevice, std::string& pciFunction)
{
    return detail::NoThrow(READER_BUS_ERROR, [&] {
        Trace("Entering CSysfsReader::GetPCIDeviceBDF");
        std::string mount;
        if (MountCheck(mount) == READER_MOUNT_FAILED) {
            Trace("Leaving CSysfsReader::GetPCIDeviceBDF,Sysfs file system not mounted");
            return READER_MOUNT_FAILED;
        }
        std::string busName;
        if (Lookup(busType, busName) != READER_OK) {
            Trace("Leaving CSysfsReader::GetPCIDeviceBDF, Bus not found:", busName);
            return READER_BUS_ERROR;
        }
        if (busId.empty()) {
            Trace("Leaving CSysfsReader::GetPCIDeviceBDF, Device not found:", busId);
            return READER_NOT_FOUND;
        }
        std::optional<detail::Bus> bus = detail::Bus::Open(busName, mount);
        if (!bus) {
            Trace("Leaving CSysfsReader::GetPCIDeviceBDF, Bus not found:", busName);
            return READER_BUS_ERROR;
        }
        // The device is looked up directly; only when it is missing is the
        // bus read, as far as its first device, to tell an empty bus.
        std::optional<detail::BusDevice> device = bus->FindDevice(busId);
        if (!device) {
            const bool empty = !bus->HasDevices();
            bus.reset();
            Trace(empty ? "Leaving CSysfsReader::GetPCIDeviceBDF, Device list empty"
                        : "Leaving CSysfsReader::GetPCIDeviceBDF, Device not found");
            return READER_NOT_FOUND;
        }
        Trace("Device match found:");
        const std::string path = device->dir.Path();
        Trace("Device Path:", path);

        // Every PCI device on the way to the device names itself in the
        // path; the last one is the device itself or its controller.
        const std::vector<std::string> addresses = detail::PciAddresses(path);
        for (const std::string& address : addresses)
            Trace("Device BDF:", address);
        if (!addresses.empty()) {
            detail::PciLocation location = detail::DecodePciAddress(addresses.back());
            pciBus = std::move(location.bus);
            pciDevice = std::move(location.device);
            pciFunction = std::move(location.function);
            Trace("Bus:", pciBus);
            Trace("Device:", pciDevice);
            Trace("Function:", pciFunction);
        }
        bus.reset();
        Trace("Leaving CSysfsReader::GetPCIDeviceBDF");
        return READER_OK;
    });
}

int CSysfsReader::GetScsiDeviceCBTL(std::string deviceName, std::string& controller,
                                    std::string& scsiBus, std::string& target, std::string& lun)
{
    return detail::NoThrow(READER_NOT_FOUND, [&] {
        Trace("Entering CSysfsReader::GetScsiDeviceCBTL");
        if (deviceName.empty()) {
            Trace("Leaving CSysfsReader::GetScsiDeviceCBTL, Device Not Found");
            return READER_NOT_FOUND;
        }
        // Each field is appended to what the caller's string held.
        detail::ScsiFields fields;
        if (!detail::SplitScsiName(deviceName, fields)) {
            controller.clear();
            scsiBus.clear();
            target.clear();
            lun.clear();
            Trace("Leaving CSysfsReader::GetScsiDeviceCBTL, Invalid device name");
            return READER_NOT_FOUND;
        }
        controller += fields.controller;
        scsiBus += fields.bus;
        target += fields.target;
        lun += fields.lun;
        Trace("scsi controller:", controller);
        Trace("scsi bus:", scsiBus);
        Trace("scsi target:", target);
        Trace("scsi lunid:", lun);
        Trace("Leaving CSysfsReader::GetScsiDeviceCBTL");
        return READER_OK;
    });
}

}  // namespace LinuxEnum
}  // namespace Quentor

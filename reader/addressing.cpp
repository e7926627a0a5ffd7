// Device addressing: where a device sits on the PCI bus, read from the PCI
// addresses in its sysfs path, and a SCSI device name split into controller,
// bus, target and LUN (pure text work: no mount check, no sysfs).
#include <cctype>
#include <deque>

#include "internal/bus.h"
#include "internal/no_throw.h"
#include "reader.h"

namespace Quentor {
namespace LinuxEnum {

namespace {

// The non-empty components of a path, in path order.
std::deque<std::string> Components(const std::string& path)
{
    std::deque<std::string> components;
    std::size_t start = 0;
    while (start < path.size()) {
        std::size_t slash = path.find('/', start);
        if (slash == std::string::npos)
            slash = path.size();
        if (slash > start)
            components.emplace_back(path, start, slash - start);
        start = slash + 1;
    }
    return components;
}

// A PCI address as the kernel names a PCI device's directory,
// "DDDD:BB:DD.F": twelve characters, the colons at 4 and 7, the dot at 10,
// and no other colon, dot or blank.  A component with two colons and a dot
// elsewhere would decode into nonsense, so it is not an address.
bool IsPciAddress(std::string_view component)
{
    if (component.size() != 12)
        return false;
    for (std::size_t i = 0; i < component.size(); ++i) {
        char c = component[i];
        bool separator = i == 4 || i == 7 || i == 10;
        if (separator != (c == ':' || c == '.') ||
            std::isspace(static_cast<unsigned char>(c)) || c == '\0')
            return false;
    }
    return component[4] == ':' && component[7] == ':' && component[10] == '.';
}

}  // namespace

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
        std::deque<std::string> components = Components(path);
        std::optional<std::string> address;
        while (!components.empty()) {
            std::string component = std::move(components.front());
            components.pop_front();
            if (IsPciAddress(component)) {
                Trace("Device BDF:", component);
                address = std::move(component);
            }
        }
        if (address) {
            pciBus = address->substr(5, 2);
            pciDevice = address->substr(8, 2);
            pciFunction = address->substr(11, 1);
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
        // Each field is appended to what the caller's string held; everything
        // after a third colon belongs to the LUN.
        std::string* fields[] = {&controller, &scsiBus, &target, &lun};
        std::size_t colons = 0;
        for (char c : deviceName) {
            if (c == ':')
                ++colons;
            else
                *fields[colons < 3 ? colons : 3] += c;
        }
        if (colons != 3) {
            for (std::string* field : fields)
                field->clear();
            Trace("Leaving CSysfsReader::GetScsiDeviceCBTL, Invalid device name");
            return READER_NOT_FOUND;
        }
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

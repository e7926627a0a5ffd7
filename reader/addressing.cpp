// SPDX-License-Identifier: MIT
// Device addressing: where a device sits on the PCI bus, read from the PCI
// addresses in its sysfs path, and a SCSI device name split into controller,
// bus, target and LUN (pure text work: no mount check, no sysfs).
#include "base/bus_address.h"
#include "internal/bus.h"
#include "internal/messages.h"
#include "internal/query.h"
#include "reader.h"

namespace Quentor {
namespace LinuxEnum {

namespace messages = detail::messages;

int CSysfsReader::GetPCIDeviceBDF(std::string busId, BusType busType, std::string& pciBus,
                                  std::string& pciDevice, std::string& pciFunction)
{
    return Query(READER_BUS_ERROR, [&] {
        const messages::PciDeviceBdfTexts& texts = messages::kGetPCIDeviceBDF;
        detail::OpenedBus opened;
        if (const int code = OpenBusSide(texts, busType, &busId, opened); code != READER_OK)
            return code;
        Trace(texts.found);
        const std::string path = opened.device->dir.Path();
        Trace(texts.path, path);

        // Every PCI device on the way to the device names itself in the
        // path; the last one is the device itself or its controller.
        const std::vector<std::string> addresses = base::PciAddresses(path);
        for (const std::string& address : addresses)
            Trace(texts.address, address);
        if (!addresses.empty()) {
            base::PciLocation location = base::DecodePciAddress(addresses.back());
            pciBus = std::move(location.bus);
            pciDevice = std::move(location.device);
            pciFunction = std::move(location.function);
            Trace(texts.pciBus, pciBus);
            Trace(texts.pciDevice, pciDevice);
            Trace(texts.pciFunction, pciFunction);
        }
        opened.Close();
        Trace(texts.leaving);
        return READER_OK;
    });
}

int CSysfsReader::GetScsiDeviceCBTL(std::string deviceName, std::string& controller,
                                    std::string& scsiBus, std::string& target, std::string& lun)
{
    return Query(READER_NOT_FOUND, [&] {
        const messages::ScsiDeviceCbtlTexts& texts = messages::kGetScsiDeviceCBTL;
        Trace(texts.entering);
        if (deviceName.empty()) {
            Trace(texts.nameEmpty);
            return READER_NOT_FOUND;
        }
        // Each field is appended to what the caller's string held.
        base::ScsiFields fields;
        if (!base::SplitScsiName(deviceName, fields)) {
            controller.clear();
            scsiBus.clear();
            target.clear();
            lun.clear();
            Trace(texts.invalidName);
            return READER_NOT_FOUND;
        }
        controller += fields.controller;
        scsiBus += fields.bus;
        target += fields.target;
        lun += fields.lun;
        Trace(texts.controller, controller);
        Trace(texts.bus, scsiBus);
        Trace(texts.target, target);
        Trace(texts.lun, lun);
        Trace(texts.leaving);
        return READER_OK;
    });
}

}  // namespace LinuxEnum
}  // namespace Quentor

// SPDX-License-Identifier: MIT
// Bus queries: the devices on a bus, the attributes of one of them, and the
// driver that serves it.  A device is named by its bus id, the key under
// which GetDeviceList files it.  Here too the opening that every bus-side
// query (GetPCIDeviceBDF too) runs before it reads.
#include "internal/bus.h"
#include "internal/query.h"
#include "internal/messages.h"
#include "reader.h"

namespace Quentor {
namespace LinuxEnum {

using detail::Bus;
using detail::BusDevice;
using detail::OpenedBus;
namespace messages = detail::messages;

int CSysfsReader::OpenBusSide(const messages::BusLadder& ladder, BusType busType,
                              const std::string* busId, OpenedBus& opened,
                              const AttributeNames* names)
{
    auto traceBusLine = [&](const messages::BusLine& line) {
        if (line.namesBus)
            Trace(line.text, opened.name);
        else
            Trace(line.text);
    };
    Trace(ladder.entering);
    if (!NamesAccepted({names}))
        return READER_BUS_ERROR;
    std::string mount;
    const int mounted = MountCheck(mount);
    if (mounted == READER_MOUNT_FAILED) {
        Trace(ladder.notMounted);
        return mounted;
    }
    if (Lookup(busType, opened.name) != READER_OK) {
        Trace(ladder.noBusName, opened.name);
        return READER_BUS_ERROR;
    }
    if (busId != nullptr && busId->empty()) {
        Trace(ladder.noBusId, *busId);
        return READER_NOT_FOUND;
    }
    opened.bus = Bus::Open(opened.name, mount, names == nullptr);
    if (!opened.bus) {
        traceBusLine(ladder.busNotOpened);
        return READER_BUS_ERROR;
    }
    if (busId == nullptr)
        return READER_OK;
    // The device is looked up directly; only a query that tells an empty bus
    // from a missing device reads the bus, as far as its first device.
    opened.device = opened.bus->FindDevice(*busId);
    if (!opened.device) {
        const bool empty = !ladder.emptyBus.empty() && !opened.bus->HasDevices();
        opened.Close();
        if (empty)
            Trace(ladder.emptyBus);
        else
            traceBusLine(ladder.noSuchDevice);
        return READER_NOT_FOUND;
    }
    return READER_OK;
}

int CSysfsReader::GetDeviceList(BusType busType, DeviceMap& devices)
{
    return Query(READER_BUS_ERROR, [&] {
        const messages::DeviceListTexts& texts = messages::kGetDeviceList;
        OpenedBus opened;
        if (const int code = OpenBusSide(texts, busType, nullptr, opened); code != READER_OK)
            return code;
        // Each device is entered as it is met, so that a bus of any size is
        // read in one pass and no device directory stays open.
        AttributeMap entry;
        const bool any = opened.bus->ForEachDevice([&](const BusDevice& device) {
            const detail::DeviceIdentity identity = opened.bus->Identify(device);
            entry.clear();
            entry.emplace("name", identity.name);
            entry.emplace("bus", identity.bus);
            entry.emplace("driver_name", identity.driverName);
            entry.emplace("path", identity.path);
            devices.emplace(identity.busId, entry);
            Trace(texts.pushed, identity.busId);
        });
        opened.Close();
        if (!any) {
            Trace(texts.noDevices, opened.name);
            return READER_NOT_FOUND;
        }
        Trace(texts.leaving);
        return READER_OK;
    });
}

int CSysfsReader::GetDeviceAttr(std::string busId, BusType busType, AttributeMap& attributes)
{
    return Query(READER_BUS_ERROR, [&] {
        return ReadBusDevice(busId, busType, nullptr, attributes);
    });
}

int CSysfsReader::GetDeviceNamedAttr(std::string busId, BusType busType, const AttributeNames& names,
                                     AttributeMap& attributes)
{
    return Query(READER_BUS_ERROR, [&] {
        return ReadBusDevice(busId, busType, &names, attributes);
    });
}

int CSysfsReader::ReadBusDevice(const std::string& busId, BusType busType,
                                const AttributeNames* names, AttributeMap& attributes)
{
    const messages::BusLadder& texts = messages::kGetDeviceAttr;
    OpenedBus opened;
    if (const int code = OpenBusSide(texts, busType, &busId, opened, names); code != READER_OK)
        return code;
    // Read whole before it is kept: a device that goes away while it is
    // read is gone, not shown in part (its bus link goes before its
    // directory does).
    bool vanishing = false;
    detail::AttributeRecords records =
        detail::sysfs::ReadAttributes(opened.device->dir, names ? *names : kEveryAttribute, &vanishing);
    if (vanishing || !opened.bus->FindDevice(busId)) {
        if (texts.noSuchDevice.namesBus)
            Trace(texts.noSuchDevice.text, opened.name);
        else
            Trace(texts.noSuchDevice.text);
        return READER_NOT_FOUND;
    }
    SetAttributes(records, attributes);
    opened.Close();
    Trace(texts.leaving);
    return READER_OK;
}

int CSysfsReader::GetDeviceDriver(std::string busId, BusType busType, std::string& driverName)
{
    driverName.clear();
    int result = Query(READER_BUS_ERROR, [&] {
        const messages::DeviceDriverTexts& texts = messages::kGetDeviceDriver;
        OpenedBus opened;
        if (const int code = OpenBusSide(texts, busType, &busId, opened); code != READER_OK)
            return code;
        Trace(texts.found, busId);
        // The driver comes from the drivers' own directories, not from the
        // device's "driver" link: the first driver that lists the device wins.
        std::string driver = opened.bus->DriverOf(*opened.device);
        if (!driver.empty()) {
            driverName = driver;
            Trace(texts.driver, driverName);
        }
        opened.Close();
        if (driverName.empty()) {
            Trace(texts.noDriver);
            return READER_NOT_FOUND;
        }
        Trace(texts.leaving);
        return READER_OK;
    });
    if (result != READER_OK)
        driverName.clear();
    return result;
}

}  // namespace LinuxEnum
}  // namespace Quentor

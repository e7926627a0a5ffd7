// SPDX-License-Identifier: MIT
// A bus opened for one query (internal).
//
// libsysfs opens the bus (and so decides which buses exist); everything on
// it is then read by our own code from the bus's directory: a device is the
// entry of the bus's devices directory named by its bus id, found directly
// rather than by listing the bus, and a driver lists a device when its
// directory holds an entry of that name leading to the same device.
#ifndef SYSFSREADER_INTERNAL_BUS_H
#define SYSFSREADER_INTERNAL_BUS_H

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "libsysfs.h"
#include "sysfs_io.h"

namespace Quentor {
namespace LinuxEnum {
namespace detail {

// One device on a bus: its bus id (the name the bus files it under) and its
// directory.
struct BusDevice {
    std::string busId;
    sysfs::Dir dir;
};

class Bus {
public:
    // Opens a bus by its sysfs name inside the mount; nothing when libsysfs
    // (when asked: withLibsysfs) cannot open it or its directory cannot be
    // reached (a failure noted).
    static std::optional<Bus> Open(const std::string& name, const std::string& mount,
                                   bool withLibsysfs = true);

    // Calls fn(const BusDevice&) for every device on the bus, in bus id
    // order, in one pass over the bus's devices directory; each device's
    // directory is held only while fn runs.  False when the bus has none.
    template <typename Fn>
    bool ForEachDevice(Fn&& fn);
    // Whether the bus has any device at all; reads only until the first.
    bool HasDevices();
    // The device the bus files under busId; nothing for an id that is not a
    // single name, or whose entry leads to no directory inside sysfs.
    std::optional<BusDevice> FindDevice(std::string_view busId);

    // A device's identity as the bus lists it.
    DeviceIdentity Identify(const BusDevice& device) const;

    // The name of the first driver, in the bus's driver order, whose
    // directory lists this device; empty when no driver does.
    std::string DriverOf(const BusDevice& device);

private:
    sysfs::Result<sysfs::Dir> DevicesDir() const { return m_dir.Subdir("devices"); }

    Bus(BusHandle handle, sysfs::Tree tree, sysfs::Dir dir)
        : m_handle(std::move(handle)), m_tree(std::move(tree)), m_dir(std::move(dir)) {}

    BusHandle m_handle;
    sysfs::Tree m_tree;
    sysfs::Dir m_dir;
};

// What a bus-side query opens before it reads: the bus's name, the bus and,
// for a query that names a device, that device.
struct OpenedBus {
    std::string name;
    std::optional<Bus> bus;
    std::optional<BusDevice> device;

    // Closes the device's directory and the bus; the name stays.
    void Close()
    {
        device.reset();
        bus.reset();
    }
};

template <typename Fn>
bool Bus::ForEachDevice(Fn&& fn)
{
    sysfs::Result<sysfs::Dir> dir = DevicesDir();
    if (!dir)
        return false;
    bool any = false;
    for (sysfs::Entry& entry : dir->Entries()) {
        // An entry that vanished since the listing is a device that went
        // away; one that cannot be read is noted as a failure by Follow.
        if (sysfs::Result<sysfs::Dir> device = m_tree.Follow(*dir, entry.name)) {
            any = true;
            fn(BusDevice{std::move(entry.name), std::move(*device)});
        }
    }
    return any;
}

}  // namespace detail
}  // namespace LinuxEnum
}  // namespace Quentor

#endif

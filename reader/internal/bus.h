// A bus opened for one query (internal).
//
// The bus is opened through libsysfs and its lists are libsysfs's wherever
// libsysfs can hold them: every name within SYSFS_NAME_LEN, every path and
// link within SYSFS_PATH_MAX, and libsysfs finding the very devices that the
// bus's links lead to.  Where that does not hold (deep device trees, long
// names, links libsysfs misreads), the same lists are read by our own code,
// so that no device is lost and nothing overlong is handed to libsysfs.
// Either way a query sees the same records in the same order.
#ifndef SYSFSREADER_INTERNAL_BUS_H
#define SYSFSREADER_INTERNAL_BUS_H

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "attribute_source.h"
#include "libsysfs.h"
#include "sysfs_io.h"

namespace Quentor {
namespace LinuxEnum {
namespace detail {

// The identity of a libsysfs device record, its bus corrected: libsysfs takes
// the bus from a "bus" link that current kernels no longer create, so an
// empty field is filled from the device's "subsystem" link.
DeviceIdentity IdentifyRecord(const sysfs_device& device, const std::string& mount);

// One device on a bus.
struct BusDevice {
    DeviceIdentity identity;
    // libsysfs's record, owned by the bus; null where our own code read the bus.
    sysfs_device* record = nullptr;
};

class Bus {
public:
    // Opens a bus by its sysfs name; nothing when libsysfs cannot open it.
    static std::optional<Bus> Open(const std::string& name, const std::string& mount);

    const std::string& Name() const { return m_name; }

    // The devices on the bus in list order (by bus id); nothing when the bus
    // has no device list, as libsysfs has none for a bus without devices.
    // Valid until the bus is closed.
    const std::optional<std::vector<BusDevice>>& Devices();

    // The first device whose bus id equals busId byte for byte.
    std::optional<BusDevice> FindDevice(std::string_view busId);

    // The attributes of one of this bus's devices, valid while the bus is open.
    AttributeSource Attributes(const BusDevice& device) const;

    // The name of the first driver, in the bus's driver order, that lists a
    // device with this bus id among its own; empty when no driver does.
    std::string DriverOf(std::string_view busId);

private:
    Bus() = default;
    void ReadDevices();
    std::string DriverThroughLibsysfs(std::string_view busId);
    std::string DriverOurselves(std::string_view busId) const;

    BusHandle m_handle;
    std::string m_name;
    std::string m_path;
    std::string m_mount;
    bool m_devicesRead = false;
    bool m_throughLibsysfs = false;  // the device list came from libsysfs
    std::optional<std::vector<BusDevice>> m_devices;
};

}  // namespace detail
}  // namespace LinuxEnum
}  // namespace Quentor

#endif

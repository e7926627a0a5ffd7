// SPDX-License-Identifier: MIT
// What a device's directory says of the device: its bus and its driver, read
// from its links.
#include "base/path_text.h"
#include "libsysfs.h"
#include "sysfs_io.h"

namespace Quentor {
namespace LinuxEnum {
namespace detail {
namespace sysfs {

std::string Tree::BusLinkedBy(const Dir& dir, std::string_view link) const
{
    // Read lexically, from the link's own text: the kernel writes it relative
    // to the device's canonical directory, and a copy of a device tree may
    // hold the link without the bus tree it leads to.
    Result<std::string> text = dir.LinkText(link);
    if (!text)
        return {};
    const std::string target = LexicalTarget(dir.Path(), *text);
    const std::string busTree = base::JoinPath(m_mount, "bus") + "/";
    if (target.compare(0, busTree.size(), busTree) != 0)
        return {};
    std::string name = target.substr(busTree.size());
    return IsComponent(name) ? name : std::string();
}

std::string BusOf(const Tree& tree, const Dir& device)
{
    std::string bus = tree.BusLinkedBy(device, "bus");
    return bus.empty() ? tree.BusLinkedBy(device, "subsystem") : bus;
}

DeviceIdentity IdentifyDevice(const Tree& tree, const Dir& device)
{
    DeviceIdentity identity;
    identity.path = device.Path();
    identity.busId = std::string(device.Name());
    identity.name = identity.busId;
    identity.bus = BusOf(tree, device);
    Result<std::string> driver = device.LinkText("driver");
    identity.driverName = driver ? std::string(base::BaseName(*driver)) : std::string(SYSFS_UNKNOWN);
    return identity;
}

}  // namespace sysfs
}  // namespace detail
}  // namespace LinuxEnum
}  // namespace Quentor

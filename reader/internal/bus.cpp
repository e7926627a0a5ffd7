// SPDX-License-Identifier: MIT
#include "bus.h"

namespace Quentor {
namespace LinuxEnum {
namespace detail {

std::optional<Bus> Bus::Open(const std::string& name, const std::string& mount, bool withLibsysfs)
{
    if (!sysfs::IsComponent(name) || !sysfs::NameFits(name))
        return std::nullopt;
    BusHandle handle;
    if (withLibsysfs) {
        handle.reset(OpenSysfsBus(name.c_str()));
        if (!handle)
            return std::nullopt;
    }
    sysfs::Result<sysfs::Tree> tree = sysfs::Tree::Open(mount);
    if (!tree)
        return std::nullopt;
    sysfs::Result<sysfs::Dir> buses = tree->Root().Subdir("bus");
    if (!buses)
        return std::nullopt;
    sysfs::Result<sysfs::Dir> dir = buses->Subdir(name);
    if (!dir)
        return std::nullopt;
    return Bus(std::move(handle), std::move(*tree), std::move(*dir));
}

bool Bus::HasDevices()
{
    sysfs::Result<sysfs::Dir> dir = DevicesDir();
    return dir && sysfs::HasLinkedDirectory(m_tree, *dir);
}

std::optional<BusDevice> Bus::FindDevice(std::string_view busId)
{
    if (!sysfs::IsComponent(busId))
        return std::nullopt;
    sysfs::Result<sysfs::Dir> dir = DevicesDir();
    if (!dir)
        return std::nullopt;
    sysfs::Result<sysfs::Dir> device = m_tree.Follow(*dir, busId);
    if (!device)
        return std::nullopt;
    return BusDevice{std::string(busId), std::move(*device)};
}

DeviceIdentity Bus::Identify(const BusDevice& device) const
{
    DeviceIdentity identity = sysfs::IdentifyDevice(m_tree, device.dir);
    identity.busId = device.busId;
    return identity;
}

std::string Bus::DriverOf(const BusDevice& device)
{
    sysfs::Result<sysfs::Dir> drivers = m_dir.Subdir("drivers");
    if (!drivers)
        return {};
    // Each driver is asked for an entry of the device's name only, so an odd
    // or dangling link in one driver's directory concerns no other device;
    // the entry must lead to the device itself (a driver's "module" link, or
    // a stale link to a device of the same name that is gone, does not).
    for (const sysfs::Entry& entry : drivers->Entries()) {
        if (!drivers->IsSubdir(entry))
            continue;
        sysfs::Result<sysfs::Dir> driver = drivers->Subdir(entry.name);
        if (!driver)
            continue;
        sysfs::Result<sysfs::Dir> listed = m_tree.Follow(*driver, device.busId);
        if (listed && listed->Path() == device.dir.Path())
            return entry.name;
    }
    return {};
}

}  // namespace detail
}  // namespace LinuxEnum
}  // namespace Quentor

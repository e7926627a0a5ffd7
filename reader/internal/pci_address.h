// SPDX-License-Identifier: MIT
// Device addresses read out of names (internal): the PCI addresses in a sysfs
// path and the four fields of a SCSI device name.  Pure text work, no sysfs,
// so that it can be tested and fuzzed on its own.
#ifndef SYSFSREADER_INTERNAL_PCI_ADDRESS_H
#define SYSFSREADER_INTERNAL_PCI_ADDRESS_H

#include <string>
#include <string_view>
#include <vector>

namespace Quentor {
namespace LinuxEnum {
namespace detail {

// The non-empty components of a path, in path order: a run of '/' is one
// separator, and a leading or trailing '/' yields no empty component.
std::vector<std::string> PathComponents(std::string_view path);

// True when a path component is a PCI address as the kernel names a PCI
// device's directory: "DDDD:BB:DD.F", a domain of four to eight lowercase hex
// digits, a bus of two, a device of two from 00 to 1f, a function digit 0-7.
bool IsPciAddress(std::string_view component);

// The PCI addresses in a path, in path order: one for each PCI device on the
// way to the device, the last being the device itself or its controller.
std::vector<std::string> PciAddresses(std::string_view path);

// Bus, device and function of an address, the characters as they stand.
struct PciLocation {
    std::string bus;
    std::string device;
    std::string function;
};

// Decodes an address for which IsPciAddress holds; anything else gives three
// empty fields.
PciLocation DecodePciAddress(std::string_view address);

// The four fields of a SCSI device name, "controller:bus:target:lun".
struct ScsiFields {
    std::string controller;
    std::string bus;
    std::string target;
    std::string lun;
};

// Splits a name at its colons, the fields taken as they stand (no check for
// digits, empty fields allowed).  A name with exactly three colons gives true
// and its fields; any other name gives false and four empty fields.
bool SplitScsiName(std::string_view name, ScsiFields& fields);

}  // namespace detail
}  // namespace LinuxEnum
}  // namespace Quentor

#endif

// SPDX-License-Identifier: MIT
// Device addresses as the kernel writes them into names: the PCI addresses in
// a sysfs path, the four fields of a SCSI device name, and the order of SCSI
// addresses.  Pure text work, no sysfs, so that it can be tested and fuzzed
// on its own.
#ifndef SYSFSREADER_BASE_BUS_ADDRESS_H
#define SYSFSREADER_BASE_BUS_ADDRESS_H

#include <string>
#include <string_view>
#include <vector>

namespace base {

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

// Whether a field of a SCSI address is a number: decimal digits, at least one.
bool IsScsiNumber(std::string_view field);

// Whether address a (controller, bus, target, LUN) comes before b: field by
// field, numbers by value however many leading zeros they carry (and however
// long: a LUN runs to 64 bits) and before anything else, which goes
// byte-wise.  Fields equal as numbers ("0" and "00") tie.  A strict weak
// ordering, as sorting needs, whatever the fields hold.
bool ScsiAddressLess(const std::string (&a)[4], const std::string (&b)[4]);

}  // namespace base

#endif

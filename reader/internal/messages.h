// SPDX-License-Identifier: MIT
// Every text the reader writes to its trace log (internal).
//
// These texts are the log format that existing log readers match, byte for
// byte.  Never correct them: not the spellings ("CheckandMountSysf",
// "GetPATHDeviceAttr", "GetDeviceDrives", "openeing", "Drvier", "Manually
// Mount"), not the "SysfsReader::" that lacks its "C", not the
// "GetClsDeviceList" that GetClsDeviceAttr's early exits name, not the
// missing blank of "GetPCIDeviceBDF,Sysfs", not the exits that say "Bus not
// mounted" or "Device not found:" for a bus type without a name or "Bus
// Closed:" for a missing device, not the capitals or the colons some lines
// carry and others lack.  Every text lives here, so that no query spells one
// of its own.
//
// A ladder lists its texts in the order the ladder writes them; a query's
// other texts follow in the order the query writes them.  "Traced with X"
// means the line carries X as its value (the message, a blank, then X; an
// empty X still leaves the blank).
#ifndef SYSFSREADER_INTERNAL_MESSAGES_H
#define SYSFSREADER_INTERNAL_MESSAGES_H

#include <string_view>

namespace Quentor {
namespace LinuxEnum {
namespace detail {
namespace messages {

// The mount check that every query but GetScsiDeviceCBTL runs.
struct MountCheckTexts {
    std::string_view entering;
    std::string_view alreadyMounted;
    std::string_view mountFailed;
    std::string_view mounted;
};
inline constexpr MountCheckTexts kMountCheck{
    "Entering CSysfsReader::CheckandMountSysf",
    "Leaving CSysfsReader::CheckandMountSysfs, Sysfs File System Already Mounted",
    "Leaving CSysfsReader::CheckandMountSysfs, Sysfs File System Manual Mount Failed",
    "Leaving CSysfsReader::CheckandMountSysfs, Sysfs File System Manually Mount",
};

// Something that is there but could not be read: traced with its path, ": "
// and the errno's text, where it happens, by any query.
inline constexpr std::string_view kReadFailed = "Read failed:";

// A named query refuses a name that is not one file name: traced with it.
inline constexpr std::string_view kNameRefused = "Attribute name refused:";

// The ladder of a class-side query (a class, a class device, a directory):
// entered; refused when a string argument is empty; the mount check; the
// class or directory opened; read; left.
struct ClassLadder {
    std::string_view entering;
    std::string_view argumentEmpty;
    std::string_view notMounted;
    std::string_view notFound;  // traced with the class name or the path
    std::string_view leaving;
};

// A line that some bus-side queries trace with the bus name and others
// alone.
struct BusLine {
    std::string_view text;
    bool namesBus;
};

// The ladder of a bus-side query: entered; the mount check; the bus's name
// looked up; for a query that names a device, refused when that argument is
// empty; the bus opened; the device named found (an empty bus told apart
// from a missing device by a query whose emptyBus is not empty); read; left.
struct BusLadder {
    std::string_view entering;
    std::string_view notMounted;
    std::string_view noBusName;  // traced with the bus name, still empty then
    std::string_view noBusId;    // traced with the (empty) bus id
    BusLine busNotOpened;
    std::string_view emptyBus;
    BusLine noSuchDevice;
    std::string_view leaving;
};

struct ClsDeviceListTexts : ClassLadder {
    std::string_view noDevices;  // traced with the class name
    std::string_view pushed;     // traced with the device's name
};
inline constexpr ClsDeviceListTexts kGetClsDeviceList{
    {
        "Entering SysfsReader::GetClsDeviceList",
        "Leaving CSysfsReader::GetClsDeviceList, Device Class name empty",
        "Leaving CSysfsReader::GetClsDeviceList, Sysfs File system not mounted",
        "Leaving CSysfsReader::GetClsDeviceList, Device class not found:",
        "Leaving SysfsReader::GetClsDeviceList",
    },
    "No devices found under device class:",
    "Class device pushed:",
};

// The device behind a class device is traced field by field, each with its
// value.
struct ClsDeviceAttrTexts : ClassLadder {
    std::string_view noDevices;     // traced with the class name
    std::string_view noSuchDevice;  // traced with the device name
    std::string_view found;         // traced with the device name
    std::string_view noAttributes;
    std::string_view attributes;
    std::string_view noPhysicalDevice;
    std::string_view physicalDevice;
    std::string_view busId;
    std::string_view bus;
    std::string_view driverName;
    std::string_view path;
    std::string_view name;
};
inline constexpr ClsDeviceAttrTexts kGetClsDeviceAttr{
    {
        "Entering SysfsReader::GetClsDeviceAttr",
        "Leaving CSysfsReader::GetClsDeviceList, DeviceClassname or DeviceName empty",
        "Leaving CSysfsReader::GetClsDeviceList, Sysfs File system not mounted",
        "Leaving CSysfsReader::GetClsDeviceList, Device class not found:",
        "Leaving SysfsReader::GetClsDeviceAttr",
    },
    "No devices found under device class:",
    "Class Device not found:",
    "Class device found:",
    "Class Device attributes empty",
    "Class Device Attribute",
    "Class Device-Device attributes empty",
    "Class Dev-Device Attribute",
    "bus_id:",
    "bus:",
    "driver_name:",
    "path:",
    "name:",
};

struct DevicePathAttrTexts : ClassLadder {
    std::string_view noSubdirectories;
    std::string_view noAttributes;
    std::string_view attributes;
};
inline constexpr DevicePathAttrTexts kGetDevicePathAttr{
    {
        "Entering SysfsReader::GetPATHDeviceAttr",
        "Leaving CSysfsReader::GetDevicePathAttr, Path is Null",
        "Leaving CSysfsReader::GetDevicePathAttr, Sysfs File system not mounted",
        "Leaving CSysfsReader::GetDevicePathAttr, Device not found:",
        "Leaving SysfsReader::GetDevicePathAttr",
    },
    "Leaving CSysfsReader::GetDevicePathAttr, Path Does Not Include Devices",
    "Device attributes empty",
    "Device Attribute",
};

struct DeviceLinksTexts : ClassLadder {
    std::string_view noLinks;
    std::string_view link;  // traced with the link's name
};
inline constexpr DeviceLinksTexts kGetDeviceLinks{
    {
        "Entering SysfsReader::GetDeviceLinks",
        "Leaving CSysfsReader::GetDeviceLinks, Path is Null",
        "Leaving CSysfsReader::GetDeviceLinks, Sysfs File system not mounted",
        "Leaving CSysfsReader::GetDeviceLinks, Device not found:",
        "Leaving SysfsReader::GetDeviceLinks",
    },
    "Leaving CSysfsReader::GetDeviceLinks, Path Does Not Include Links",
    "Link found:",
};

// Names no device: the device steps of its ladder are not taken.
struct DeviceListTexts : BusLadder {
    std::string_view pushed;     // traced with the bus id
    std::string_view noDevices;  // traced with the bus name
};
inline constexpr DeviceListTexts kGetDeviceList{
    {
        "Entering CSysfsReader::GetDeviceList",
        "Leaving CSysfsReader::GetDeviceList, Sysfs File system not mounted",
        "Leaving CSysfsReader::GetDeviceList, Bus not mounted",
        {},  // no device named
        {"Leaving CSysfsReader::GetDeviceList, Error Opening Bus:", true},
        {},  // no device named
        {},  // no device named
        "Leaving CSysfsReader::GetDeviceList",
    },
    "Device pushed:",
    "Leaving CSysfsReader::GetDeviceList, No device found",
};

// A missing device and an empty bus end alike, so the bus is never read to
// tell them apart.
inline constexpr BusLadder kGetDeviceAttr{
    "Entering CSysfsReader::GetDeviceAttr",
    "Leaving CSysfsReader::GetDeviceAttr, Sysfs file system not mounted",
    "Leaving CSysfsReader::GetDeviceAttr, Bus not mounted:",
    "Leaving CSysfsReader::GetDeviceAttr, Device not found:",
    {"Leaving CSysfsReader::GetDeviceAttr, Error openeing bus", false},
    {},  // an empty bus is not told apart
    {"Leaving CSysfsReader::GetDeviceAttr, Bus Closed:", true},
    "Leaving CSysfsReader::GetDeviceAttr",
};

struct DeviceDriverTexts : BusLadder {
    std::string_view found;   // traced with the bus id
    std::string_view driver;  // traced with the driver's name
    std::string_view noDriver;
};
inline constexpr DeviceDriverTexts kGetDeviceDriver{
    {
        "Entering CSysfsReader::GetDeviceDriver",
        "Leaving CSysfsReader::GetDeviceDrives, Sysfs file system not mounted",
        "Leaving CSysfsReader::GetDeviceDrives, Device not found:",
        "Leaving CSysfsReader::GetDeviceDrives, Device not found:",
        {"Leaving CSysfsReader::GetDeviceDrives, Bus not found:", true},
        "Leaving CSysfsReader::GetDeviceDrives, Empty device list",
        {"Leaving CSysfsReader::GetDeviceDrives, Device not found", false},
        "Leaving CSysfsReader::GetDeviceDrives",
    },
    "Match Found",
    "Driver:",
    "Leaving CSysfsReader::GetDeviceDrives, Drvier not found",
};

// Each PCI address of the path is traced, then the last one's fields.
struct PciDeviceBdfTexts : BusLadder {
    std::string_view found;
    std::string_view path;     // traced with the device's path
    std::string_view address;  // traced with one PCI address
    std::string_view pciBus;
    std::string_view pciDevice;
    std::string_view pciFunction;
};
inline constexpr PciDeviceBdfTexts kGetPCIDeviceBDF{
    {
        "Entering CSysfsReader::GetPCIDeviceBDF",
        "Leaving CSysfsReader::GetPCIDeviceBDF,Sysfs file system not mounted",
        "Leaving CSysfsReader::GetPCIDeviceBDF, Bus not found:",
        "Leaving CSysfsReader::GetPCIDeviceBDF, Device not found:",
        {"Leaving CSysfsReader::GetPCIDeviceBDF, Bus not found:", true},
        "Leaving CSysfsReader::GetPCIDeviceBDF, Device list empty",
        {"Leaving CSysfsReader::GetPCIDeviceBDF, Device not found", false},
        "Leaving CSysfsReader::GetPCIDeviceBDF",
    },
    "Device match found:",
    "Device Path:",
    "Device BDF:",
    "Bus:",
    "Device:",
    "Function:",
};

// Text work only: no mount check, no sysfs.  The four fields are traced with
// their values.
struct ScsiDeviceCbtlTexts {
    std::string_view entering;
    std::string_view nameEmpty;
    std::string_view invalidName;
    std::string_view controller;
    std::string_view bus;
    std::string_view target;
    std::string_view lun;
    std::string_view leaving;
};
inline constexpr ScsiDeviceCbtlTexts kGetScsiDeviceCBTL{
    "Entering CSysfsReader::GetScsiDeviceCBTL",
    "Leaving CSysfsReader::GetScsiDeviceCBTL, Device Not Found",
    "Leaving CSysfsReader::GetScsiDeviceCBTL, Invalid device name",
    "scsi controller:",
    "scsi bus:",
    "scsi target:",
    "scsi lunid:",
    "Leaving CSysfsReader::GetScsiDeviceCBTL",
};

}  // namespace messages
}  // namespace detail
}  // namespace LinuxEnum
}  // namespace Quentor

#endif

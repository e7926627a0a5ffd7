// SPDX-License-Identifier: MIT
// sysfs-buses: every device on every bus the reader knows, with the driver
// that serves it, its PCI address (domain included) where its sysfs path
// runs through a PCI device, and, for a SCSI device name, its controller,
// bus, target and LUN.
//
// A starting point for programs of one's own: of the library it uses
// nothing but the installed header <sysfsreader/reader.h> (and
// <sysfsreader/version.h> where the library has it).  The addresses are the
// library's answers: the PCI device that GetPCIDeviceBDF decodes, named as
// the PCI bus lists it, and the fields of GetScsiDeviceCBTL.  What it shares
// with iscsi-inventory below the library (the careful opening of its log, the
// errors of standard output, the order of SCSI addresses) comes from base/, a
// static helper built from its sources beside this program.  Build it against
// an installed library with
//     g++ -std=c++17 -I../.. main.cpp ../../base/*.cpp
//         $(pkg-config --cflags --libs sysfsreader)
// or with CMake and find_package(sysfsreader) (see CMakeLists.txt here).
//
// Usage: sysfs-buses [-l LOGFILE] [BUS...]   BUS: ide pci pci_express scsi usb
#include <sysfsreader/reader.h>

#include <getopt.h>

#include <algorithm>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/bus_address.h"
#include "base/log_file.h"
#include "base/path_text.h"
#include "base/standard_output.h"

// The version of the library this program is built against, where the
// library's headers say it; else what the build passed, if anything.
#if __has_include(<sysfsreader/version.h>)
#include <sysfsreader/version.h>
#endif
#if defined(SYSFSREADER_VERSION)
#define SYSFS_BUSES_LIBRARY_VERSION SYSFSREADER_VERSION
#elif defined(SYSFS_BUSES_VERSION)
#define SYSFS_BUSES_LIBRARY_VERSION SYSFS_BUSES_VERSION
#else
#define SYSFS_BUSES_LIBRARY_VERSION "unknown"
#endif

using namespace Quentor::LinuxEnum;

namespace {

const BusType kBuses[] = {BUS_IDE, BUS_PCI, BUS_PCI_EXPRESS, BUS_SCSI, BUS_USB};

constexpr const char* kProgram = "sysfs-buses";

// The PCI devices by their canonical sysfs paths, each with its bus id: the
// kernel's whole name of the device, domain included.
using PciNames = std::map<std::string, std::string>;

// The PCI bus's devices, listed once for every bus printed.  Empty where the
// PCI bus cannot be listed: no device then shows a PCI address.
PciNames ListPciNames(CSysfsReader& reader)
{
    DeviceMap devices;
    reader.GetDeviceList(BUS_PCI, devices);
    PciNames names;
    for (const auto& [busId, identity] : devices)
        if (auto path = identity.find("path"); path != identity.end())
            names.emplace(path->second, busId);
    return names;
}

// The kernel's whole name of the PCI device the library found.  The library
// gives only its bus, device and function ("bb:dd.f"), which repeat in every
// PCI domain; the PCI device whose directory holds the device's path (the
// device itself, or the nearest above it) is named in full by the PCI bus's
// listing.  Empty when that is not the device the library decoded, which
// happens only when the tree changed between the queries.
std::string PciName(const PciNames& pciNames, std::string_view path,
                    std::string_view busDeviceFunction)
{
    const std::string tail = ":" + std::string(busDeviceFunction);
    for (std::string_view directory = path; directory.size() > 1;
         directory = base::Parent(directory)) {
        auto found = pciNames.find(std::string(directory));
        if (found == pciNames.end())
            continue;
        const std::string& name = found->second;
        const bool same = name.size() > tail.size() &&
                          name.compare(name.size() - tail.size(), tail.size(), tail) == 0;
        return same ? name : std::string();
    }
    return {};
}

// One device of a bus as it is printed, and, on the SCSI bus, its name's
// address as the library splits it ("controller:bus:target:lun").
struct Listed {
    DeviceMap::const_iterator device;
    bool split = false;
    std::string address[4];

    // A name of four numbers is a device's address; hosts, targets and
    // other names are not.
    bool Numeric() const
    {
        return split && std::all_of(std::begin(address), std::end(address), base::IsScsiNumber);
    }
};

// The order of the SCSI listing: names of four numbers first, in the order of
// their addresses (so 2:0:0:2 before 2:0:0:10), numerically equal ones
// ("0" and "00") byte-wise; every other name after them, byte-wise.  A total
// order on names, so a strict weak ordering for std::sort.
bool ScsiBefore(const Listed& a, const Listed& b)
{
    const bool numericA = a.Numeric(), numericB = b.Numeric();
    if (numericA != numericB)
        return numericA;
    if (numericA) {
        if (base::ScsiAddressLess(a.address, b.address))
            return true;
        if (base::ScsiAddressLess(b.address, a.address))
            return false;
    }
    return a.device->first < b.device->first;
}

// Prints one bus; false when sysfs could not be reached at all.
bool PrintBus(CSysfsReader& reader, BusType type, const PciNames& pciNames,
              base::StandardOutput& out)
{
    std::string name;
    CSysfsReader::Lookup(type, name);

    DeviceMap devices;
    int result = reader.GetDeviceList(type, devices);
    if (result == READER_MOUNT_FAILED)
        return false;
    if (result == READER_BUS_ERROR) {
        out.Line({name, ": not present"});
        return true;
    }
    out.Line({name, ": ", std::to_string(devices.size()),
              devices.size() == 1 ? " device" : " devices"});

    // The map holds the devices in byte order of their bus ids, the order
    // they are listed in, except on the SCSI bus, where 2:0:0:10 would come
    // before 2:0:0:2.  A SCSI device's name is its address,
    // "controller:bus:target:lun"; hosts and targets on the same bus have
    // other names.
    std::vector<Listed> order(devices.size());
    auto device = devices.cbegin();
    for (Listed& listed : order) {
        listed.device = device++;
        listed.split = type == BUS_SCSI &&
                       reader.GetScsiDeviceCBTL(listed.device->first, listed.address[0],
                                                listed.address[1], listed.address[2],
                                                listed.address[3]) == READER_OK;
    }
    if (type == BUS_SCSI)
        std::sort(order.begin(), order.end(), ScsiBefore);

    for (const Listed& listed : order) {
        const std::string& busId = listed.device->first;
        const AttributeMap& identity = listed.device->second;
        auto path = identity.find("path");
        std::ostringstream line;
        line << "  " << busId;

        // The driver the bus's drivers say serves the device.
        std::string driver;
        if (reader.GetDeviceDriver(busId, type, driver) == READER_OK)
            line << " driver=" << driver;
        else
            line << " driver=-";

        // READER_OK alone does not mean an address was found: the outputs
        // keep what they held when the path names no PCI device.
        std::string pciBus, pciDevice, pciFunction;
        if (reader.GetPCIDeviceBDF(busId, type, pciBus, pciDevice, pciFunction) == READER_OK &&
            !pciBus.empty() && path != identity.end()) {
            std::string pci =
                PciName(pciNames, path->second, pciBus + ":" + pciDevice + "." + pciFunction);
            if (!pci.empty())
                line << " pci=" << pci;
        }

        if (listed.split)
            line << " controller=" << listed.address[0] << " bus=" << listed.address[1]
                 << " target=" << listed.address[2] << " lun=" << listed.address[3];

        if (path != identity.end())
            line << " path=" << path->second;
        out.Line({line.str()});
    }
    return true;
}

void Help(base::StandardOutput& out)
{
    out.Text("Usage: sysfs-buses [OPTION]... [BUS]...\n"
             "List the devices on each BUS (ide, pci, pci_express, scsi, usb; all of them\n"
             "when none is named) with driver, PCI address and SCSI address.\n"
             "\n"
             "  -l, --log=FILE   write the library's trace of every query to FILE; never\n"
             "                   through a symbolic link\n"
             "  -h, --help       print this help and exit\n"
             "  -V, --version    print the version and exit\n"
             "\n"
             "Exit status: 0 on success, 1 when sysfs is not mounted and cannot be mounted,\n"
             "the log cannot be opened safely or standard output cannot be written, 2 on a\n"
             "usage error.\n");
}

int Usage()
{
    std::cerr << "Usage: sysfs-buses [-h] [-V] [-l LOGFILE] [ide|pci|pci_express|scsi|usb]...\n"
                 "Try 'sysfs-buses --help' for more information."
              << std::endl;
    return 2;
}

// getopt's complaint under this program's name (getopt's own would use
// argv[0]).  A long option is always stepped over, so its text is the
// argument before optind; a short option inside a cluster is not.
std::string OptionError(int result, int before, char** argv)
{
    std::string given = optind > before ? argv[optind - 1] : "";
    std::string name = given.substr(0, given.find('='));
    if (given.compare(0, 2, "--") != 0)
        return std::string(result == ':' ? "option requires an argument -- '"
                                         : "invalid option -- '") + char(optopt) + "'";
    if (result == ':')
        return "option '" + name + "' requires an argument";
    return optopt == 0 ? "unrecognized option '" + name + "'"
                       : "option '" + name + "' doesn't allow an argument";
}

}  // namespace

int main(int argc, char** argv)
{
    base::KeepStandardDescriptors();
    base::StandardOutput out(kProgram);
    // The first reader fills the bus map that Lookup answers from; it keeps
    // only a pointer to the log, which writes nothing until it is opened.
    std::ofstream log;
    CSysfsReader reader(&log);

    static const option kOptions[] = {
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'V'},
        {"log", required_argument, nullptr, 'l'},
        {nullptr, 0, nullptr, 0},
    };
    const char* logPath = nullptr;
    opterr = 0;
    int option, before = optind;
    while ((option = getopt_long(argc, argv, ":hVl:", kOptions, nullptr)) != -1) {
        switch (option) {
        case 'h':
            Help(out);
            return out.Finish(0);
        case 'V':
            out.Line({"sysfs-buses (sysfsreader) " SYSFS_BUSES_LIBRARY_VERSION});
            return out.Finish(0);
        case 'l':
            logPath = optarg;
            break;
        default:
            base::Complain(kProgram, OptionError(option, before, argv));
            return Usage();
        }
        before = optind;
    }

    std::vector<BusType> buses;
    for (int i = optind; i < argc; ++i) {
        bool known = false;
        for (BusType type : kBuses) {
            std::string name;
            CSysfsReader::Lookup(type, name);
            if (name == argv[i]) {
                buses.push_back(type);
                known = true;
            }
        }
        if (!known) {
            base::Complain(kProgram, "unknown bus '" + std::string(argv[i]) + "'");
            return Usage();
        }
    }
    if (buses.empty())
        buses.assign(std::begin(kBuses), std::end(kBuses));

    if (logPath != nullptr) {
        base::LogRefusal refused = base::OpenLog(log, logPath);
        if (refused) {
            base::Complain(kProgram,
                           "cannot open log '" + std::string(logPath) + "': " + refused.why);
            return 1;
        }
    }

    const PciNames pciNames = ListPciNames(reader);
    for (BusType type : buses) {
        if (!PrintBus(reader, type, pciNames, out)) {
            base::Complain(kProgram, "sysfs is not mounted and cannot be mounted");
            out.Finish(1);
            return 1;
        }
    }
    return out.Finish(0);
}

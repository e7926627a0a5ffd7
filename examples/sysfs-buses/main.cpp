// SPDX-License-Identifier: MIT
// sysfs-buses: every device on every bus the reader knows, with the driver
// that serves it, its PCI address (domain included) where its sysfs path
// runs through a PCI device, and, for a SCSI device name, its controller,
// bus, target and LUN.
//
// A starting point for programs of one's own: of the library it uses
// nothing but the installed header <sysfsreader/reader.h> (and
// <sysfsreader/version.h> where the library has it); the careful opening of
// its log is the programs' own (tool/log_file.cpp, shared with
// iscsi-inventory).  Build it against an installed library with
//     g++ -std=c++17 -I../../tool main.cpp ../../tool/log_file.cpp
//         $(pkg-config --cflags --libs sysfsreader)
// or with CMake and find_package(sysfsreader) (see CMakeLists.txt here).
//
// Usage: sysfs-buses [-l LOGFILE] [BUS...]   BUS: ide pci pci_express scsi usb
#include <sysfsreader/reader.h>

#include <fcntl.h>
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "log_file.h"

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

// The errno of the first line standard output refused, kept before the next
// query's system calls overwrite it.
int g_writeError = 0;

// Writes one whole line and flushes it, so that a failure is seen at once.
void Emit(const std::string& line)
{
    errno = 0;
    std::cout << line << std::endl;
    if (!std::cout && g_writeError == 0)
        g_writeError = errno != 0 ? errno : EIO;
}

bool IsLowerHex(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
}

// The kernel's whole name of the PCI device the library found: the library
// gives only its bus, device and function ("bb:dd.f"), which repeat in every
// PCI domain, so the name is taken from the device's sysfs path, the last
// component that is that address behind a domain (printed with "%04x": four
// to eight lowercase hex digits, five behind Intel VMD).  The library takes
// the last PCI address in the same path, so this is the very component it
// decoded.  Empty when the path holds no such component, which happens only
// when the device was replaced between the two queries.
std::string PciName(std::string_view path, std::string_view busDeviceFunction)
{
    const std::string tail = ":" + std::string(busDeviceFunction);
    std::size_t end = path.size();
    while (end > 0) {
        std::size_t slash = path.rfind('/', end - 1);
        std::size_t start = slash == std::string_view::npos ? 0 : slash + 1;
        std::string_view component = path.substr(start, end - start);
        if (component.size() > tail.size() &&
            component.compare(component.size() - tail.size(), tail.size(), tail) == 0) {
            std::string_view domain = component.substr(0, component.size() - tail.size());
            if (domain.size() >= 4 && domain.size() <= 8 &&
                std::all_of(domain.begin(), domain.end(), IsLowerHex))
                return std::string(component);
        }
        if (slash == std::string_view::npos)
            break;
        end = slash;
    }
    return {};
}

// A SCSI device name that is four decimal numbers, "host:channel:target:lun",
// split into them, each without its leading zeros so that two numbers of any
// length (a LUN runs to 64 bits) compare by length, then digit by digit.
// False for any other name: hosts, targets, odd names.
bool ScsiNumbers(std::string_view name, std::array<std::string_view, 4>& numbers)
{
    std::size_t field = 0, start = 0;
    for (std::size_t at = 0; at <= name.size(); ++at) {
        if (at < name.size() && name[at] != ':') {
            if (name[at] < '0' || name[at] > '9')
                return false;
            continue;
        }
        if (at == start || field == numbers.size())
            return false;
        std::string_view digits = name.substr(start, at - start);
        std::size_t first = digits.find_first_not_of('0');
        numbers[field++] = first == std::string_view::npos ? std::string_view() : digits.substr(first);
        start = at + 1;
    }
    return field == numbers.size();
}

// The order of the SCSI listing: four-number names by their numbers (so
// 2:0:0:2 before 2:0:0:10), numerically equal ones ("0" and "00") byte-wise;
// every other name after them, byte-wise.  A total order on names, so a
// strict weak ordering for std::sort.
bool ScsiBefore(std::string_view a, std::string_view b)
{
    std::array<std::string_view, 4> numbersA, numbersB;
    const bool numericA = ScsiNumbers(a, numbersA), numericB = ScsiNumbers(b, numbersB);
    if (numericA != numericB)
        return numericA;
    if (numericA) {
        for (std::size_t i = 0; i < numbersA.size(); ++i) {
            if (numbersA[i].size() != numbersB[i].size())
                return numbersA[i].size() < numbersB[i].size();
            if (int order = numbersA[i].compare(numbersB[i]); order != 0)
                return order < 0;
        }
    }
    return a < b;
}

// Prints one bus; false when sysfs could not be reached at all.
bool PrintBus(CSysfsReader& reader, BusType type)
{
    std::string name;
    CSysfsReader::Lookup(type, name);

    DeviceMap devices;
    int result = reader.GetDeviceList(type, devices);
    if (result == READER_MOUNT_FAILED)
        return false;
    if (result == READER_BUS_ERROR) {
        Emit(name + ": not present");
        return true;
    }
    Emit(name + ": " + std::to_string(devices.size()) +
         (devices.size() == 1 ? " device" : " devices"));

    // The map holds the devices in byte order of their bus ids, the order
    // they are listed in, except on the SCSI bus, where 2:0:0:10 would come
    // before 2:0:0:2.
    std::vector<DeviceMap::const_iterator> order;
    order.reserve(devices.size());
    for (auto device = devices.cbegin(); device != devices.cend(); ++device)
        order.push_back(device);
    if (type == BUS_SCSI)
        std::sort(order.begin(), order.end(),
                  [](DeviceMap::const_iterator a, DeviceMap::const_iterator b) {
                      return ScsiBefore(a->first, b->first);
                  });

    for (DeviceMap::const_iterator device : order) {
        const std::string& busId = device->first;
        const AttributeMap& identity = device->second;
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
            std::string pci = PciName(path->second, pciBus + ":" + pciDevice + "." + pciFunction);
            if (!pci.empty())
                line << " pci=" << pci;
        }

        // A SCSI device's name is its address, "controller:bus:target:lun";
        // hosts and targets on the same bus have other names.
        std::string controller, scsiBus, target, lun;
        if (type == BUS_SCSI &&
            reader.GetScsiDeviceCBTL(busId, controller, scsiBus, target, lun) == READER_OK)
            line << " controller=" << controller << " bus=" << scsiBus
                 << " target=" << target << " lun=" << lun;

        if (path != identity.end())
            line << " path=" << path->second;
        Emit(line.str());
    }
    return true;
}

void Help()
{
    std::cout << "Usage: sysfs-buses [OPTION]... [BUS]...\n"
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
                 "usage error.\n";
}

int Usage()
{
    std::cerr << "Usage: sysfs-buses [-h] [-V] [-l LOGFILE] [ide|pci|pci_express|scsi|usb]...\n"
                 "Try 'sysfs-buses --help' for more information."
              << std::endl;
    return 2;
}

// Flushes and closes standard output: a full disk or a closed descriptor is
// reported with its reason, not taken for success.
int CloseOutput(int status)
{
    errno = 0;
    if ((!std::cout.flush() || std::fflush(stdout) != 0) && g_writeError == 0)
        g_writeError = errno != 0 ? errno : EIO;
    if (close(STDOUT_FILENO) != 0 && errno != EBADF && g_writeError == 0)
        g_writeError = errno;
    if (g_writeError != 0) {
        std::cerr << "sysfs-buses: write error: " << std::strerror(g_writeError) << std::endl;
        return 1;
    }
    return status;
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
    programs::KeepStandardDescriptors();
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
            Help();
            return CloseOutput(0);
        case 'V':
            Emit("sysfs-buses (sysfsreader) " SYSFS_BUSES_LIBRARY_VERSION);
            return CloseOutput(0);
        case 'l':
            logPath = optarg;
            break;
        default:
            std::cerr << "sysfs-buses: " << OptionError(option, before, argv) << std::endl;
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
            std::cerr << "sysfs-buses: unknown bus '" << argv[i] << "'" << std::endl;
            return Usage();
        }
    }
    if (buses.empty())
        buses.assign(std::begin(kBuses), std::end(kBuses));

    if (logPath != nullptr) {
        programs::LogRefusal refused = programs::OpenLog(log, logPath);
        if (refused) {
            std::cerr << "sysfs-buses: cannot open log '" << logPath << "': " << refused.why
                      << std::endl;
            return 1;
        }
    }

    for (BusType type : buses) {
        if (!PrintBus(reader, type)) {
            std::cerr << "sysfs-buses: sysfs is not mounted and cannot be mounted" << std::endl;
            CloseOutput(1);
            return 1;
        }
    }
    return CloseOutput(0);
}

// sysfs-buses: every device on every bus the reader knows, with the driver
// that serves it, its PCI bus/device/function where its sysfs path runs
// through a PCI device, and, for a SCSI device name, its controller, bus,
// target and LUN.
//
// A starting point for programs of one's own: it uses nothing but the
// installed header <sysfsreader/reader.h>.  Build it against an installed
// library with
//     g++ -std=c++17 main.cpp $(pkg-config --cflags --libs sysfsreader)
// or with CMake and find_package(sysfsreader) (see CMakeLists.txt here).
//
// Usage: sysfs-buses [-l LOGFILE] [BUS...]   BUS: ide pci pci_express scsi usb
#include <sysfsreader/reader.h>

#include <fcntl.h>
#include <getopt.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#ifndef SYSFS_BUSES_VERSION
#define SYSFS_BUSES_VERSION "unknown"
#endif

using namespace Quentor::LinuxEnum;

namespace {

const BusType kBuses[] = {BUS_IDE, BUS_PCI, BUS_PCI_EXPRESS, BUS_SCSI, BUS_USB};

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
        std::cout << name << ": not present" << std::endl;
        return true;
    }
    std::cout << name << ": " << devices.size() << (devices.size() == 1 ? " device" : " devices")
              << std::endl;

    for (const auto& [busId, identity] : devices) {
        std::cout << "  " << busId;

        // The driver the bus's drivers say serves the device.
        std::string driver;
        if (reader.GetDeviceDriver(busId, type, driver) == READER_OK)
            std::cout << " driver=" << driver;
        else
            std::cout << " driver=-";

        // READER_OK alone does not mean an address was found: the outputs
        // keep what they held when the path names no PCI device.
        std::string pciBus, pciDevice, pciFunction;
        if (reader.GetPCIDeviceBDF(busId, type, pciBus, pciDevice, pciFunction) == READER_OK &&
            !pciBus.empty())
            std::cout << " pci=" << pciBus << ":" << pciDevice << "." << pciFunction;

        // A SCSI device's name is its address, "controller:bus:target:lun";
        // hosts and targets on the same bus have other names.
        std::string controller, scsiBus, target, lun;
        if (type == BUS_SCSI &&
            reader.GetScsiDeviceCBTL(busId, controller, scsiBus, target, lun) == READER_OK)
            std::cout << " controller=" << controller << " bus=" << scsiBus
                      << " target=" << target << " lun=" << lun;

        auto path = identity.find("path");
        if (path != identity.end())
            std::cout << " path=" << path->second;
        std::cout << std::endl;
    }
    return true;
}

void Help()
{
    std::cout << "Usage: sysfs-buses [OPTION]... [BUS]...\n"
                 "List the devices on each BUS (ide, pci, pci_express, scsi, usb; all of them\n"
                 "when none is named) with driver, PCI address and SCSI address.\n"
                 "\n"
                 "  -l, --log=FILE   write the library's trace of every query to FILE\n"
                 "  -h, --help       print this help and exit\n"
                 "  -V, --version    print the version and exit\n"
                 "\n"
                 "Exit status: 0 on success, 1 when sysfs is not mounted and cannot be mounted,\n"
                 "the log cannot be written or standard output cannot be written, 2 on a usage\n"
                 "error.\n";
}

int Usage()
{
    std::cerr << "Usage: sysfs-buses [-h] [-V] [-l LOGFILE] [ide|pci|pci_express|scsi|usb]...\n"
                 "Try 'sysfs-buses --help' for more information."
              << std::endl;
    return 2;
}

// A standard descriptor left closed would be taken by the log's open, and
// the listing would land in the log.  Each closed one gets /dev/null, opened
// so that writing to it fails as writing to a closed descriptor does.
void KeepStandardDescriptors()
{
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        int filler = open("/dev/null", fd == 0 ? O_WRONLY : O_RDONLY);
        if (filler >= 0 && filler != fd)
            close(filler);
    }
}

// Flushes and closes standard output: a full disk or a closed descriptor is
// reported, not taken for success.  A line that failed earlier left its errno
// to later system calls, so only the final flush and close can say why.
int CloseOutput(int status)
{
    bool failed = !std::cout.flush();
    int error = 0;
    if (std::fflush(stdout) != 0 || (close(STDOUT_FILENO) != 0 && errno != EBADF)) {
        failed = true;
        error = errno;
    }
    if (failed) {
        std::cerr << "sysfs-buses: write error" << (error != 0 ? ": " : "")
                  << (error != 0 ? std::strerror(error) : "") << std::endl;
        return 1;
    }
    return status;
}

}  // namespace

int main(int argc, char** argv)
{
    KeepStandardDescriptors();
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
    int option;
    while ((option = getopt_long(argc, argv, "hVl:", kOptions, nullptr)) != -1) {
        switch (option) {
        case 'h':
            Help();
            return CloseOutput(0);
        case 'V':
            std::cout << "sysfs-buses (sysfsreader) " << SYSFS_BUSES_VERSION << std::endl;
            return CloseOutput(0);
        case 'l':
            logPath = optarg;
            break;
        default:
            return Usage();  // getopt_long has named the option
        }
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
        log.open(logPath, std::ios::out | std::ios::trunc);
        if (!log) {
            std::cerr << "sysfs-buses: cannot write " << logPath << std::endl;
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

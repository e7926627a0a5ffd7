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

#include <cstring>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

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

int Usage()
{
    std::cerr << "usage: sysfs-buses [-l LOGFILE] [ide|pci|pci_express|scsi|usb]..." << std::endl;
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    // The first reader fills the bus map that Lookup answers from; it keeps
    // only a pointer to the log, which writes nothing until it is opened.
    std::ofstream log;
    CSysfsReader reader(&log);
    std::vector<BusType> buses;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-l") == 0 && i + 1 < argc) {
            log.open(argv[++i], std::ios::out | std::ios::trunc);
            if (!log) {
                std::cerr << "sysfs-buses: cannot write " << argv[i] << std::endl;
                return 1;
            }
            continue;
        }
        bool known = false;
        for (BusType type : kBuses) {
            std::string name;
            CSysfsReader::Lookup(type, name);
            if (name == argv[i]) {
                buses.push_back(type);
                known = true;
            }
        }
        if (!known)
            return Usage();
    }
    if (buses.empty())
        buses.assign(std::begin(kBuses), std::end(kBuses));

    for (BusType type : buses) {
        if (!PrintBus(reader, type)) {
            std::cerr << "sysfs-buses: sysfs is not mounted and cannot be mounted" << std::endl;
            return 1;
        }
    }
    return 0;
}

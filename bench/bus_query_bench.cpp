// SPDX-License-Identifier: MIT
// bus-query-bench: the reader's SCSI bus queries on the tree at /sys (run it
// under umockdev-wrapper; bus-bench does).
//
//   bus-query-bench --list
//       GetDeviceList(BUS_SCSI), then one line per device, "id path driver",
//       through one buffered stream: the counterpart of bus-list-floor.
//   bus-query-bench [--calls K] [--seconds S]
//       times GetDeviceAttr, GetDeviceDriver and GetPCIDeviceBDF on K LUNs
//       spread evenly over the bus (each query after one untimed call), and
//       prints per query "name microseconds-per-call calls".  A query stops
//       early once S seconds are spent on it, so that a slow reader still
//       gives a figure.  Every answer is checked: a query that fails, or
//       answers other than the tree says, makes the program fail.
//
// The reader traces nothing (no log): what is timed is the reading.
#include <dirent.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <sysfsreader/reader.h>

using namespace Quentor::LinuxEnum;

namespace {

[[noreturn]] void Fail(const std::string& what)
{
    std::fprintf(stderr, "bus-query-bench: %s\n", what.c_str());
    std::exit(1);
}

int List(CSysfsReader& reader)
{
    DeviceMap devices;
    if (reader.GetDeviceList(BUS_SCSI, devices) != READER_OK)
        Fail("GetDeviceList failed");
    std::string out;
    for (const auto& [id, identity] : devices)
        out.append(id).append(" ").append(identity.at("path")).append(" ")
            .append(identity.at("driver_name")).append("\n");
    std::fwrite(out.data(), 1, out.size(), stdout);
    return 0;
}

// The LUNs on the bus ("H:C:T:L"; hosts and targets have other names), in
// directory order, read directly so that the query under test is not.
std::vector<std::string> Luns()
{
    std::vector<std::string> luns;
    if (DIR* dir = opendir("/sys/bus/scsi/devices")) {
        while (const dirent* entry = readdir(dir)) {
            if (std::count(entry->d_name, entry->d_name + std::strlen(entry->d_name), ':') == 3)
                luns.emplace_back(entry->d_name);
        }
        closedir(dir);
    }
    return luns;
}

// Microseconds per call of query over ids; ids.size() calls unless the
// budget runs out first (one call at least).
double PerCall(const std::vector<std::string>& ids, double budgetSeconds, std::size_t& calls,
               const std::function<bool(const std::string&)>& query)
{
    if (!query(ids.front()))
        Fail("wrong answer for " + ids.front());
    const auto start = std::chrono::steady_clock::now();
    double spent = 0;
    calls = 0;
    while (calls < ids.size() && (calls == 0 || spent < budgetSeconds)) {
        if (!query(ids[calls]))
            Fail("wrong answer for " + ids[calls]);
        ++calls;
        spent = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    return spent / calls * 1e6;
}

}  // namespace

int main(int argc, char** argv)
{
    CSysfsReader reader(nullptr);
    std::size_t wanted = 100;
    double budget = 30;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--list") == 0)
            return List(reader);
        if (std::strcmp(argv[i], "--calls") == 0 && i + 1 < argc)
            wanted = std::max(1, std::atoi(argv[++i]));
        else if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc)
            budget = std::atof(argv[++i]);
        else
            Fail("usage: bus-query-bench --list | [--calls K] [--seconds S]");
    }

    const std::vector<std::string> luns = Luns();
    if (luns.empty())
        Fail("no LUN on /sys/bus/scsi");
    std::vector<std::string> ids;
    for (std::size_t i = 0; i < wanted; ++i)
        ids.push_back(luns[i * luns.size() / wanted % luns.size()]);

    std::size_t calls = 0;
    double us = PerCall(ids, budget, calls, [&](const std::string& id) {
        AttributeMap attributes;
        return reader.GetDeviceAttr(id, BUS_SCSI, attributes) == READER_OK &&
               attributes.count("vendor") == 1;
    });
    std::printf("GetDeviceAttr %.1f %zu\n", us, calls);
    us = PerCall(ids, budget, calls, [&](const std::string& id) {
        std::string driver;
        return reader.GetDeviceDriver(id, BUS_SCSI, driver) == READER_OK && driver == "sd";
    });
    std::printf("GetDeviceDriver %.1f %zu\n", us, calls);
    us = PerCall(ids, budget, calls, [&](const std::string& id) {
        std::string pciBus, pciDevice, pciFunction;
        return reader.GetPCIDeviceBDF(id, BUS_SCSI, pciBus, pciDevice, pciFunction) == READER_OK &&
               pciBus == "00" && pciDevice == "1f" && pciFunction == "2";
    });
    std::printf("GetPCIDeviceBDF %.1f %zu\n", us, calls);
    return 0;
}

// SPDX-License-Identifier: MIT
// sysfs-buses against the dumps: every SCSI device named
// controller:bus:target:lun split into those four numbers, the devices
// counted; while objects come and go, every device both dumps show listed
// once, in order, with a driver and path one of the dumps shows.
#include <regex>

#include "outputs.h"

namespace vmcheck {

void CheckBusNames(const std::string& phase, const Dump& dump, const std::string& buses)
{
    const std::regex cbtl("([0-9]+):([0-9]+):([0-9]+):([0-9]+)");
    int disks = 0;
    for (const auto& [name, driver] : dump.busDevices) {
        std::smatch m;
        if (!std::regex_match(name, m, cbtl))
            continue;
        ++disks;
        std::string line = "  " + name + " driver=" + (driver.empty() ? "-" : BaseName(driver));
        std::string fields = " controller=" + m[1].str() + " bus=" + m[2].str() + " target=" +
                             m[3].str() + " lun=" + m[4].str() + " ";
        std::size_t at = buses.find("\n" + line + " ");
        if (at == std::string::npos ||
            buses.substr(at, buses.find('\n', at + 1) - at).find(fields) == std::string::npos)
            Fail(phase, "sysfs-buses does not show " + line + fields);
    }
    if (disks < 2)
        Fail(phase, "fewer than two SCSI disks on the scsi bus");
    std::string count = "scsi: " + std::to_string(dump.busDevices.size()) + " devices\n";
    if (buses.find(count) == std::string::npos)
        Fail(phase, "sysfs-buses does not count " + count);
}

namespace {

// What sysfs-buses listed: each name with its fields ("driver", "path",
// "controller", ...).
using BusListing = std::map<std::string, std::map<std::string, std::string>>;

// A name of four numbers must show them as its controller/bus/target/lun;
// any other name none.
void CheckBusAddress(const std::string& run, const std::string& name,
                     std::map<std::string, std::string>& fields)
{
    static const std::regex cbtl("([0-9]+):([0-9]+):([0-9]+):([0-9]+)");
    std::smatch m;
    std::string address;
    if (std::regex_match(name, m, cbtl))
        address = m[1].str() + " " + m[2].str() + " " + m[3].str() + " " + m[4].str();
    std::string shown = fields.count("controller") ? fields["controller"] + " " + fields["bus"] +
                                                         " " + fields["target"] + " " + fields["lun"]
                                                   : "";
    if (shown != address)
        Fail(run, "sysfs-buses: " + name + " shows controller/bus/target/lun \"" + shown +
                      "\", expected \"" + address + "\"");
}

// The device lines after the count: each listed once and in order.
// devices: how many lines there were.
BusListing ReadBusListing(const std::string& run, std::istringstream& lines, std::size_t& devices)
{
    BusListing listed;
    std::string last;
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        std::string name = Word(words);
        if (line.rfind("  ", 0) != 0 || name.empty()) {
            Fail(run, "sysfs-buses: unexpected line \"" + line + "\"");
            continue;
        }
        ++devices;
        if (name == last || listed.count(name))
            Fail(run, "sysfs-buses lists " + name + " twice");
        else if (!last.empty() && ScsiListedBefore(name, last))
            Fail(run, "sysfs-buses lists " + name + " after " + last);
        if (last.empty() || ScsiListedBefore(last, name))
            last = name;
        std::map<std::string, std::string>& fields = listed[name];
        for (std::string word; words >> word;) {
            std::size_t equals = word.find('=');
            fields[word.substr(0, equals)] = equals == std::string::npos ? "" : word.substr(equals + 1);
        }
        CheckBusAddress(run, name, fields);
    }
    return listed;
}

// Every device both dumps show as the same object: listed, with a driver
// one of them shows and its path.
void CheckListedDevices(const std::string& run, const Dump& before, const Dump& after, BusListing& listed)
{
    for (const auto& [name, driver] : before.busDevices) {
        auto b = before.busPaths.find(name);
        auto a = after.busPaths.find(name);
        if (!after.busDevices.count(name) || b == before.busPaths.end() || a == after.busPaths.end() ||
            !SamePath(before, b->second, after, a->second))
            continue;
        auto got = listed.find(name);
        if (got == listed.end()) {
            Fail(run, "sysfs-buses: " + name + " is in both dumps but not listed");
            continue;
        }
        std::set<std::string> drivers{driver.empty() ? "-" : BaseName(driver)};
        const std::string& later = after.busDevices.at(name);
        drivers.insert(later.empty() ? "-" : BaseName(later));
        if (!drivers.count(got->second["driver"]))
            Fail(run, "sysfs-buses: " + name + " driver=" + got->second["driver"] +
                          ", the dumps show " + *drivers.begin() + " / " + *drivers.rbegin());
        if (got->second["path"] != b->second)
            Fail(run, "sysfs-buses: " + name + " path=" + got->second["path"] + ", the dumps show " +
                          b->second);
    }
}

}  // namespace

void CheckChurnBuses(const std::string& run, const Dump& before, const Dump& after, const std::string& text)
{
    static const std::regex heading("scsi: ([0-9]+) devices?");
    std::istringstream lines(text);
    std::string line;
    std::smatch m;
    if (!std::getline(lines, line) || !std::regex_match(line, m, heading)) {
        Fail(run, "sysfs-buses does not begin with the scsi count: \"" + line + "\"");
        return;
    }
    std::size_t count = std::stoul(m[1]);
    std::size_t devices = 0;
    BusListing listed = ReadBusListing(run, lines, devices);
    if (count != devices)
        Fail(run, "sysfs-buses counts " + std::to_string(count) + " devices and lists " +
                      std::to_string(devices));
    CheckListedDevices(run, before, after, listed);
}

}  // namespace vmcheck

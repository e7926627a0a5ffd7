// SPDX-License-Identifier: MIT
// The queries against this machine's own sysfs, checked against what a plain
// walk of /sys/class finds and against what lspci reports of the PCI bus.
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cstdio>
#include <sstream>

#include "reader_fixture.h"

namespace {

class RealSysfs : public ::testing::Test {
protected:
    void SetUp() override { unsetenv("UMOCKDEV_DIR"); }
};

std::vector<std::string> Entries(const std::string& dir)
{
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d))
            if (std::string(e->d_name) != "." && std::string(e->d_name) != "..")
                names.push_back(e->d_name);
        closedir(d);
    }
    return names;
}

// What a class device directory holds, read independently of the reader:
// readable regular files with their content (one page, final newline
// dropped), files without read permission with an empty value; a file whose
// read fails has nothing to report.
AttributeMap ExpectedAttributes(const std::string& dir)
{
    AttributeMap expected;
    for (const std::string& name : Entries(dir)) {
        std::string path = dir + "/" + name;
        struct stat st;
        if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
            continue;
        if (!(st.st_mode & S_IRUSR)) {
            expected[name] = "";
            continue;
        }
        int fd = open(path.c_str(), O_RDONLY);
        if (fd < 0)
            continue;
        char buffer[4096];
        ssize_t n = read(fd, buffer, sizeof buffer);
        close(fd);
        if (n < 0)
            continue;
        std::string value(buffer, n);
        if (value.find('\0') == 0)
            value.clear();
        if (!value.empty() && value.back() == '\n')
            value.pop_back();
        expected[name] = value;
    }
    return expected;
}

// Whether got holds exactly the keys of before and after, each with the value
// one of them shows.  A file whose value moved between the two reads is live
// (a busy disk's "stat" can move several times in the window): any value of it
// will do, as it was read at some moment between them.
bool SameKeysEitherValue(const AttributeMap& got, const AttributeMap& before,
                         const AttributeMap& after)
{
    if (got.size() != before.size() || got.size() != after.size())
        return false;
    for (const auto& [key, value] : got) {
        auto was = before.find(key), is = after.find(key);
        if (was == before.end() || is == after.end())
            return false;
        if (was->second == is->second && value != was->second)
            return false;
    }
    return true;
}

TEST_F(RealSysfs, ClassListsAndAttributesMatchTheTree)
{
    CSysfsReader reader(nullptr);
    int classesSeen = 0;
    for (const std::string cls : {"net", "pci_bus", "block", "tty"}) {
        std::string classDir = "/sys/class/" + cls;
        std::vector<std::string> names = Entries(classDir);
        if (names.empty())
            continue;
        ++classesSeen;
        DeviceMap devices;
        ASSERT_EQ(READER_OK, reader.GetClsDeviceList(cls, devices)) << cls;
        ASSERT_EQ(names.size(), devices.size()) << cls;
        for (const std::string& name : names) {
            ASSERT_EQ(1u, devices.count(name)) << cls << "/" << name;
            char resolved[PATH_MAX];
            ASSERT_NE(nullptr, realpath((classDir + "/" + name).c_str(), resolved));
            EXPECT_EQ((AttributeMap{{"classname", cls}, {"path", resolved}}), devices[name]);

            // Live counters (a disk's "stat", "inflight") may move while the
            // reader runs: each value must be what a read before or a read
            // after shows, in one of a few tries.
            AttributeMap attrs, device;
            bool agrees = false;
            for (int attempt = 0; attempt < 5 && !agrees; ++attempt) {
                attrs.clear();
                device.clear();
                const AttributeMap before = ExpectedAttributes(resolved);
                ASSERT_EQ(READER_OK, reader.GetClsDeviceAttr(cls, name, attrs, device)) << name;
                agrees = SameKeysEitherValue(attrs, before, ExpectedAttributes(resolved));
            }
            EXPECT_TRUE(agrees) << cls << "/" << name << "\n" << ::testing::PrintToString(attrs);
            if (realpath((classDir + "/" + name + "/device").c_str(), resolved) != nullptr) {
                EXPECT_EQ(resolved, device["path"]);
                char bus[PATH_MAX];
                std::string subsystem = std::string(resolved) + "/subsystem";
                if (realpath(subsystem.c_str(), bus) != nullptr &&
                    std::string(bus).rfind("/sys/bus/", 0) == 0) {
                    EXPECT_EQ(std::string(bus).substr(9), device["bus"]) << resolved;
                }
            } else {
                EXPECT_TRUE(device.empty());
            }
        }
    }
    if (classesSeen == 0)
        GTEST_SKIP() << "this machine's sysfs has none of the classes net, pci_bus, block, tty";
}

// "lspci -Dk": every PCI address with the driver in use, empty where none.
std::map<std::string, std::string> LspciDevices()
{
    std::map<std::string, std::string> devices;
    FILE* pipe = popen("lspci -Dk 2>/dev/null", "r");
    if (pipe == nullptr)
        return devices;
    std::string output;
    char buffer[4096];
    while (std::size_t n = fread(buffer, 1, sizeof buffer, pipe))
        output.append(buffer, n);
    pclose(pipe);
    std::istringstream lines(output);
    std::string line, current;
    const std::string inUse = "\tKernel driver in use: ";
    while (std::getline(lines, line)) {
        if (!line.empty() && line[0] != '\t') {
            current = line.substr(0, line.find(' '));
            devices[current];
        } else if (line.compare(0, inUse.size(), inUse) == 0) {
            devices[current] = line.substr(inUse.size());
        }
    }
    return devices;
}

TEST_F(RealSysfs, PciBusAgreesWithLspci)
{
    std::map<std::string, std::string> lspci = LspciDevices();
    if (lspci.empty())
        GTEST_SKIP() << "this machine shows no PCI device (or lspci is missing)";

    CSysfsReader reader(nullptr);
    DeviceMap devices;
    ASSERT_EQ(READER_OK, reader.GetDeviceList(BUS_PCI, devices));
    std::vector<std::string> listed, expected;
    for (const auto& entry : devices)
        listed.push_back(entry.first);
    for (const auto& entry : lspci)
        expected.push_back(entry.first);
    ASSERT_EQ(expected, listed);

    for (auto& [address, identity] : devices) {
        const std::string& inUse = lspci[address];
        EXPECT_EQ("pci", identity["bus"]) << address;
        EXPECT_EQ(inUse.empty() ? "unknown" : inUse, identity["driver_name"]) << address;

        std::string driver;
        EXPECT_EQ(inUse.empty() ? READER_NOT_FOUND : READER_OK,
                  reader.GetDeviceDriver(address, BUS_PCI, driver))
            << address;
        EXPECT_EQ(inUse, driver) << address;

        std::string b, d, f;
        ASSERT_EQ(READER_OK, reader.GetPCIDeviceBDF(address, BUS_PCI, b, d, f)) << address;
        EXPECT_EQ(address.substr(5), b + ":" + d + "." + f);

        AttributeMap attrs;
        ASSERT_EQ(READER_OK, reader.GetDeviceAttr(address, BUS_PCI, attrs)) << address;
        EXPECT_EQ(ExpectedAttributes(identity["path"]), attrs) << address;
    }
}

}  // namespace

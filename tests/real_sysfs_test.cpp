// The class queries against this machine's own sysfs, checked against what a
// plain walk of /sys/class finds.
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>

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

            AttributeMap attrs, device;
            ASSERT_EQ(READER_OK, reader.GetClsDeviceAttr(cls, name, attrs, device)) << name;
            EXPECT_EQ(ExpectedAttributes(resolved), attrs) << cls << "/" << name;
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

}  // namespace

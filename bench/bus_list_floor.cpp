// SPDX-License-Identifier: MIT
// bus-list-floor [BUS]: the least work that listing a bus takes, the yardstick
// for GetDeviceList.  It reads the bus's devices directory, and for every
// entry reads the entry's link (the device's path) and the device's driver
// link (its driver's name), and writes one line per device, "id path driver"
// ("unknown" for a device without a driver, as the reader says), through one
// buffered stream.  Nothing is checked, traced or read twice.
//
// Run with the tree at /sys (under umockdev-wrapper for a fabricated one, as
// the reader is measured).  BUS defaults to scsi.
#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <string>

namespace {

// dir joined with a relative link target, "../" steps taken lexically.
std::string Resolve(std::string dir, const char* target)
{
    while (target[0] == '.' && target[1] == '.' && target[2] == '/') {
        dir.resize(dir.rfind('/'));
        target += 3;
    }
    return dir + "/" + target;
}

}  // namespace

int main(int argc, char** argv)
{
    const std::string devices = std::string("/sys/bus/") + (argc > 1 ? argv[1] : "scsi") + "/devices";
    DIR* dir = opendir(devices.c_str());
    if (dir == nullptr) {
        std::perror(devices.c_str());
        return 1;
    }
    std::string out;
    char target[4096];
    while (const dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        const std::string link = devices + "/" + entry->d_name;
        ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
        if (n <= 0)
            continue;
        target[n] = '\0';
        out.append(entry->d_name).append(" ").append(Resolve(devices, target)).append(" ");
        n = readlink((link + "/driver").c_str(), target, sizeof target - 1);
        if (n > 0) {
            target[n] = '\0';
            const std::string driver(target);
            out.append(driver, driver.rfind('/') + 1, std::string::npos);
        } else {
            out.append("unknown");
        }
        out.append("\n");
    }
    closedir(dir);
    std::fwrite(out.data(), 1, out.size(), stdout);
    return 0;
}

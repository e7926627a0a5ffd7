// SPDX-License-Identifier: MIT
// Fabricated sysfs trees for the tests, laid out as the kernel lays them out,
// served at /sys through umockdev (the test binaries run under
// umockdev-wrapper; Use() points UMOCKDEV_DIR at the tree).
#ifndef SYSFSREADER_TESTS_SYS_TREE_H
#define SYSFSREADER_TESTS_SYS_TREE_H

#include <sys/types.h>

#include <string>

class SysTree {
public:
    SysTree();
    ~SysTree();
    SysTree(const SysTree&) = delete;
    SysTree& operator=(const SysTree&) = delete;

    // The directory that holds sys/.
    const std::string& Root() const { return m_root; }
    // Makes the code under test see this tree at /sys.
    void Use() const;

    // Paths are relative to sys/ ("devices/platform/host0").
    SysTree& Dir(const std::string& path);
    SysTree& File(const std::string& path, const std::string& content, mode_t mode = 0644);
    // A relative symlink at path leading to target (both relative to sys/).
    SysTree& Link(const std::string& path, const std::string& target);

    // A class device directory at devicePath, its class entry, its subsystem
    // link and, unless it is virtual, its "device" link to the directory two
    // levels up (…/<device>/<class>/<name>).
    SysTree& ClassDevice(const std::string& cls, const std::string& devicePath,
                         bool physical = true);
    // A device on a bus: its subsystem link and the bus's devices/ entry.
    SysTree& BusDevice(const std::string& bus, const std::string& devicePath);
    // Binds a bus device to a driver: its "driver" link and the driver's entry.
    SysTree& Bind(const std::string& bus, const std::string& driver, const std::string& devicePath);

    std::string Abs(const std::string& path) const { return m_root + "/sys/" + path; }

private:
    std::string m_root;
};

// Reads a whole file.
std::string ReadFile(const std::string& path);

// The log with every entry header (time, thread and process numbers) replaced
// by "<H>", so that it can be compared byte for byte with Trace(...).
std::string MaskHeaders(const std::string& log);
// The expected log for these entries: each "message" or "message value".
std::string Trace(std::initializer_list<std::string> entries);

// The two lines the mount check writes when sysfs is there.
extern const std::string kMountedEnter;
extern const std::string kMountedLeave;

#endif

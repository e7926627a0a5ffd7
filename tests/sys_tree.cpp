// SPDX-License-Identifier: MIT
#include "sys_tree.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

const std::string kMountedEnter = "Entering CSysfsReader::CheckandMountSysf";
const std::string kMountedLeave =
    "Leaving CSysfsReader::CheckandMountSysfs, Sysfs File System Already Mounted";

SysTree::SysTree()
{
    char pattern[] = "/tmp/systree-XXXXXX";
    if (mkdtemp(pattern) == nullptr)
        throw std::runtime_error("mkdtemp");
    m_root = pattern;
    fs::create_directories(m_root + "/sys");
}

SysTree::~SysTree()
{
    std::error_code ignored;
    fs::remove_all(m_root, ignored);
}

void SysTree::Use() const { setenv("UMOCKDEV_DIR", m_root.c_str(), 1); }

SysTree& SysTree::Dir(const std::string& path)
{
    fs::create_directories(Abs(path));
    return *this;
}

SysTree& SysTree::File(const std::string& path, const std::string& content, mode_t mode)
{
    fs::create_directories(fs::path(Abs(path)).parent_path());
    std::ofstream(Abs(path), std::ios::binary | std::ios::trunc) << content;
    chmod(Abs(path).c_str(), mode);
    return *this;
}

SysTree& SysTree::Link(const std::string& path, const std::string& target)
{
    fs::path from = fs::path("/") / path;
    fs::create_directories(fs::path(Abs(path)).parent_path());
    fs::path to = fs::path("/") / target;
    fs::path relative = to.lexically_relative(from.parent_path());
    // The kernel never writes a link that ends in "..": a link to an ancestor
    // climbs one level more and names it ("../../../host0").
    if (!relative.empty() && relative.filename() == "..")
        relative = relative / ".." / to.filename();
    fs::create_symlink(relative, Abs(path));
    return *this;
}

SysTree& SysTree::ClassDevice(const std::string& cls, const std::string& devicePath, bool physical)
{
    std::string name = fs::path(devicePath).filename();
    Dir(devicePath);
    Link("class/" + cls + "/" + name, devicePath);
    Link(devicePath + "/subsystem", "class/" + cls);
    if (physical)
        Link(devicePath + "/device", fs::path(devicePath).parent_path().parent_path());
    return *this;
}

SysTree& SysTree::BusDevice(const std::string& bus, const std::string& devicePath)
{
    Dir(devicePath);
    Dir("bus/" + bus + "/drivers");
    Link("bus/" + bus + "/devices/" + fs::path(devicePath).filename().string(), devicePath);
    Link(devicePath + "/subsystem", "bus/" + bus);
    return *this;
}

SysTree& SysTree::Bind(const std::string& bus, const std::string& driver, const std::string& devicePath)
{
    std::string driverDir = "bus/" + bus + "/drivers/" + driver;
    Dir(driverDir);
    Link(driverDir + "/" + fs::path(devicePath).filename().string(), devicePath);
    if (!fs::is_symlink(Abs(devicePath + "/driver")))
        Link(devicePath + "/driver", driverDir);
    return *this;
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

std::string MaskHeaders(const std::string& log)
{
    static const std::regex header(
        "Time: [A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9][0-9] [0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{4}\n"
        "  Thread id: [0-9]+   Process id: [0-9]+");
    return std::regex_replace(log, header, "<H>");
}

std::string Trace(std::initializer_list<std::string> entries)
{
    std::string expected;
    for (const std::string& entry : entries)
        expected += "\n<H>\t" + entry + "\n";
    return expected;
}

// SPDX-License-Identifier: MIT
// Writing fabricated sysfs trees for the benchmarks: directories, attribute
// files with their modes and relative links, all under one ROOT/sys, the
// way the kernel lays them out.  A failure ends the generator with a message.
#ifndef SYSFSREADER_BENCH_TREE_WRITER_H
#define SYSFSREADER_BENCH_TREE_WRITER_H

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

// One attribute file: its name, its content without the final newline (the
// writer adds one unless the content is empty) and its mode.
struct TreeAttr {
    const char* name;
    std::string value;
    mode_t mode;
};

class TreeWriter {
public:
    // program names the generator in messages; root is the directory that
    // receives sys/.
    TreeWriter(std::string program, const std::string& root)
        : m_program(std::move(program)), m_sys(root + "/sys")
    {
    }

    // Paths are relative to sys/ ("devices/platform/host0"); missing parents
    // are made.
    void Dir(const std::string& path) const
    {
        std::string full = m_sys + "/" + path;
        for (std::size_t slash = full.find('/', 1);; slash = full.find('/', slash + 1)) {
            std::string prefix = full.substr(0, slash);
            if (mkdir(prefix.c_str(), 0755) != 0 && errno != EEXIST)
                Fail(prefix);
            if (slash == std::string::npos)
                break;
        }
    }

    void File(const std::string& path, const std::string& value, mode_t mode = 0444) const
    {
        std::string full = m_sys + "/" + path;
        int fd = open(full.c_str(), O_WRONLY | O_CREAT | O_TRUNC, mode);
        if (fd < 0)
            Fail(full);
        if (!value.empty() &&
            write(fd, value.data(), value.size()) != static_cast<ssize_t>(value.size()))
            Fail(full);
        fchmod(fd, mode);
        close(fd);
    }

    // Attribute files in the directory dir.
    void Files(const std::string& dir, const std::vector<TreeAttr>& attrs) const
    {
        for (const TreeAttr& attr : attrs)
            File(dir + "/" + attr.name, attr.value.empty() ? "" : attr.value + "\n", attr.mode);
    }

    // A symlink at path whose content is target, written as given.
    void Link(const std::string& path, const std::string& target) const
    {
        std::string full = m_sys + "/" + path;
        if (symlink(target.c_str(), full.c_str()) != 0)
            Fail(full);
    }

    // A class device directory with its attributes, "subsystem" link,
    // optional "device" link (to the directory two levels up) and class entry.
    void ClassDevice(const std::string& cls, const std::string& dir,
                     const std::vector<TreeAttr>& attrs,
                     bool physical = true) const
    {
        Dir(dir);
        Files(dir, attrs);
        Dir(dir + "/power");
        std::string name = dir.substr(dir.rfind('/') + 1);
        if (physical) {
            std::string parent = dir.substr(0, dir.rfind('/'));
            parent.resize(parent.rfind('/'));
            Link(dir + "/device", "../../../" + parent.substr(parent.rfind('/') + 1));
        }
        Link(dir + "/subsystem", Up(Depth(dir)) + "class/" + cls);
        Link("class/" + cls + "/" + name, "../../" + dir);
    }

    // "../" levels times: from a directory levels deep under sys/ back to sys/.
    static std::string Up(int levels)
    {
        std::string up;
        for (int i = 0; i < levels; ++i)
            up += "../";
        return up;
    }

    // How many directories deep path lies under sys/ ("devices/x" is 2).
    static int Depth(const std::string& path)
    {
        return 1 + static_cast<int>(std::count(path.begin(), path.end(), '/'));
    }

private:
    [[noreturn]] void Fail(const std::string& what) const
    {
        std::fprintf(stderr, "%s: %s: %s\n", m_program.c_str(), what.c_str(), std::strerror(errno));
        std::exit(1);
    }

    std::string m_program;
    std::string m_sys;
};

#endif

// SPDX-License-Identifier: MIT
// Runs iscsi-inventory (or another program of the build) on a tree at /sys,
// with its standard output, standard error and exit status kept, under the
// conditions a test asks for: another user, /proc or /sys gone, an output
// that cannot be written, resource limits, a preloaded shim.
#ifndef SYSFSREADER_TESTS_TOOL_RUN_H
#define SYSFSREADER_TESTS_TOOL_RUN_H

#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "sys_tree.h"

struct ToolRun {
    int status = -1;  // exit status, or -1 when killed
    int signal = 0;   // the signal that killed it
    std::string out, err;
};

// The exit status of a run that needed a private mount namespace where none
// is allowed.
constexpr int kNoNamespace = 77;

// Terminal: a pseudo-terminal in raw mode, whose bytes are read as they are.
enum class Stdout { File, Closed, Full, BrokenPipe, Terminal };

struct RunOptions {
    uid_t uid = static_cast<uid_t>(-1);  // run as this user
    bool withoutProc = false;            // /proc unmounted in a private mount namespace
    bool withoutSysfs = false;           // /sys unmounted, and umockdev off
    // Directories bind-mounted over others (a private /dev, a state
    // directory), in a private mount namespace: {directory, mount point}.
    std::vector<std::pair<std::string, std::string>> binds;
    Stdout out = Stdout::File;
    std::string libraryDir;              // LD_LIBRARY_PATH, for a copy of the program
    rlim_t descriptors = 0;              // RLIMIT_NOFILE, when not 0
    rlim_t fileSize = 0;                 // RLIMIT_FSIZE in bytes, when not 0
    std::vector<std::string> shim;       // tests/replace_file_shim.cpp preloaded with these
                                         // NAME=value settings, when not empty
    std::string deviceMapper;            // the device-mapper's answers, from this file
                                         // (tests/dm_standin.cpp, always preloaded: no map
                                         // without one)
};

// Runs a program with args in dir with the tree at /sys, as opts say; exit
// status kNoNamespace where a private mount namespace is not allowed.
ToolRun RunProgram(const std::string& program, const std::vector<std::string>& args,
                   const SysTree& tree, const std::string& dir, const RunOptions& opts = {});

// The file name of the stand-in device-mapper (tests/dm_standin.cpp) that
// a copy of the tool carries beside it.
inline const std::string kStandinName = "libdm_standin.so";

// The tool of this build.
ToolRun RunTool(const SysTree& tree, const std::string& dir, const std::vector<std::string>& args = {},
                const RunOptions& opts = {});
ToolRun RunToolWithoutProc(const SysTree& tree, const std::string& dir);

// The tool and its library copied where any user can run them: the build
// tree may sit in a directory only its owner can enter (a clone in root's
// home), and the tests run the tool as nobody.
class ToolCopy {
public:
    ToolCopy()
    {
        char pattern[] = "/tmp/iscsi-inventory-copy.XXXXXX";
        if (mkdtemp(pattern) == nullptr)
            return;
        m_dir = pattern;
        namespace fs = std::filesystem;
        std::error_code error;
        fs::copy_file(TOOL_PATH, m_dir + "/iscsi-inventory", error);
        if (!error)
            fs::copy_file(LIBRARY_PATH, m_dir + "/" LIBRARY_SONAME, error);
        // The stand-in device-mapper goes with them (RunProgram finds it).
        if (!error)
            fs::copy_file(DM_STANDIN_PATH, m_dir + "/" + kStandinName, error);
        if (error || chmod(m_dir.c_str(), 0755) != 0 ||
            chmod((m_dir + "/iscsi-inventory").c_str(), 0755) != 0 ||
            chmod((m_dir + "/" LIBRARY_SONAME).c_str(), 0755) != 0 ||
            chmod((m_dir + "/" + kStandinName).c_str(), 0755) != 0)
            m_ok = false;
    }
    ~ToolCopy()
    {
        if (!m_dir.empty())
            std::filesystem::remove_all(m_dir);
    }
    bool Ok() const { return m_ok && !m_dir.empty(); }
    std::string Program() const { return m_dir + "/iscsi-inventory"; }

    ToolRun Run(const SysTree& tree, const std::string& dir, RunOptions opts,
                const std::vector<std::string>& args = {}) const
    {
        opts.libraryDir = m_dir;
        return RunProgram(Program(), args, tree, dir, opts);
    }

private:
    std::string m_dir;
    bool m_ok = true;
};

#endif

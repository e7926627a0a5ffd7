// SPDX-License-Identifier: MIT
#include "tool_run.h"

#include <fcntl.h>
#include <grp.h>
#include <pty.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <sstream>
#include <cstdlib>

// Runs a program with args in dir with the tree at /sys, as opts say; exit
// status kNoNamespace where a private mount namespace is not allowed.
ToolRun RunProgram(const std::string& program, const std::vector<std::string>& args,
                   const SysTree& tree, const std::string& dir, const RunOptions& opts)
{
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    std::string outPath = tree.Root() + "/stdout", errPath = tree.Root() + "/stderr";
    unlink(outPath.c_str());
    int pipeFds[2] = {-1, -1};
    if (opts.out == Stdout::BrokenPipe && pipe(pipeFds) != 0)
        return {};
    int terminal = -1, terminalSide = -1;
    if (opts.out == Stdout::Terminal) {
        termios raw{};
        cfmakeraw(&raw);
        if (openpty(&terminal, &terminalSide, nullptr, &raw, nullptr) != 0)
            return {};
    }
    pid_t child = fork();
    if (child == 0) {
        int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(err, 2);
        switch (opts.out) {
        case Stdout::File:
            dup2(open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
            break;
        case Stdout::Closed:
            close(1);
            break;
        case Stdout::Full:
            dup2(open("/dev/full", O_WRONLY), 1);
            break;
        case Stdout::BrokenPipe:
            dup2(pipeFds[1], 1);
            close(pipeFds[0]);
            close(pipeFds[1]);
            break;
        case Stdout::Terminal:
            dup2(terminalSide, 1);
            close(terminal);
            close(terminalSide);
            break;
        }
        const char* gone = opts.withoutSysfs ? "/sys" : "/proc";
        const bool gonePart = opts.withoutProc || opts.withoutSysfs;
        if ((gonePart || !opts.binds.empty()) &&
            (unshare(CLONE_NEWNS) != 0 ||
             mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
             (gonePart && umount2(gone, MNT_DETACH) != 0)))
            _exit(kNoNamespace);
        for (const auto& [directory, point] : opts.binds)
            if (mount(directory.c_str(), point.c_str(), nullptr, MS_BIND, nullptr) != 0)
                _exit(kNoNamespace);
        if (chdir(dir.c_str()) != 0 || (opts.uid != static_cast<uid_t>(-1) &&
                                        (setgroups(0, nullptr) != 0 || setgid(opts.uid) != 0 ||
                                         setuid(opts.uid) != 0)))
            _exit(99);
        if (!opts.libraryDir.empty())
            setenv("LD_LIBRARY_PATH", opts.libraryDir.c_str(), 1);
        if (opts.descriptors != 0) {
            rlimit few{opts.descriptors, opts.descriptors};
            if (setrlimit(RLIMIT_NOFILE, &few) != 0)
                _exit(99);
        }
        if (opts.fileSize != 0) {
            rlimit limit{opts.fileSize, opts.fileSize};
            if (setrlimit(RLIMIT_FSIZE, &limit) != 0)
                _exit(99);
        }
        {
            // The device-mapper of a hand-made tree is the stand-in's, never
            // the machine's (whose maps may have the same numbers): without
            // a file it knows no map.  Another user may not read the build's
            // copy (a clone in a private directory): the one beside a copy
            // of the program is taken then.
            std::string standin = DM_STANDIN_PATH;
            const std::string beside = program.substr(0, program.rfind('/') + 1) + kStandinName;
            if (access(standin.c_str(), R_OK) != 0 && access(beside.c_str(), R_OK) == 0)
                standin = beside;
            std::string preload;
            std::string list = getenv("LD_PRELOAD") ? getenv("LD_PRELOAD") : "";
            std::replace(list.begin(), list.end(), ':', ' ');  // either separates
            std::istringstream inherited(list);
            for (std::string entry; inherited >> entry;)
                if (entry != DM_STANDIN_PATH)
                    preload += " " + entry;
            setenv("LD_PRELOAD", (standin + preload).c_str(), 1);
            setenv("ISCSI_DM_STANDIN", opts.deviceMapper.c_str(), 1);
            const std::string mapper = tree.Root() + "/dev-mapper";
            mkdir(mapper.c_str(), 0755);
            std::ofstream(mapper + "/control").flush();
            setenv("ISCSI_DM_STANDIN_DIR", mapper.c_str(), 1);
        }
        if (!opts.shim.empty()) {
            const char* preload = getenv("LD_PRELOAD");
            // First: umockdev's wrappers call the C library straight.
            setenv("LD_PRELOAD", (SHIM_PATH + (preload ? " " + std::string(preload) : "")).c_str(), 1);
            for (const std::string& setting : opts.shim)
                putenv(const_cast<char*>(setting.c_str()));
        }
        if (opts.withoutSysfs)
            unsetenv("UMOCKDEV_DIR");
        else
            tree.Use();
        execv(program.c_str(), argv.data());
        _exit(98);
    }
    if (opts.out == Stdout::BrokenPipe) {
        close(pipeFds[0]);
        close(pipeFds[1]);
    }
    ToolRun run;
    if (opts.out == Stdout::Terminal) {
        // Read until the program's side is closed (EIO), so that it never
        // waits on a full terminal.
        close(terminalSide);
        char buffer[4096];
        for (ssize_t got; (got = read(terminal, buffer, sizeof buffer)) != 0;) {
            if (got > 0)
                run.out.append(buffer, static_cast<std::size_t>(got));
            else if (errno != EINTR)
                break;
        }
        close(terminal);
    }
    int status = 0;
    waitpid(child, &status, 0);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    if (opts.out != Stdout::Terminal)
        run.out = ReadFile(outPath);
    run.err = ReadFile(errPath);
    return run;
}

ToolRun RunTool(const SysTree& tree, const std::string& dir, const std::vector<std::string>& args,
                const RunOptions& opts)
{
    return RunProgram(TOOL_PATH, args, tree, dir, opts);
}

ToolRun RunToolWithoutProc(const SysTree& tree, const std::string& dir)
{
    RunOptions opts;
    opts.withoutProc = true;
    return RunProgram(TOOL_PATH, {}, tree, dir, opts);
}


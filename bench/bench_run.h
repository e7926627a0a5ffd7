// SPDX-License-Identifier: MIT
// What the benchmark drivers share: their command line, the trees they
// generate once per size, and running a program with a fabricated tree at
// /sys (the umockdev preload, UMOCKDEV_DIR), timed wall-clock, with its peak
// RSS from wait4 and an optional time limit after which it is killed, in the
// driver's mount namespace or one it made.
#ifndef SYSFSREADER_BENCH_BENCH_RUN_H
#define SYSFSREADER_BENCH_BENCH_RUN_H

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

namespace bench {

struct Sample {
    double seconds = 0;
    long peakKb = 0;
    bool timedOut = false;  // killed at the limit; seconds is then the limit
    int status = 0;         // the exit status of a run that ended by itself
};

struct Command {
    std::vector<std::string> argv;
    // The exit statuses of a run that did its work: 0, and for a monitoring
    // plugin also its verdicts (1 WARNING, 2 CRITICAL).  Any other ends the
    // benchmark.
    std::vector<int> completed{0};
    // A descriptor of the mount namespace it runs in, or -1 for the driver's.
    int mountNamespace = -1;
};

[[noreturn]] inline void Die(const std::string& what)
{
    std::fprintf(stderr, "%s: %s\n", program_invocation_short_name, what.c_str());
    std::exit(1);
}

// Waits for child, killing it once limitSeconds have passed since start
// (no limit when limitSeconds <= 0).  True when it had to be killed.
inline bool WaitFor(pid_t child, std::chrono::steady_clock::time_point start,
                    double limitSeconds, int& status, rusage& usage)
{
    bool killed = false;
    if (limitSeconds > 0) {
        int pidfd = static_cast<int>(syscall(SYS_pidfd_open, child, 0));
        if (pidfd >= 0) {
            for (;;) {
                double left = limitSeconds - std::chrono::duration<double>(
                                                 std::chrono::steady_clock::now() - start)
                                                 .count();
                if (left <= 0) {
                    kill(child, SIGKILL);
                    killed = true;
                    break;
                }
                pollfd ready{pidfd, POLLIN, 0};
                int n = poll(&ready, 1, static_cast<int>(left * 1000) + 1);
                if (n > 0)
                    break;
                if (n < 0 && errno != EINTR)
                    break;
            }
            close(pidfd);
        }
    }
    if (wait4(child, &status, 0, &usage) < 0)
        Die("wait4 failed");
    return killed;
}

// Runs one command with the tree at /sys, in cwd, standard output to outPath.
inline Sample RunOnce(const Command& command, const std::string& tree, const std::string& cwd,
                      const std::string& outPath = "/dev/null", double limitSeconds = 0)
{
    auto start = std::chrono::steady_clock::now();
    pid_t child = fork();
    if (child < 0)
        Die("fork failed");
    if (child == 0) {
        // First: entering a mount namespace moves the working directory to
        // its root.
        if (command.mountNamespace >= 0 && setns(command.mountNamespace, CLONE_NEWNS) != 0)
            _exit(127);
        int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int null = open("/dev/null", O_WRONLY);
        if (out < 0 || null < 0 || chdir(cwd.c_str()) != 0)
            _exit(127);
        dup2(out, 1);
        dup2(null, 2);
        setenv("UMOCKDEV_DIR", tree.c_str(), 1);
        setenv("LD_PRELOAD", "libumockdev-preload.so.0", 1);
        std::vector<char*> argv(command.argv.size() + 1, nullptr);
        std::transform(command.argv.begin(), command.argv.end(), argv.begin(),
                       [](const std::string& arg) { return const_cast<char*>(arg.c_str()); });
        execvp(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    Sample sample;
    sample.timedOut = WaitFor(child, start, limitSeconds, status, usage);
    sample.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    sample.peakKb = usage.ru_maxrss;
    if (sample.timedOut)
        sample.seconds = limitSeconds;
    else if (WIFSIGNALED(status))
        Die(command.argv[0] + " killed by signal " + std::to_string(WTERMSIG(status)));
    else if (!WIFEXITED(status) || std::find(command.completed.begin(), command.completed.end(),
                                             WEXITSTATUS(status)) == command.completed.end())
        Die(command.argv[0] + " failed with status " + std::to_string(WEXITSTATUS(status)));
    else
        sample.status = WEXITSTATUS(status);
    return sample;
}

// Median time and largest peak of runs after one warm-up run, each run being
// commands in sequence.  A run that passes the limit ends the measurement:
// the result is then marked timed out.
inline Sample Measure(const std::vector<Command>& commands, const std::string& tree,
                      const std::string& cwd, int runs, double limitSeconds = 0)
{
    std::vector<double> times;
    long peak = 0;
    for (int run = -1; run < runs; ++run) {
        double total = 0;
        for (const Command& command : commands) {
            Sample s = RunOnce(command, tree, cwd, "/dev/null",
                               limitSeconds > 0 ? limitSeconds - total : 0);
            total += s.seconds;
            peak = std::max(peak, s.peakKb);
            if (s.timedOut)
                return {limitSeconds, peak, true};
        }
        if (run >= 0)  // run -1 warms the page cache
            times.push_back(total);
    }
    std::sort(times.begin(), times.end());
    return {times.empty() ? 0.0 : times[times.size() / 2], peak, false};
}

// Each command's median time and largest peak, the commands taken in turn
// within each run (one warm-up run first), so that a change in the
// machine's load falls on all of them alike and their ratios hold.
inline std::vector<Sample> MeasureInTurn(const std::vector<Command>& commands,
                                         const std::string& tree, const std::string& cwd, int runs)
{
    std::vector<std::vector<double>> times(commands.size());
    std::vector<Sample> samples(commands.size());
    for (int run = -1; run < runs; ++run) {
        for (std::size_t i = 0; i < commands.size(); ++i) {
            Sample s = RunOnce(commands[i], tree, cwd);
            samples[i].peakKb = std::max(samples[i].peakKb, s.peakKb);
            samples[i].status = s.status;
            if (run >= 0)  // run -1 warms the page cache
                times[i].push_back(s.seconds);
        }
    }
    for (std::size_t i = 0; i < commands.size(); ++i) {
        std::sort(times[i].begin(), times[i].end());
        samples[i].seconds = times[i][times[i].size() / 2];
    }
    return samples;
}

inline long FileSize(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? static_cast<long>(st.st_size) : 0;
}

// The drivers' common options.
struct Options {
    std::string bin, work;
    std::vector<int> sizes{100, 1000, 10000};
    int runs = 5;
};

// A numeric option of one driver only, and where its value goes.
struct ExtraOption {
    const char* name;
    double* value;
};

// Parses --bin, --work, --sizes, --runs and the extra options; makes the work directory; turns both directories into absolute paths
// (the programs run in scratch directories).
inline Options ParseOptions(int argc, char** argv, const std::string& usage,
                            const std::vector<ExtraOption>& extra = {})
{
    Options options;
    if (argc % 2 == 0)
        Die(usage);
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string option = argv[i], value = argv[i + 1];
        if (option == "--bin") {
            options.bin = value;
        } else if (option == "--work") {
            options.work = value;
        } else if (option == "--runs") {
            options.runs = std::max(1, std::atoi(value.c_str()));
        } else if (option == "--sizes") {
            options.sizes.clear();
            std::stringstream list(value);
            for (std::string size; std::getline(list, size, ',');)
                options.sizes.push_back(std::atoi(size.c_str()));
        } else {
            auto known = std::find_if(extra.begin(), extra.end(), [&](const ExtraOption& e) {
                return option == e.name;
            });
            if (known == extra.end())
                Die("unknown option " + option + "\n" + usage);
            *known->value = std::atof(value.c_str());
        }
    }
    if (options.bin.empty() || options.work.empty())
        Die(usage);
    mkdir(options.work.c_str(), 0755);
    for (std::string* path : {&options.bin, &options.work}) {
        char* resolved = realpath(path->c_str(), nullptr);
        if (resolved == nullptr)
            Die("no such directory: " + *path);
        *path = resolved;
        std::free(resolved);
    }
    return options;
}

// The tree generated by generator for size in dir, made unless a complete
// one is there already (a "complete" file marks it).
inline void EnsureTree(const std::string& generator, const std::string& dir, int size)
{
    if (FileSize(dir + "/complete") != 0)
        return;
    std::string cmd = "rm -rf '" + dir + "' && '" + generator + "' '" + dir + "' " +
                      std::to_string(size) + " && echo ok > '" + dir + "/complete'";
    if (std::system(cmd.c_str()) != 0)
        Die("cannot build the tree for " + std::to_string(size));
}

}  // namespace bench

#endif

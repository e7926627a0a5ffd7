// inventory-bench: times iscsi-inventory at 100, 1,000 and 10,000 sessions
// against the floor (inventory-floor: each printed file read once) and the
// peer (systool -c <class> -v over the four iSCSI classes), all on the same
// fabricated tree served at /sys through umockdev, and prints a table.
//
//   inventory-bench --bin BUILD_DIR --work DIR [--sizes 100,1000,10000] [--runs N]
//
// Every program runs under the umockdev preload with standard output to
// /dev/null, in its own scratch directory (the tool writes SysReader.log
// there).  Times are wall-clock medians of N runs after one warm-up run;
// peak RSS is the largest of those runs.  Trees are generated once per size
// and kept in DIR.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Sample {
    double seconds = 0;
    long peakKb = 0;
};

struct Command {
    std::vector<std::string> argv;
};

[[noreturn]] void Die(const std::string& what)
{
    std::fprintf(stderr, "inventory-bench: %s\n", what.c_str());
    std::exit(1);
}

// Runs one command with the tree at /sys, standard output to outPath.
Sample RunOnce(const Command& command, const std::string& tree, const std::string& cwd,
               const std::string& outPath = "/dev/null")
{
    auto start = std::chrono::steady_clock::now();
    pid_t child = fork();
    if (child < 0)
        Die("fork failed");
    if (child == 0) {
        int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int null = open("/dev/null", O_WRONLY);
        if (out < 0 || null < 0 || chdir(cwd.c_str()) != 0)
            _exit(127);
        dup2(out, 1);
        dup2(null, 2);
        setenv("UMOCKDEV_DIR", tree.c_str(), 1);
        setenv("LD_PRELOAD", "libumockdev-preload.so.0", 1);
        std::vector<char*> argv;
        for (const std::string& arg : command.argv)
            argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    if (wait4(child, &status, 0, &usage) < 0)
        Die("wait4 failed");
    Sample sample;
    sample.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    sample.peakKb = usage.ru_maxrss;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        Die("failed: " + command.argv[0]);
    return sample;
}

// Median time and largest peak of runs, each run being commands in sequence.
Sample Measure(const std::vector<Command>& commands, const std::string& tree,
               const std::string& cwd, int runs)
{
    std::vector<double> times;
    long peak = 0;
    for (int run = -1; run < runs; ++run) {
        double total = 0;
        for (const Command& command : commands) {
            Sample s = RunOnce(command, tree, cwd);
            total += s.seconds;
            peak = std::max(peak, s.peakKb);
        }
        if (run >= 0)  // run -1 warms the page cache
            times.push_back(total);
    }
    std::sort(times.begin(), times.end());
    return {times.empty() ? 0.0 : times[times.size() / 2], peak};
}

long FileSize(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? static_cast<long>(st.st_size) : 0;
}

}  // namespace

int main(int argc, char** argv)
{
    std::string bin, work;
    std::vector<int> sizes{100, 1000, 10000};
    int runs = 5;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string option = argv[i], value = argv[i + 1];
        if (option == "--bin") {
            bin = value;
        } else if (option == "--work") {
            work = value;
        } else if (option == "--runs") {
            runs = std::max(1, std::atoi(value.c_str()));
        } else if (option == "--sizes") {
            sizes.clear();
            std::stringstream list(value);
            for (std::string size; std::getline(list, size, ',');)
                sizes.push_back(std::atoi(size.c_str()));
        } else {
            Die("unknown option " + option);
        }
    }
    if (bin.empty() || work.empty())
        Die("usage: inventory-bench --bin BUILD_DIR --work DIR [--sizes 100,1000,10000] [--runs N]");
    mkdir(work.c_str(), 0755);
    // The programs run in scratch directories: absolute paths.
    for (std::string* path : {&bin, &work}) {
        char* resolved = realpath(path->c_str(), nullptr);
        if (resolved == nullptr)
            Die("no such directory: " + *path);
        *path = resolved;
        std::free(resolved);
    }

    const Command tool{{bin + "/tool/iscsi-inventory"}};
    const Command floor{{bin + "/bench/inventory-floor"}};
    const Command rulesFloor{{bin + "/bench/inventory-floor", "--rules"}};
    std::vector<Command> systool;
    for (const char* cls : {"iscsi_host", "iscsi_transport", "iscsi_connection", "iscsi_session"})
        systool.push_back({{"systool", "-c", cls, "-v"}});

    std::printf("%9s %9s %9s %9s %9s %10s %10s %12s %13s %9s %9s\n", "sessions", "tool s",
                "floor s", "rules s", "systool s", "tool/floor", "tool/rules", "tool/systool",
                "tool us/sess", "RSS MB", "out MB");
    double perSession1000 = 0, perSession10000 = 0;
    for (int size : sizes) {
        const std::string tree = work + "/sessions-" + std::to_string(size);
        if (FileSize(tree + "/complete") == 0) {
            std::string cmd = "rm -rf '" + tree + "' && '" + bin + "/bench/make-iscsi-tree' '" +
                              tree + "' " + std::to_string(size) + " && echo ok > '" + tree +
                              "/complete'";
            if (std::system(cmd.c_str()) != 0)
                Die("cannot build the tree for " + std::to_string(size) + " sessions");
        }
        const std::string cwd = tree + "/run";
        mkdir(cwd.c_str(), 0755);

        Sample t = Measure({tool}, tree, cwd, runs);
        Sample f = Measure({floor}, tree, cwd, runs);
        Sample r = Measure({rulesFloor}, tree, cwd, runs);
        Sample s = Measure(systool, tree, cwd, runs);
        // The output's size, for the memory column's yardstick.
        RunOnce(tool, tree, cwd, cwd + "/inventory.out");
        const double outMb = FileSize(cwd + "/inventory.out") / 1e6;

        const double perSession = t.seconds / size * 1e6;
        if (size == 1000)
            perSession1000 = perSession;
        if (size == 10000)
            perSession10000 = perSession;
        std::printf("%9d %9.3f %9.3f %9.3f %9.3f %10.2f %10.2f %12.2f %13.1f %9.1f %9.1f\n", size,
                    t.seconds, f.seconds, r.seconds, s.seconds, t.seconds / f.seconds,
                    t.seconds / r.seconds, t.seconds / s.seconds, perSession, t.peakKb / 1024.0,
                    outMb);
        std::fflush(stdout);
    }
    if (perSession1000 > 0 && perSession10000 > 0)
        std::printf("per-session cost, 10,000 vs 1,000 sessions: %.2fx\n",
                    perSession10000 / perSession1000);
    return 0;
}

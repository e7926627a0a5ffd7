// SPDX-License-Identifier: MIT
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
#include <cstdio>
#include <string>
#include <vector>

#include "bench_run.h"

using namespace bench;

int main(int argc, char** argv)
{
    const Options options = ParseOptions(
        argc, argv,
        "usage: inventory-bench --bin BUILD_DIR --work DIR [--sizes 100,1000,10000] [--runs N]");
    const std::string& bin = options.bin;
    const int runs = options.runs;

    const Command tool{{bin + "/tool/iscsi-inventory"}};
    const Command floor{{bin + "/bench/inventory-floor"}};
    const Command rulesFloor{{bin + "/bench/inventory-floor", "--rules"}};
    const std::vector<Command> systool{{{"systool", "-c", "iscsi_host", "-v"}},
                                       {{"systool", "-c", "iscsi_transport", "-v"}},
                                       {{"systool", "-c", "iscsi_connection", "-v"}},
                                       {{"systool", "-c", "iscsi_session", "-v"}}};

    std::printf("%9s %9s %9s %9s %9s %10s %10s %12s %13s %9s %9s\n", "sessions", "tool s",
                "floor s", "rules s", "systool s", "tool/floor", "tool/rules", "tool/systool",
                "tool us/sess", "RSS MB", "out MB");
    double perSession1000 = 0, perSession10000 = 0;
    for (int size : options.sizes) {
        const std::string tree = options.work + "/sessions-" + std::to_string(size);
        EnsureTree(bin + "/bench/make-iscsi-tree", tree, size);
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

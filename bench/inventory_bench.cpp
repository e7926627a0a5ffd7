// SPDX-License-Identifier: MIT
// inventory-bench: times iscsi-inventory at 100, 1,000 and 10,000 sessions
// against the floor (inventory-floor: each printed file read once) and the
// peer (systool -c <class> -v over the four iSCSI classes), and its joined
// forms (--json and --prometheus, without a log) against their floor
// (inventory-floor --joined: each file they read, read once) and that floor
// with the mount checks their queries make (--joined-checks), all on the
// same fabricated tree served at /sys through umockdev, and prints two
// tables.
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

    const Command json{{bin + "/tool/iscsi-inventory", "--json", "--no-log"}};
    const Command prometheus{{bin + "/tool/iscsi-inventory", "--prometheus", "--no-log"}};
    const Command joinedFloor{{bin + "/bench/inventory-floor", "--joined"}};
    const Command joinedChecks{{bin + "/bench/inventory-floor", "--joined-checks"}};

    // The joined forms' rows, printed after the first table.
    struct JoinedRow {
        int size;
        Sample json, prometheus, floor, checks;
        long textPeakKb;
    };
    std::vector<JoinedRow> joined;

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
        joined.push_back({size, Measure({json}, tree, cwd, runs), Measure({prometheus}, tree, cwd, runs),
                          Measure({joinedFloor}, tree, cwd, runs),
                          Measure({joinedChecks}, tree, cwd, runs), t.peakKb});
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

    std::printf("\n--json and --prometheus (both --no-log) against the joined floor "
                "(inventory-floor --joined) and the joined floor with the mount checks of their "
                "queries (--joined-checks)\n");
    std::printf("%9s %8s %8s %8s %8s %10s %10s %11s %11s %11s %11s %8s %8s %9s %9s\n", "sessions",
                "json s", "prom s", "floor s", "checks s", "json/floor", "prom/floor",
                "json/checks", "prom/checks", "json us/ses", "prom us/ses", "json MB", "prom MB",
                "json/text", "prom/text");
    const JoinedRow* at1000 = nullptr;
    const JoinedRow* at10000 = nullptr;
    for (const JoinedRow& row : joined) {
        std::printf("%9d %8.3f %8.3f %8.3f %8.3f %10.2f %10.2f %11.2f %11.2f %11.1f %11.1f %8.1f "
                    "%8.1f %9.2f %9.2f\n",
                    row.size, row.json.seconds, row.prometheus.seconds, row.floor.seconds,
                    row.checks.seconds, row.json.seconds / row.floor.seconds,
                    row.prometheus.seconds / row.floor.seconds, row.json.seconds / row.checks.seconds,
                    row.prometheus.seconds / row.checks.seconds, row.json.seconds / row.size * 1e6,
                    row.prometheus.seconds / row.size * 1e6, row.json.peakKb / 1024.0,
                    row.prometheus.peakKb / 1024.0,
                    static_cast<double>(row.json.peakKb) / row.textPeakKb,
                    static_cast<double>(row.prometheus.peakKb) / row.textPeakKb);
        if (row.size == 1000)
            at1000 = &row;
        if (row.size == 10000)
            at10000 = &row;
    }
    if (at1000 != nullptr && at10000 != nullptr) {
        auto growth = [&](const Sample JoinedRow::*form) {
            return ((at10000->*form).seconds / 10000) / ((at1000->*form).seconds / 1000);
        };
        std::printf("per-session cost, 10,000 vs 1,000 sessions: json %.2fx, prometheus %.2fx, "
                    "floor %.2fx\n",
                    growth(&JoinedRow::json), growth(&JoinedRow::prometheus),
                    growth(&JoinedRow::floor));
    }
    return 0;
}

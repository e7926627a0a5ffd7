// SPDX-License-Identifier: MIT
// inventory-bench: times iscsi-inventory at 100, 1,000 and 10,000 sessions
// against the floor (inventory-floor: each printed file read once) and the
// peer (systool -c <class> -v over the four iSCSI classes), and its joined
// forms (--json and --prometheus, without a log) against their floor
// (inventory-floor --joined: each file they read, read once) and that floor
// with the mount checks their queries make (--joined-checks), and the forms
// that join the LUNs across sessions (--luns and --check, without a log)
// against the joined floor and against --json, all on the same fabricated
// tree served at /sys through umockdev, and prints three tables.
//
// --check is a monitoring plugin: its verdicts WARNING and CRITICAL (exit 1
// and 2) are runs that did their work; UNKNOWN (3) is a run that failed, and
// ends the benchmark, except from a tool whose --check is not built yet
// (it says so), which is reported as such.
//
//   inventory-bench --bin BUILD_DIR --work DIR [--sizes 100,1000,10000] [--runs N]
//
// Every program runs under the umockdev preload with standard output to
// /dev/null, in its own scratch directory (the tool writes SysReader.log
// there).  Times are wall-clock medians of N runs after one warm-up run;
// peak RSS is the largest of those runs.  The joined forms, their floors,
// --luns and --check are taken in turn within each run, so that the load of
// a shared machine weighs on their ratios as little as it can.  Trees are
// generated once per size and kept in DIR.
#include <fstream>
#include <cstdio>
#include <string>
#include <vector>

#include "bench_run.h"

using namespace bench;

namespace {

// What a trial run of --check at one size said: its exit status and first
// line, or that the tool's --check is not built yet.
struct Verdict {
    bool built = false;
    int status = 0;
    std::string line;
};

Verdict TryCheck(const Command& check, const std::string& tree, const std::string& cwd)
{
    Command trial = check;
    trial.completed = {0, 1, 2, 3};
    const std::string out = cwd + "/check.out";
    Verdict verdict;
    verdict.status = RunOnce(trial, tree, cwd, out).status;
    std::ifstream text(out);
    std::getline(text, verdict.line);
    verdict.built = !(verdict.status == 3 && verdict.line.find("not built yet") != std::string::npos);
    if (verdict.built && verdict.status == 3)
        Die("--check could not judge the tree (exit 3): " + verdict.line);
    return verdict;
}

}  // namespace

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
    const Command luns{{bin + "/tool/iscsi-inventory", "--luns", "--no-log"}};
    const Command check{{bin + "/tool/iscsi-inventory", "--check", "--no-log"}, {0, 1, 2}};

    // The joined forms' rows, printed after the first table.
    struct JoinedRow {
        int size;
        Sample json, prometheus, floor, checks;
        long textPeakKb;
        Sample luns, check;
        Verdict verdict;
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
        const Verdict verdict = TryCheck(check, tree, cwd);
        std::vector<Command> inTurn{json, prometheus, joinedFloor, joinedChecks, luns};
        if (verdict.built)
            inTurn.push_back(check);
        const std::vector<Sample> j = MeasureInTurn(inTurn, tree, cwd, runs);
        joined.push_back({size, j[0], j[1], j[2], j[3], t.peakKb, j[4],
                          verdict.built ? j[5] : Sample{}, verdict});
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

    // --luns and --check read what --json reads and join the LUNs at the
    // end: their cost is held against both.
    std::printf("\n--luns and --check (both --no-log) against the joined floor and against --json, "
                "taken in turn with them\n");
    std::printf("%9s %8s %9s %8s %8s %10s %11s %9s %10s %11s %12s %8s %8s\n", "sessions", "luns s",
                "check s", "json s", "floor s", "luns/floor", "check/floor", "luns/json",
                "check/json", "luns us/ses", "check us/ses", "luns MB", "check MB");
    for (const JoinedRow& row : joined) {
        const double floorSeconds = row.floor.seconds, jsonSeconds = row.json.seconds;
        const bool built = row.verdict.built;
        // A figure of --check, or what stands in its place when it is not built.
        auto checkCell = [&](int width, int decimals, double value, const char* absent,
                             char after = ' ') {
            if (built)
                std::printf("%*.*f%c", width, decimals, value, after);
            else
                std::printf("%*s%c", width, absent, after);
        };
        std::printf("%9d %8.3f ", row.size, row.luns.seconds);
        checkCell(9, 3, row.check.seconds, "not built");
        std::printf("%8.3f %8.3f %10.2f ", jsonSeconds, floorSeconds,
                    row.luns.seconds / floorSeconds);
        checkCell(11, 2, row.check.seconds / floorSeconds, "-");
        std::printf("%9.2f ", row.luns.seconds / jsonSeconds);
        checkCell(10, 2, row.check.seconds / jsonSeconds, "-");
        std::printf("%11.1f ", row.luns.seconds / row.size * 1e6);
        checkCell(12, 1, row.check.seconds / row.size * 1e6, "-");
        std::printf("%8.1f ", row.luns.peakKb / 1024.0);
        checkCell(8, 1, row.check.peakKb / 1024.0, "-", '\n');
    }
    if (at1000 != nullptr && at10000 != nullptr) {
        auto growth = [&](const Sample JoinedRow::*form) {
            return ((at10000->*form).seconds / 10000) / ((at1000->*form).seconds / 1000);
        };
        std::printf("per-session cost, 10,000 vs 1,000 sessions: luns %.2fx, ", growth(&JoinedRow::luns));
        if (at1000->verdict.built && at10000->verdict.built)
            std::printf("check %.2fx, ", growth(&JoinedRow::check));
        else
            std::printf("check not built, ");
        std::printf("json %.2fx, floor %.2fx\n", growth(&JoinedRow::json), growth(&JoinedRow::floor));
    }
    for (const JoinedRow& row : joined) {
        if (row.verdict.built)
            std::printf("--check at %d sessions: exit %d, \"%s\"\n", row.size, row.verdict.status,
                        row.verdict.line.c_str());
        else
            std::printf("--check at %d sessions: not built (\"%s\")\n", row.size,
                        row.verdict.line.c_str());
    }
    return 0;
}

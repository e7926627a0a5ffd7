// SPDX-License-Identifier: MIT
// bus-bench: times the reader's SCSI bus queries on fabricated buses of 100,
// 1,000 and 10,000 devices (make-scsi-bus), served at /sys through umockdev,
// and prints a table and the ratios the bus side is held to:
//
//   - the cost of one GetDeviceAttr, GetDeviceDriver and GetPCIDeviceBDF call
//     (bus-query-bench) as the bus grows: at most 1.3x from 1,000 to 10,000;
//   - GetDeviceList (bus-query-bench --list) against the floor of listing
//     the bus (bus-list-floor): at most 3x at 10,000;
//   - sysfs-buses scsi against systool -b scsi -v: faster at 1,000 and 10,000;
//   - the peak RSS of each.
//
//   bus-bench --bin BUILD_DIR --work DIR [--sizes 100,1000,10000] [--runs N]
//             [--calls K] [--max-seconds S]
//
// Every program runs under the umockdev preload with standard output to
// /dev/null, in a scratch directory.  Times are wall-clock medians of N runs
// after one warm-up run (per-call figures: medians of N runs of K calls
// each); peak RSS is the largest of the runs.  No program run may take more
// than S seconds (default 300): one that does is killed, its figure shows as
// ">S" and its remaining runs are skipped, so that a slow build cannot hang
// the benchmark.  Trees are generated once per size and kept in DIR.
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "bench_run.h"

using namespace bench;

namespace {

const char* const kQueries[] = {"GetDeviceAttr", "GetDeviceDriver", "GetPCIDeviceBDF"};

// A figure, or the bound it passed when its program was killed.
struct Figure {
    double value = 0;
    bool timedOut = false;
};

struct Row {
    int size = 0;
    std::map<std::string, Figure> perCallUs;
    Sample list, floor, buses, systool;
    long queryPeakKb = 0;
};

std::string Show(const Figure& figure, const char* format)
{
    char text[32];
    std::snprintf(text, sizeof text, format, figure.value);
    return (figure.timedOut ? ">" : "") + std::string(text);
}

Figure Seconds(const Sample& sample) { return {sample.seconds, sample.timedOut}; }

// a / b: a lower bound when a was cut short, unknown when b was.
std::string Ratio(const Figure& a, const Figure& b)
{
    if (b.timedOut || b.value <= 0)
        return "?";
    return Show({a.value / b.value, a.timedOut}, "%.2f");
}

// Per-call microseconds of each query, medians of runs of bus-query-bench
// (of fewer runs once one had to stop a query early); none when a run was
// killed at the limit.
std::map<std::string, Figure> PerCall(const Command& command, std::size_t wanted,
                                      const std::string& tree, const std::string& cwd, int runs,
                                      double limit, long& peakKb)
{
    std::map<std::string, std::vector<double>> samples;
    std::map<std::string, Figure> result;
    const std::string out = cwd + "/queries.out";
    for (int run = 0; run < runs; ++run) {
        Sample s = RunOnce(command, tree, cwd, out, limit);
        peakKb = std::max(peakKb, s.peakKb);
        if (s.timedOut)
            return result;  // killed: no figure (shown as "-")
        std::ifstream in(out);
        std::string name;
        double us = 0;
        std::size_t calls = 0;
        bool cut = false;  // a query ran out of time before its calls were done
        while (in >> name >> us >> calls) {
            samples[name].push_back(us);
            cut = cut || calls < wanted;
        }
        if (cut)
            break;  // a reader that slow gains nothing from more runs
    }
    for (auto& [name, values] : samples) {
        std::sort(values.begin(), values.end());
        result[name] = {values[values.size() / 2], false};
    }
    return result;
}

void PrintRow(const Row& row)
{
    auto perCall = [&](const char* query) {
        auto found = row.perCallUs.find(query);
        return found == row.perCallUs.end() ? std::string("-") : Show(found->second, "%.1f");
    };
    const Figure list = Seconds(row.list), floor = Seconds(row.floor);
    const Figure buses = Seconds(row.buses), systool = Seconds(row.systool);
    std::printf("%8d %10s %10s %10s %9s %9s %10s %9s %9s %13s %6.1f %6.1f %6.1f %6.1f %6.1f\n",
                row.size, perCall("GetDeviceAttr").c_str(), perCall("GetDeviceDriver").c_str(),
                perCall("GetPCIDeviceBDF").c_str(),
                Show({list.value * 1e3, list.timedOut}, "%.1f").c_str(),
                Show({floor.value * 1e3, floor.timedOut}, "%.1f").c_str(), Ratio(list, floor).c_str(),
                Show(buses, "%.3f").c_str(), Show(systool, "%.3f").c_str(),
                Ratio(buses, systool).c_str(), row.queryPeakKb / 1024.0,
                row.list.peakKb / 1024.0, row.floor.peakKb / 1024.0, row.buses.peakKb / 1024.0,
                row.systool.peakKb / 1024.0);
    std::fflush(stdout);
}

// The ratios the bus side is held to, between the two largest sizes measured
// (the targets are set for 1,000 and 10,000 devices).
void PrintSummary(const std::vector<Row>& rows)
{
    if (rows.empty())
        return;
    const Row& large = rows.back();
    if (rows.size() >= 2) {
        const Row& small = rows[rows.size() - 2];
        std::printf("per-call cost, %d vs %d devices (target: at most 1.30x from 1,000 to 10,000):",
                    large.size, small.size);
        for (const char* query : kQueries) {
            auto a = large.perCallUs.find(query), b = small.perCallUs.find(query);
            if (a != large.perCallUs.end() && b != small.perCallUs.end())
                std::printf(" %s %sx", query, Ratio(a->second, b->second).c_str());
        }
        std::printf("\n");
    }
    std::printf("GetDeviceList / floor at %d devices (target: at most 3x at 10,000): %sx\n",
                large.size, Ratio(Seconds(large.list), Seconds(large.floor)).c_str());
    std::printf("sysfs-buses / systool (target: below 1 at 1,000 and 10,000):");
    for (const Row& row : rows)
        std::printf(" %d: %sx", row.size, Ratio(Seconds(row.buses), Seconds(row.systool)).c_str());
    std::printf("\n");
}

}  // namespace

int main(int argc, char** argv)
{
    double calls = 100, maxSeconds = 300;
    const Options options = ParseOptions(
        argc, argv,
        "usage: bus-bench --bin BUILD_DIR --work DIR [--sizes 100,1000,10000] [--runs N] "
        "[--calls K] [--max-seconds S]",
        {{"--calls", &calls}, {"--max-seconds", &maxSeconds}});
    const std::string& bin = options.bin;
    const int runs = options.runs;

    // The query program splits its time limit over its three queries and
    // their untimed first calls.
    const Command queries{{bin + "/bench/bus-query-bench", "--calls",
                           std::to_string(static_cast<int>(calls)), "--seconds",
                           std::to_string(maxSeconds / 4)}};
    const Command list{{bin + "/bench/bus-query-bench", "--list"}};
    const Command floor{{bin + "/bench/bus-list-floor", "scsi"}};
    const Command buses{{bin + "/examples/sysfs-buses/sysfs-buses", "scsi"}};
    const Command systool{{"systool", "-b", "scsi", "-v"}};

    std::printf("%8s %10s %10s %10s %9s %9s %10s %9s %9s %13s %34s\n", "devices", "attr us",
                "driver us", "bdf us", "list ms", "floor ms", "list/floor", "buses s",
                "systool s", "buses/systool", "peak RSS MB: query list floor buses systool");
    std::vector<Row> rows;
    for (int size : options.sizes) {
        const std::string tree = options.work + "/scsi-" + std::to_string(size);
        EnsureTree(bin + "/bench/make-scsi-bus", tree, size);
        const std::string cwd = tree + "/run";
        mkdir(cwd.c_str(), 0755);

        Row row;
        row.size = size;
        row.list = Measure({list}, tree, cwd, runs, maxSeconds);
        row.floor = Measure({floor}, tree, cwd, runs, maxSeconds);
        row.perCallUs = PerCall(queries, static_cast<std::size_t>(calls), tree, cwd, runs,
                                maxSeconds, row.queryPeakKb);
        row.buses = Measure({buses}, tree, cwd, runs, maxSeconds);
        row.systool = Measure({systool}, tree, cwd, runs, maxSeconds);
        PrintRow(row);
        rows.push_back(row);
    }
    PrintSummary(rows);
    return 0;
}

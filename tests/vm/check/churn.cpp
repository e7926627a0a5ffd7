// SPDX-License-Identifier: MIT
// The churn phase ran iscsi-inventory and sysfs-buses in turn, over and
// over, while sessions logged out and in and LUNs came and went, each run
// between two dumps (the dump after one run is the dump before the next).
// Every run must have ended with status 0 and shown what both its dumps
// show; the runs must have seen sysfs change.
#include <regex>

#include "outputs.h"
#include "phases.h"

namespace vmcheck {

namespace {

// Runs of each program the churn phase must have made (run.sh asks for 20
// in all by default: two kernels share the time CI allows).
const int kChurnRunsEach = 10;

// The exit status of a run; 124, 137 and 143 are those of a run its bound
// killed.
void CheckRunStatus(const std::string& run, const Statuses& statuses, const std::string& key)
{
    auto status = statuses.find(key);
    if (status == statuses.end())
        Fail(run, "no exit status");
    else if (status->second == 124 || status->second == 137 || status->second == 143)
        Fail(run, "did not finish within its bound (killed, exit status " + std::to_string(status->second) + ")");
    else if (status->second != 0)
        Fail(run, "exit status " + std::to_string(status->second));
}

// What changed in sysfs during a run, and the sessions and added LUNs the
// dump after it shows.
void Tally(ChurnFigures& figures, const Dump& previous, const Dump& next)
{
    static const std::regex lun("[0-9]+:[0-9]+:[0-9]+:([0-9]+)");
    std::set<std::string> was, is;
    for (const auto& [object, _] : previous.objects)
        was.insert(object.first + " " + object.second);
    for (const auto& [object, _] : next.objects)
        is.insert(object.first + " " + object.second);
    for (const auto& [name, path] : previous.busPaths)
        was.insert(path);
    for (const auto& [name, path] : next.busPaths)
        is.insert(path);
    figures.changedRuns += was != is;
    // Sessions by the ids in the paths: a short-lived one may show up
    // only in its connection or its SCSI devices.
    static const std::regex session("/session([0-9]+)(/|$)");
    auto sessions = [&](const std::string& path) {
        std::smatch m;
        if (std::regex_search(path, m, session))
            figures.sessions.insert(m[1]);
    };
    for (const auto& [_, object] : next.objects)
        sessions(object.path);
    for (const auto& [_, path] : next.busPaths)
        sessions(path);
    for (const auto& [name, _] : next.busDevices) {
        std::smatch m;
        if (std::regex_match(name, m, lun) && m[1] != "0")
            figures.luns.insert(m[1]);
    }
}

// What the loop must have done for the phase to mean anything.
void CheckChurnFigures(const ChurnFigures& figures)
{
    if (figures.inventoryRuns < kChurnRunsEach || figures.busesRuns < kChurnRunsEach)
        Fail("churn", "only " + std::to_string(figures.inventoryRuns) + " iscsi-inventory and " +
                          std::to_string(figures.busesRuns) + " sysfs-buses runs (" +
                          std::to_string(kChurnRunsEach) + " each needed)");
    if (figures.sessions.size() < 6)
        Fail("churn", "the dumps show only " + std::to_string(figures.sessions.size()) +
                          " sessions: sessions did not log out and in");
    if (figures.luns.size() < 5)
        Fail("churn", "the dumps show only " + std::to_string(figures.luns.size()) +
                          " added LUNs: LUNs did not come and go");
    if (figures.changedRuns < 10)
        Fail("churn", "sysfs changed during only " + std::to_string(figures.changedRuns) + " runs");
}

}  // namespace

// Run N is "churn inventory-N" or "churn buses-N" between "churn dump-(N-1)"
// and "churn dump-N"; the runs end where neither is.
void CheckChurn(Sections& sections, const Statuses& statuses, ChurnFigures& figures)
{
    if (!sections.count("churn dump-0")) {
        Fail("churn", "no results");
        return;
    }
    Dump previous = ParseDump(sections["churn dump-0"]);
    for (int number = 1;; ++number) {
        std::string n = std::to_string(number);
        bool inventory = sections.count("churn inventory-" + n) != 0;
        if (!inventory && !sections.count("churn buses-" + n))
            break;
        std::string program = inventory ? "iscsi-inventory" : "sysfs-buses";
        std::string run = "churn run " + n + " " + program;
        if (!sections.count("churn dump-" + n)) {
            Fail(run, "no dump after the run");
            break;
        }
        Dump next = ParseDump(sections["churn dump-" + n]);
        std::string key = std::string("churn ") + (inventory ? "inventory-" : "buses-") + n;
        CheckRunStatus(run, statuses, key);
        if (inventory) {
            ++figures.inventoryRuns;
            CheckChurnInventory(run, previous, next, sections[key], sections["churn trace-" + n]);
        } else {
            ++figures.busesRuns;
            CheckChurnBuses(run, previous, next, sections[key]);
        }
        Tally(figures, previous, next);
        previous = std::move(next);
    }
    CheckChurnFigures(figures);
}

}  // namespace vmcheck

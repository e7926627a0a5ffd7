// SPDX-License-Identifier: MIT
// vm-check RESULTS [PHASE...]: checks what the test VM reported
// (tests/vm/init.sh, tests/vm/phases) against independent dumps of sysfs
// taken beside each program run, phase by phase (loggedin, failed, chap,
// multipath, iser, churn, san; each a file of its own here), and prints a
// line "FAIL [phase] ..." per failure, then a summary of what passed.  Exits
// 0 when nothing failed, 1 when something did, 2 on a wrong command line.
//
// For each phase the dump taken before and the one taken after the programs
// ran say what sysfs held; the outputs are compared with them by the
// comparisons all phases share (inventory.cpp, json.cpp, sessions.cpp,
// prometheus.cpp, luns.cpp, lun_metrics.cpp, verdict.cpp, buses.cpp), and
// in the multipath and SAN phases the tool's views were timed against their
// peers (peers.cpp).
#include <cstdio>
#include <iostream>

#include "phases.h"

namespace vmcheck {

namespace {

const std::set<std::string> kPhases{"loggedin", "failed", "chap", "multipath", "iser", "churn", "san"};

// The phases to check: those named, else all of them.  A phase named that
// the VM did not report fails as "no results".  False after a message for
// a wrong command line.
bool ReadArguments(int argc, char** argv, std::set<std::string>& phases)
{
    for (int i = 2; i < argc; ++i) {
        if (!kPhases.count(argv[i])) {
            std::cerr << "vm-check: unknown phase " << argv[i] << "\n";
            return false;
        }
        phases.insert(argv[i]);
    }
    if (argc < 2) {
        std::cerr << "usage: vm-check RESULTS [PHASE...]\n";
        return false;
    }
    if (phases.empty())
        phases = kPhases;
    return true;
}

// The marks of the whole run: it must have ended ("DONE") without a fatal
// error.  Returns the session whose target the failed phase disabled.
std::string CheckMarks(const std::vector<std::string>& marks)
{
    std::string failedSession;
    bool done = false;
    for (const std::string& mark : marks) {
        if (mark.rfind("FATAL", 0) == 0)
            Fail("vm", mark);
        if (mark.rfind("FAILED ", 0) == 0)
            failedSession = mark.substr(7);
        done = done || mark == "DONE";
    }
    if (!done)
        Fail("vm", "the VM did not finish its run");
    return failedSession;
}

struct Figures {
    ChurnFigures churn;
    ChapFigures chap;
    MultipathFigures multipath;
    ViewFigures views;
    DmFigures dm;
    IserFigures iser;
    SanFigures san;
};

void CheckPhases(const std::set<std::string>& phases, Sections& sections, const Statuses& statuses,
                 const std::vector<std::string>& marks, const std::string& failedSession, Figures& figures)
{
    auto checks = [&](const char* phase) { return phases.count(phase) != 0; };
    for (const char* phase : {"loggedin", "failed"}) {
        if (!checks(phase))
            continue;
        if (!sections.count(std::string(phase) + " inventory")) {
            Fail(phase, "no results");
            continue;
        }
        CheckLoggedIn(phase, sections);
    }
    if (checks("failed") && !failedSession.empty())
        CheckFailed(sections, failedSession);
    if (checks("churn"))
        CheckChurn(sections, statuses, figures.churn);
    if (checks("chap"))
        CheckChap(sections, statuses, marks, figures.chap);
    if (checks("multipath")) {
        CheckMultipath(sections, marks, figures.multipath);
        const std::string& failed = figures.multipath.failed;
        CheckMultipathViews(sections, statuses, failed.substr(0, failed.find(' ')), figures.views);
        CheckMultipathDm(sections, statuses, marks, figures.dm);
    }
    if (checks("iser"))
        CheckIser(sections, marks, figures.iser);
    if (checks("san"))
        CheckSan(sections, figures.san);
}

void PrintMultipath(const MultipathFigures& multipath, const ViewFigures& views, const DmFigures& dm)
{
    const std::string& failed = multipath.failed;  // "sessionN after S s"
    std::printf("vm-check: multipath: %s and %s are the paths of %s (%s), WWID %s; with its "
                "portal disabled %s showed FAILED in the metrics %s; phase %s\n",
                multipath.paths[0].c_str(), multipath.paths[1].c_str(), multipath.map.c_str(),
                multipath.uuid.c_str(), multipath.wwid.c_str(), failed.substr(0, failed.find(' ')).c_str(),
                failed.find(' ') == std::string::npos ? "" : failed.substr(failed.find(' ') + 1).c_str(),
                multipath.seconds.c_str());
    std::printf("vm-check: multipath: --luns and the metrics show %s paths running, %s with the portal "
                "disabled; --check OK, then WARNING naming the failed session and the LUN (also "
                "against a baseline saved before), CRITICAL with both portals disabled, OK with both "
                "back; the metrics' findings the check's each time\n",
                views.before.c_str(), views.after.c_str());
    std::printf("vm-check: multipath: %s failed in the device-mapper alone (%llu failure%s, its SCSI device "
                "running, its session logged in): --luns, --json and the metrics show it failed as dmsetup "
                "does, 1 of 2 paths running, --check WARNING path-lost (failed by the device-mapper); "
                "without the privilege --luns says the maps were not read and judges from sysfs; "
                "reinstated, %s paths running\n",
                dm.path.c_str(), static_cast<unsigned long long>(dm.failures), dm.failures == 1 ? "" : "s",
                dm.reinstated.c_str());
}

// What each phase showed, when nothing failed; the peers' times are
// figures, not verdicts: shown whatever failed.
void PrintSummaries(const std::set<std::string>& phases, Figures& figures)
{
    auto passed = [&](const char* phase) { return Failures() == 0 && phases.count(phase) != 0; };
    const IserFigures& iser = figures.iser;
    if (passed("iser"))
        std::printf("vm-check: iser: %s on %s over iSER (%zu disks) beside %zu tcp sessions; "
                    "text, --json, --sessions, --prometheus match the dump; its objects against "
                    "tcp's (+ only iSER, - only tcp):%s\n",
                    iser.session.c_str(), iser.host.c_str(), iser.disks, iser.tcpSessions,
                    iser.differences.empty() ? " none" : iser.differences.c_str());
    const ChurnFigures& churn = figures.churn;
    if (passed("churn"))
        std::printf("vm-check: churn: %d iscsi-inventory and %d sysfs-buses runs, sysfs changed "
                    "during %d; %zu sessions and %zu added LUNs seen\n",
                    churn.inventoryRuns, churn.busesRuns, churn.changedRuns, churn.sessions.size(),
                    churn.luns.size());
    if (passed("chap"))
        std::printf("vm-check: chap: %s logged in with mutual CHAP (refused with either secret "
                    "wrong); sysfs shows its secrets to root, %zu masked outputs, facts and "
                    "trace logs do not, --show-secrets does; phase %s\n",
                    figures.chap.session.c_str(), figures.chap.masked, figures.chap.seconds.c_str());
    if (passed("multipath"))
        PrintMultipath(figures.multipath, figures.views, figures.dm);
    if (!figures.views.peers.empty())
        std::printf("vm-check: peers: multipath: %s\n", Joined(figures.views.peers, "; ").c_str());
    SanFigures& san = figures.san;
    if (!san.peers.empty())
        std::printf("vm-check: peers: san: %s\n", Joined(san.peers, "; ").c_str());
    if (passed("san"))
        std::printf("vm-check: san: %zu SCSI disks on %zu sessions: dump %.2f s (after: %.2f s), "
                    "iscsi-inventory %.2f s, sysfs-buses scsi %.2f s\n",
                    san.disks, san.sessions, san.seconds["dump-before"], san.seconds["dump-after"],
                    san.seconds["iscsi-inventory"], san.seconds["sysfs-buses"]);
}

}  // namespace

}  // namespace vmcheck

int main(int argc, char** argv)
{
    using namespace vmcheck;
    std::set<std::string> phases;
    if (!ReadArguments(argc, argv, phases))
        return 2;
    std::vector<std::string> marks;
    Statuses statuses;
    Sections sections = ReadSections(argv[1], marks, statuses);
    std::string failedSession = CheckMarks(marks);
    Figures figures;
    CheckPhases(phases, sections, statuses, marks, failedSession, figures);
    PrintSummaries(phases, figures);
    std::cout << (Failures() == 0 ? "vm-check: all checks passed\n"
                                  : "vm-check: " + std::to_string(Failures()) + " failures\n");
    return Failures() == 0 ? 0 : 1;
}

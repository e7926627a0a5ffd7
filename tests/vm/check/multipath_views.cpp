// SPDX-License-Identifier: MIT
// The multipath phase's views per LUN, before and after one portal was
// disabled, each against the dumps taken beside it: --luns must show every
// LUN line for line (2 of 2 paths running, then 1 of 2), the LUN and disk
// metrics the same counts, states, flags and sizes, and --check (text,
// --json, against a baseline saved before) exit 0 saying OK, then 1 saying
// WARNING (the LUN still runs through the other portal: redundancy lost)
// with perfdata that counts what the dumps show and findings that name the
// failed session and the LUN, worst first; other findings may be there.  The tool's views were timed against iscsiadm and multipath -ll.
// Failures name "multipath luns", "multipath metrics", "multipath check"
// and "multipath peers".
#include <algorithm>

#include "outputs.h"
#include "phases.h"

namespace vmcheck {

namespace {

const std::string kAfter = " after the portal was disabled";

std::optional<int> Status(const Statuses& statuses, const std::string& name)
{
    auto found = statuses.find("multipath " + name);
    return found == statuses.end() ? std::nullopt : std::optional<int>(found->second);
}

// The multipath LUN of a dump: the one whose paths run to its target.
const LunFacts* MultipathLun(const std::vector<LunFacts>& luns)
{
    for (const LunFacts& lun : luns)
        for (const PathFacts& path : lun.paths)
            if (path.target == kMultipathTarget && !lun.wwid.empty())
                return &lun;
    return nullptr;
}

// Before: the LUN with both paths running (else nothing after could show a
// path lost), and every view saying so.
void CheckViewsBefore(Sections& sections, const Statuses& statuses, ViewFigures& figures)
{
    Dump dump = ParseDump(sections["multipath dump-before"]);
    std::vector<LunFacts> luns = LunsOf(dump, ParseDisks(sections["multipath disks"]));
    const LunFacts* lun = MultipathLun(luns);
    if (lun == nullptr || lun->paths.size() != 2 || lun->Running() != 2)
        Fail("multipath luns", "the dumps do not show the multipath LUN with 2 of 2 paths running");
    else
        figures.before = "2 of 2";
    CheckLuns("multipath luns", "--luns", sections["multipath luns"], luns);
    CheckLunMetrics("multipath metrics", "--prometheus", sections["multipath prometheus"], luns);
    Census census = CensusOf(dump, luns);
    CheckVerdictText("multipath check", "--check", sections["multipath check"], Status(statuses, "check"), 0,
                     census, nullptr);
    CheckVerdictJson("multipath check", "--check --json", sections["multipath check-json"],
                     Status(statuses, "check-json"), 0, census, nullptr);
    CheckStatus("multipath check", "--save-baseline", Status(statuses, "save-baseline"), 0);
    if (sections["multipath baseline"].empty())
        Fail("multipath check", "--save-baseline left no baseline");
    CheckVerdictText("multipath check", "--check --baseline", sections["multipath check-baseline"],
                     Status(statuses, "check-baseline"), 0, census, nullptr);
}

// What the findings must name once the failed session's path is down: the
// session with its target and portal, the LUN with its WWID, block devices
// and addresses and "1 of 2".  Empty names when the dumps do not show the
// LUN with one path of two running, the failed session's not.
Named NamedAfter(const std::vector<LunFacts>& luns, const std::string& failedSession, ViewFigures& figures)
{
    Named named;
    const LunFacts* lun = MultipathLun(luns);
    if (lun == nullptr || lun->paths.size() != 2 || lun->Running() != 1 ||
        std::none_of(lun->paths.begin(), lun->paths.end(), [&](const PathFacts& path) {
            return path.session == failedSession && !path.Running();
        })) {
        Fail("multipath luns", "the dumps do not show the multipath LUN with 1 of 2 paths running, " +
                                   (failedSession.empty() ? std::string("the failed one's") : failedSession) +
                                   " not");
        return named;
    }
    figures.after = "1 of 2";
    named.lun = {lun->wwid};
    named.running = 1;
    named.paths = 2;
    for (const PathFacts& path : lun->paths) {
        if (!path.block.empty())
            named.lun.push_back(path.block);
        named.lun.push_back(path.hctl);
        if (path.session != failedSession)
            continue;
        named.session = {path.session};
        if (path.target)
            named.session.push_back(*path.target);
        if (path.portal)
            named.session.push_back(*path.portal);
    }
    return named;
}

// After: the failed session's path not running, the other running, and
// every view WARNING (the LUN lost redundancy, no more), naming them.
void CheckViewsAfter(Sections& sections, const Statuses& statuses, const std::string& failedSession,
                     ViewFigures& figures)
{
    Dump failed = ParseDump(sections["multipath dump-failed"]);
    std::vector<LunFacts> failedLuns = LunsOf(failed, ParseDisks(sections["multipath disks-failed"]));
    Named named = NamedAfter(failedLuns, failedSession, figures);
    CheckLuns("multipath luns", "--luns" + kAfter, sections["multipath luns-failed"], failedLuns);
    CheckLunMetrics("multipath metrics", "--prometheus" + kAfter, sections["multipath prometheus-failed"],
                    failedLuns);
    Census census = CensusOf(failed, failedLuns);
    const Named* names = named.session.empty() ? nullptr : &named;
    CheckVerdictText("multipath check", "--check" + kAfter, sections["multipath check-failed"],
                     Status(statuses, "check-failed"), 1, census, names);
    CheckVerdictJson("multipath check", "--check --json" + kAfter, sections["multipath check-json-failed"],
                     Status(statuses, "check-json-failed"), 1, census, names);
    CheckVerdictText("multipath check", "--check --baseline" + kAfter, sections["multipath check-baseline-failed"],
                     Status(statuses, "check-baseline-failed"), 1, census, names);
}

}  // namespace

void CheckMultipathViews(Sections& sections, const Statuses& statuses, const std::string& failedSession,
                         ViewFigures& figures)
{
    CheckViewsBefore(sections, statuses, figures);
    CheckViewsAfter(sections, statuses, failedSession, figures);
    figures.peers = CheckPeers("multipath peers", sections["multipath peers"], {kSessionsPeer, kLunsPeer});
}

}  // namespace vmcheck

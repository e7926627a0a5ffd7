// SPDX-License-Identifier: MIT
// The multipath phase's views per LUN, before and after one portal was
// disabled, each against the dumps taken beside it: --luns must show every
// LUN line for line (2 of 2 paths running, then 1 of 2), the LUN and disk
// metrics the same counts, states, flags and sizes, and --check (text,
// --json, against a baseline saved before) exit 0 saying OK, then 1 saying
// WARNING (the LUN still runs through the other portal: redundancy lost)
// with perfdata that counts what the dumps show and findings that name the
// failed session and the LUN, worst first; other findings may be there.
// With the other portal disabled too, 2 (CRITICAL: no path left); with both
// back, 0 again.  Each time dmsetup showed the map beside them, and --luns
// and the metrics must show its features, handler and groups and each
// path's state in it as dmsetup did.  The tool's views were timed against
// iscsiadm and multipath -ll.
// The metrics' findings (iscsi_check_finding), on which the shipped alerts
// fire, must be the check's, severity for severity.  Failures name
// "multipath luns", "multipath metrics", "multipath check", "multipath
// alerts", "multipath dm" (dmsetup's output) and "multipath peers".
#include <algorithm>
#include <cctype>
#include <map>
#include <regex>
#include <sstream>

#include <nlohmann/json.hpp>

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

// The findings a verdict holds, as "rule severity" (severity in lower case),
// counted; recovery-timeout left out, which the phase's check judges above
// 600 s where the metrics judge at their default.
std::map<std::string, int> JsonFindings(const std::string& text)
{
    std::map<std::string, int> found;
    const nlohmann::json document = nlohmann::json::parse(text, nullptr, false);
    if (document.is_discarded())
        return found;
    for (const nlohmann::json& finding : Items(document, "findings")) {
        std::string severity = Text(Member(finding, "severity")), rule = Text(Member(finding, "rule"));
        std::transform(severity.begin(), severity.end(), severity.begin(), ::tolower);
        if (rule != "recovery-timeout")
            ++found[rule + " " + severity];
    }
    return found;
}

std::map<std::string, int> MetricFindings(const std::string& exposition)
{
    static const std::regex finding(R"re(^iscsi_check_finding\{rule="([^"]*)",severity="([^"]*)".*\} 1$)re");
    std::map<std::string, int> found;
    std::istringstream lines(exposition);
    std::smatch m;
    for (std::string line; std::getline(lines, line);)
        if (std::regex_match(line, m, finding) && m[1] != "recovery-timeout")
            ++found[m[1].str() + " " + m[2].str()];
    return found;
}

// The alerts built on the metrics fire one per finding series, with its
// severity: those series must be the check's findings, severity for
// severity (one judge, two transports).
void CheckAlertsAreTheChecks(const std::string& what, const std::string& metrics, const std::string& check)
{
    const std::map<std::string, int> carried = MetricFindings(metrics), judged = JsonFindings(check);
    if (carried == judged)
        return;
    auto text = [](const std::map<std::string, int>& findings) {
        std::string joined;
        for (const auto& [finding, count] : findings)
            joined += (joined.empty() ? "" : ", ") + finding + (count > 1 ? " x" + std::to_string(count) : "");
        return joined.empty() ? std::string("none") : joined;
    };
    Fail("multipath alerts", what + ": the metrics carry the findings " + text(carried) + ", the check finds " +
                                 text(judged));
}

// The multipath LUN of a dump: the one whose paths run to its target.
LunFacts* MultipathLun(std::vector<LunFacts>& luns)
{
    for (LunFacts& lun : luns)
        for (const PathFacts& path : lun.paths)
            if (path.target == kMultipathTarget && !lun.wwid.empty())
                return &lun;
    return nullptr;
}

// The map's own view, as dmsetup showed it before the views ran (suffix ""
// or "-failed"): what --luns and the metrics must show of the map and of
// each path's state in it.
void AddDmView(Sections& sections, const std::string& suffix, std::vector<LunFacts>& luns)
{
    if (LunFacts* lun = MultipathLun(luns))
        AddMapStates("multipath dm", "dmsetup table and status" + suffix, sections["multipath dmtable" + suffix],
                     sections["multipath dmstatus" + suffix], *lun);
}

// Before: the LUN with both paths running (else nothing after could show a
// path lost), and every view saying so.
void CheckViewsBefore(Sections& sections, const Statuses& statuses, ViewFigures& figures)
{
    Dump dump = ParseDump(sections["multipath dump-before"]);
    std::vector<LunFacts> luns = LunsOf(dump, ParseDisks(sections["multipath disks"]));
    AddDmView(sections, "", luns);
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
    CheckAlertsAreTheChecks("--prometheus and --check --json", sections["multipath prometheus"],
                            sections["multipath check-json"]);
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
Named NamedAfter(std::vector<LunFacts>& luns, const std::string& failedSession, ViewFigures& figures)
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
    AddDmView(sections, "-failed", failedLuns);
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
    CheckAlertsAreTheChecks("--prometheus and --check --json" + kAfter, sections["multipath prometheus-failed"],
                            sections["multipath check-json-failed"]);
}

// Both portals disabled: the LUN has no path left, CRITICAL; both enabled
// again: OK.  Each time the metrics' findings are the check's.
void CheckBothAndBack(Sections& sections, const Statuses& statuses)
{
    const std::string both = " after both portals were disabled", back = " after both portals were back";
    CheckStatus("multipath check", "--check" + both, Status(statuses, "check-both-failed"), 2);
    CheckStatus("multipath check", "--check --json" + both, Status(statuses, "check-json-both-failed"), 2);
    CheckAlertsAreTheChecks("--prometheus and --check --json" + both, sections["multipath prometheus-both-failed"],
                            sections["multipath check-json-both-failed"]);
    CheckStatus("multipath check", "--check" + back, Status(statuses, "check-back"), 0);
    CheckStatus("multipath check", "--check --json" + back, Status(statuses, "check-json-back"), 0);
    CheckAlertsAreTheChecks("--prometheus and --check --json" + back, sections["multipath prometheus-back"],
                            sections["multipath check-json-back"]);
}

}  // namespace

void CheckMultipathViews(Sections& sections, const Statuses& statuses, const std::string& failedSession,
                         ViewFigures& figures)
{
    CheckViewsBefore(sections, statuses, figures);
    CheckViewsAfter(sections, statuses, failedSession, figures);
    CheckBothAndBack(sections, statuses);
    figures.peers = CheckPeers("multipath peers", sections["multipath peers"], {kSessionsPeer, kLunsMultipathPeer});
}

}  // namespace vmcheck

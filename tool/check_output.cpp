// SPDX-License-Identifier: MIT
#include "check_output.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <utility>

#include "baseline.h"
#include "json_string.h"
#include "json_value.h"
#include "terminal_text.h"

namespace inventory {

namespace {

// A finding of a rule whose severity is its own.
Finding Found(CheckRuleId rule, std::string object, std::string message)
{
    const Status severity = kCheckRules[rule].severity == Severity::Critical ? Status::Critical : Status::Warning;
    return {severity, kCheckRules[rule].name, std::move(object), std::move(message)};
}

// A finding whose severity was judged by its impact.
Finding Found(CheckRuleId rule, Status severity, std::string object, std::string message)
{
    return {severity, kCheckRules[rule].name, std::move(object), std::move(message)};
}

// A value as the kernel gave it, or the words people read for one it did not
// give (as Shown() says them, before the escaping every line gets).
std::string Raw(const std::optional<std::string>& value)
{
    if (!value)
        return "<unknown>";
    return value->empty() || *value == "(null)" ? "<empty>" : *value;
}

std::string Counted(std::size_t n, const char* one, const char* many)
{
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string Joined(const std::vector<std::string>& parts)
{
    std::string text;
    for (const std::string& part : parts)
        if (!part.empty())
            text += (text.empty() ? "" : ", ") + part;
    return text;
}

std::string KeyText(const SessionKey& key)
{
    return "target " + Raw(key.target) + ", portal " + Raw(key.portal) + ", iface " + Raw(key.iface);
}

std::string SessionObject(const SessionBrief& session)
{
    return session.name + " (" + KeyText({session.target, session.portal, session.iface}) + ")";
}

std::string PathText(const PathRecord& path)
{
    return path.blockDevice ? *path.blockDevice + " " + path.hctl : path.hctl;
}

std::string LunObject(const LunRecord& lun)
{
    std::vector<std::string> paths;
    for (const PathRecord& path : lun.paths)
        paths.push_back(PathText(path));
    return (lun.wwid ? "LUN " + Raw(lun.wwid) : std::string("LUN without WWID")) + " (" +
           Joined(paths) + ")";
}

std::string NotRunning(const LunRecord& lun)
{
    std::vector<std::string> paths;
    for (const PathRecord& path : lun.paths)
        if (!path.Running())
            paths.push_back(PathText(path) + " (" + path.WhyNotRunning() + ")");
    return Joined(paths);
}

std::string MapName(const MultipathMap& map)
{
    return map.name.value_or(map.device);
}

// The counts behind the performance data.
struct Counts {
    std::size_t sessions = 0, loggedIn = 0, luns = 0, paths = 0, running = 0;
};

Counts CountsOf(const std::vector<SessionBrief>& sessions, const std::vector<LunRecord>& luns)
{
    Counts counts;
    counts.sessions = sessions.size();
    counts.loggedIn = static_cast<std::size_t>(std::count_if(
        sessions.begin(), sessions.end(), [](const SessionBrief& s) { return s.state == "LOGGED_IN"; }));
    counts.luns = luns.size();
    for (const LunRecord& lun : luns) {
        counts.paths += lun.paths.size();
        counts.running += lun.PathsRunning();
    }
    return counts;
}

std::string CountsText(const Counts& counts, bool selected)
{
    if (counts.sessions == 0)
        return selected ? "no iSCSI session selected" : "no iSCSI session";
    std::string text = Counted(counts.sessions, "session", "sessions");
    text += counts.loggedIn == counts.sessions ? " logged in"
                                               : ", " + std::to_string(counts.loggedIn) + " logged in";
    return text + ", " + Counted(counts.luns, "LUN", "LUNs") + ", " + std::to_string(counts.running) +
           " of " + Counted(counts.paths, "path", "paths") + " running";
}

// In the plugins' syntax, 'label'=value;warn;crit;min: no thresholds, and 0
// the least any count can be.
std::string PerfdataText(const Counts& counts)
{
    const std::pair<const char*, std::size_t> values[] = {
        {"sessions", counts.sessions}, {"sessions_logged_in", counts.loggedIn}, {"luns", counts.luns},
        {"paths", counts.paths},       {"paths_running", counts.running},
    };
    std::string text;
    for (const auto& [label, value] : values)
        text += std::string(text.empty() ? "" : " ") + "'" + label + "'=" + std::to_string(value) + ";;;0";
    return text;
}

std::string FindingCounts(const std::vector<Finding>& findings)
{
    const auto critical = static_cast<std::size_t>(std::count_if(
        findings.begin(), findings.end(), [](const Finding& f) { return f.severity == Status::Critical; }));
    const std::size_t warnings = findings.size() - critical;
    std::vector<std::string> parts;
    if (critical != 0)
        parts.push_back(std::to_string(critical) + " critical");
    if (warnings != 0)
        parts.push_back(Counted(warnings, "warning", "warnings"));
    return Joined(parts);
}

Status Worst(const std::vector<Finding>& findings)
{
    Status worst = Status::Ok;
    for (const Finding& finding : findings)
        worst = std::max(worst, finding.severity);
    return worst;
}

// Said on standard error when a baseline was saved of a host that is not OK:
// a baseline is what a later check calls well, so holding a fault in it is
// done knowingly or not at all.
void SavedNotOk(const std::string& path, Status status, const std::vector<Finding>& findings,
                const std::optional<BaselineKept>& kept)
{
    std::string consequence;
    if (!kept)
        consequence = "; it holds the host as it is, so a check against it will not report what is "
                      "wrong now";
    else if (kept->sessions != 0 || kept->paths != 0)
        consequence = "; it keeps " +
                      Joined({kept->sessions ? Counted(kept->sessions, "session", "sessions") : "",
                              kept->paths ? Counted(kept->paths, "LUN path", "LUN paths") : ""}) +
                      " that the host has lost, which later checks still expect";
    const std::string counts = FindingCounts(findings);
    Complain("saved the baseline '" + Visible(path) + "' of a host that is not OK (" +
             StatusName(status) + (counts.empty() ? "" : ": " + counts) + ")" + consequence);
}

}  // namespace

// The bytes from sysfs are made visible, and a vertical bar written as the
// escape of its byte: the first bar of the output starts its performance
// data, on the first line or any after it, so a name holding one would forge
// data under labels that are not ours.
std::string PluginText(std::string_view raw)
{
    std::string text;
    for (char c : Visible(raw)) {
        if (c == '|')
            text += "\\x7c";
        else
            text += c;
    }
    return text;
}

namespace {

// How bad the loss of a session is, from the logical units it carried:
// CRITICAL when one of them has no running path left, or when none of them
// is known (then no one can tell); else the redundancy-lost severity.
struct Impact {
    Status severity;
    std::string words;
};

Impact LossImpact(bool carried, const std::vector<std::string>& unreached, Status redundancy)
{
    if (!carried)
        return {Status::Critical, "no logical unit of it is known, so what its loss does cannot be told"};
    if (!unreached.empty())
        return {Status::Critical, "no running path left to " + Joined(unreached)};
    return {redundancy, "its logical units still run through other paths"};
}

// The session -r names: "session4", or "4" for short.
std::string SessionNamed(const std::string& wanted)
{
    const bool number = !wanted.empty() && wanted.find_first_not_of("0123456789") == std::string::npos;
    return number ? "session" + wanted : wanted;
}

}  // namespace

CheckOutput::CheckOutput(Output& out, CheckOptions options) : m_out(out), m_options(std::move(options))
{
}

void CheckOutput::Judge(std::vector<Finding>& findings, const std::vector<LunRecord>& luns) const
{
    const Status redundancy = m_options.redundancyLost;
    for (const SessionBrief& session : m_topology.Sessions()) {
        if (session.state != "LOGGED_IN") {
            bool carried = false;
            std::vector<std::string> unreached;
            for (const LunRecord& lun : luns) {
                if (std::none_of(lun.paths.begin(), lun.paths.end(),
                                 [&](const PathRecord& path) { return path.session == session.name; }))
                    continue;
                carried = true;
                if (lun.PathsRunning() == 0)
                    unreached.push_back("LUN " + lun.Key());
            }
            const Impact impact = LossImpact(carried, unreached, redundancy);
            findings.push_back(Found(kSessionState, impact.severity, SessionObject(session),
                                     "not logged in (state " + Raw(session.state) + "); " + impact.words));
        } else {
            // A connection of a failed session is expected to be down: the
            // session's own finding says it all.
            for (const ConnectionBrief& connection : session.connections)
                if (connection.state != "up")
                    findings.push_back(Found(kConnectionState, SessionObject(session),
                                             "connection " + connection.name + " is " +
                                                 Raw(connection.state) + ", not up"));
        }
        // Multipath sees a path fail only when its session gives up
        // recovering and fails the I/O: until then the map waits too.
        const RecoveryTimeout& recovery = session.recovery;
        const bool slow = recovery.off || (recovery.seconds && *recovery.seconds > m_options.maxRecoverySeconds);
        if (slow && !session.multipath.empty()) {
            const std::string maps = Joined(session.multipath);
            const std::string limit = std::to_string(m_options.maxRecoverySeconds) + " s";
            findings.push_back(Found(
                kRecoveryTimeout, SessionObject(session),
                recovery.off ? "recovery timeout off: its I/O never fails, and multipath " + maps +
                                   " never fails over from it (longer than " + limit + ")"
                             : "recovery timeout " + std::to_string(*recovery.seconds) +
                                   " s, longer than " + limit + ": multipath " + maps +
                                   " waits that long before it fails over"));
        }
    }
    for (const LunRecord& lun : luns) {
        const std::size_t running = lun.PathsRunning();
        if (running == 0) {
            findings.push_back(Found(kNoPath, LunObject(lun), "no running path: " + NotRunning(lun)));
        } else if ((lun.paths.size() > 1 || lun.multipath) && running < lun.paths.size()) {
            findings.push_back(Found(
                kPathLost, redundancy, LunObject(lun),
                std::to_string(running) + " of " + Counted(lun.paths.size(), "path", "paths") + " running" +
                    (lun.multipath ? " under multipath " + MapName(*lun.multipath) : std::string()) +
                    "; not running: " + NotRunning(lun)));
        }
        std::vector<std::string> readOnly;
        for (const PathRecord& path : lun.paths)
            if (path.readOnly == true)
                readOnly.push_back(PathText(path));
        if (!readOnly.empty())
            findings.push_back(Found(kReadOnly, LunObject(lun), "read-only: " + Joined(readOnly)));
    }
}

void CheckOutput::Compare(std::vector<Finding>& findings, const std::vector<LunRecord>& luns,
                          const Baseline& expected) const
{
    const std::vector<SessionBrief>& sessions = m_topology.Sessions();
    const Baseline current = BaselineOf(sessions, luns);
    BaselineScope scope;
    scope.targets = m_options.selection.targets;
    // -r picks sessions by name, which no baseline holds: what is compared
    // is what the baseline expects of the sessions picked.
    if (!m_options.selection.sessions.empty())
        scope.sessions = current.sessions;

    auto names = [&](const SessionKey& key) {
        std::vector<std::string> found;
        for (const SessionBrief& session : sessions)
            if (SessionKey{session.target, session.portal, session.iface} == key)
                found.push_back(session.name);
        return Joined(found);
    };
    auto now = [&](const std::string& wwid) -> const LunRecord* {
        for (const LunRecord& lun : luns)
            if (lun.wwid == wwid)
                return &lun;
        return nullptr;
    };
    auto lunObject = [&](const std::string& wwid) {
        const LunRecord* lun = now(wwid);
        return lun != nullptr ? LunObject(*lun) : "LUN " + wwid;
    };
    // A session the baseline expects, gone with the paths it carried: judged
    // by what the baseline says it carried.
    const Status redundancy = m_options.redundancyLost;
    auto lossOf = [&](const SessionKey& key) {
        bool carried = false;
        std::vector<std::string> unreached;
        for (const BaselineLun& lun : expected.luns) {
            if (std::find(lun.via.begin(), lun.via.end(), key) == lun.via.end())
                continue;
            carried = true;
            const LunRecord* present = now(lun.wwid);
            if (present == nullptr || present->PathsRunning() == 0)
                unreached.push_back("LUN " + lun.wwid);
        }
        return LossImpact(carried, unreached, redundancy);
    };
    using Kind = BaselineDifference::Kind;
    for (const BaselineDifference& d : CompareBaseline(expected, current, scope)) {
        const std::string sessionObject = "session (" + KeyText(d.session) + ")";
        const std::string expectedPaths = Counted(d.expected, "path", "paths");
        switch (d.kind) {
        case Kind::SessionMissing: {
            const Impact impact = lossOf(d.session);
            findings.push_back(Found(
                kBaselineMissing, impact.severity, sessionObject,
                (d.found == 0 ? "not there (not logged in); the baseline expects " +
                                    Counted(d.expected, "such session", "such sessions")
                              : Counted(d.found, "session", "sessions") + " (" + names(d.session) +
                                    ") where the baseline expects " + std::to_string(d.expected)) +
                    "; " + impact.words));
            break;
        }
        case Kind::SessionExtra:
            findings.push_back(Found(kBaselineExtra, sessionObject,
                                     d.expected == 0
                                         ? "not in the baseline (" + names(d.session) + ")"
                                         : Counted(d.found, "session", "sessions") + " (" +
                                               names(d.session) + ") where the baseline expects " +
                                               std::to_string(d.expected)));
            break;
        case Kind::LunMissing:
            findings.push_back(Found(kBaselineMissing, Status::Critical, "LUN " + d.wwid,
                                     "not there; the baseline expects it with " + expectedPaths));
            break;
        case Kind::LunFewerPaths:
            // Still reached: redundancy lost; not reached, no-path says so too.
            findings.push_back(Found(kBaselineMissing,
                                     now(d.wwid)->PathsRunning() == 0 ? Status::Critical : redundancy,
                                     lunObject(d.wwid),
                                     Counted(d.found, "path", "paths") + " where the baseline expects " +
                                         std::to_string(d.expected)));
            break;
        case Kind::LunMorePaths:
            findings.push_back(Found(kBaselineExtra, lunObject(d.wwid),
                                     d.expected == 0 ? "not in the baseline (" +
                                                           Counted(d.found, "path", "paths") + ")"
                                                     : Counted(d.found, "path", "paths") +
                                                           " where the baseline expects " +
                                                           std::to_string(d.expected)));
            break;
        }
    }
}

void CheckOutput::SelectionFindings(std::vector<Finding>& findings) const
{
    const std::vector<SessionBrief>& sessions = m_topology.Sessions();
    const Selection& selection = m_options.selection;
    for (const std::string& target : selection.targets)
        if (std::none_of(sessions.begin(), sessions.end(),
                         [&](const SessionBrief& s) { return s.target == target; }))
            findings.push_back(Found(kSessionState, Status::Critical, "target " + target,
                                     "no session to it (not logged in)"));
    for (const std::string& wanted : selection.sessions) {
        const std::string name = SessionNamed(wanted);
        if (std::none_of(sessions.begin(), sessions.end(),
                         [&](const SessionBrief& s) { return s.name == name; }))
            findings.push_back(Found(kSessionState, Status::Critical, name,
                                     selection.targets.empty()
                                         ? "no such session (not logged in)"
                                         : "no such session to the targets selected"));
    }
}

int CheckOutput::SaveOnly(const Walk& walk)
{
    const std::string& path = *m_options.saveBaseline;
    // A host read in part is no baseline: a later check would find missing
    // what could not be read this time.
    if (ReportFailures(walk)) {
        Complain("not saving the baseline '" + Visible(path) + "': sysfs could not be read whole");
        m_out.Close();
        return 1;
    }
    const std::vector<LunRecord> luns = m_topology.Luns();
    const Baseline baseline = BaselineOf(m_topology.Sessions(), luns);
    std::string why;
    if (SaveBaseline(path, baseline, why) != 0) {
        m_out.Close();
        Complain("cannot save the baseline '" + Visible(path) + "': " + why);
        return 1;
    }
    const std::size_t withoutWwid = luns.size() - baseline.luns.size();
    m_out.Line({"Saved the baseline '", Visible(path), "': ",
                Counted(baseline.sessions.size(), "session", "sessions"), ", ",
                Counted(baseline.luns.size(), "LUN", "LUNs"),
                withoutWwid == 0 ? ""
                                 : " (" + Counted(withoutWwid, "LUN", "LUNs") +
                                       " without a WWID left out)"});
    std::vector<Finding> findings;
    Judge(findings, luns);
    SelectionFindings(findings);
    if (!findings.empty())
        SavedNotOk(path, Worst(findings), findings, std::nullopt);
    return m_out.Finish(0);
}

int CheckOutput::Finish(const Walk& walk)
{
    if (!m_options.verdict)
        return SaveOnly(walk);

    std::vector<CheckProblem> problems;
    std::vector<Finding> findings;
    std::optional<Counts> counts;
    std::string saved;
    const bool whole = !walk.MountFailed() && walk.Errors().empty();
    if (walk.MountFailed()) {
        const std::string error = "not mounted at /sys and cannot be mounted (mounting it needs root)";
        problems.push_back({"sysfs", error, "sysfs is " + error});
    }
    for (const Walk::Error& error : walk.Errors())
        problems.push_back({error.object, std::strerror(error.error),
                            "cannot read " + error.object + ": " + std::strerror(error.error)});
    // What the baseline expects and what is saved are only worth anything for
    // a host read whole: read in part, what could not be read would pass for
    // missing.
    auto notWhole = [&](const std::string& path, const char* what) {
        problems.push_back({"baseline '" + path + "'", std::string(what) + ": sysfs could not be read whole",
                            "the baseline '" + path + "' was " + what + ": sysfs could not be read whole"});
    };
    // With --baseline, what is saved keeps what it expected (MergedBaseline).
    std::optional<BaselineKept> kept;
    if (!walk.MountFailed()) {
        const std::vector<LunRecord> luns = m_topology.Luns();
        counts = CountsOf(m_topology.Sessions(), luns);
        Judge(findings, luns);
        std::optional<Baseline> expected;
        if (m_options.baseline) {
            const std::string& path = *m_options.baseline;
            std::string why;
            if (!LoadBaseline(path, expected.emplace(), why)) {
                expected.reset();
                problems.push_back({"baseline '" + path + "'", why,
                                    "cannot use the baseline '" + path + "': " + why});
            } else if (!whole) {
                notWhole(path, "not compared");
            } else {
                Compare(findings, luns, *expected);
            }
        }
        if (whole)
            SelectionFindings(findings);
        if (m_options.saveBaseline) {
            const std::string& path = *m_options.saveBaseline;
            std::string why;
            const Baseline current = BaselineOf(m_topology.Sessions(), luns);
            if (!whole) {
                notWhole(path, "not saved");
            } else if (m_options.baseline && !expected) {
                // Saved alone, the host as it is would drop what the old
                // baseline expected: a loss would pass into it unseen.
                const std::string error = "not saved: the baseline '" + *m_options.baseline +
                                          "' could not be used, and what it expects would be lost";
                problems.push_back({"baseline '" + path + "'", error,
                                    "the baseline '" + path + "' was " + error});
            } else {
                const Baseline baseline = expected ? MergedBaseline(*expected, current) : current;
                if (expected)
                    kept = KeptFrom(baseline, current);
                if (SaveBaseline(path, baseline, why) != 0) {
                    kept.reset();
                    problems.push_back({"baseline '" + path + "'", "not saved: " + why,
                                        "cannot save the baseline '" + path + "': " + why});
                } else {
                    saved = "Saved the baseline '" + path + "': " +
                            Counted(baseline.sessions.size(), "session", "sessions") + ", " +
                            Counted(baseline.luns.size(), "LUN", "LUNs");
                }
            }
        }
    } else if (m_options.saveBaseline) {
        notWhole(*m_options.saveBaseline, "not saved");
    }

    findings.erase(std::remove_if(findings.begin(), findings.end(),
                                  [&](const Finding& f) { return m_options.ignored.count(f.rule) != 0; }),
                   findings.end());
    std::stable_sort(findings.begin(), findings.end(), [](const Finding& a, const Finding& b) {
        return static_cast<int>(a.severity) > static_cast<int>(b.severity);
    });

    // Nothing read in part is ever OK, nor judged any better than unknown.
    Status status = Status::Ok;
    if (!problems.empty())
        status = Status::Unknown;
    else if (!findings.empty())
        status = findings.front().severity;

    std::string summary;
    const bool selected = !m_options.selection.TakesAll();
    if (status == Status::Unknown) {
        summary = problems.front().text;
        if (problems.size() > 1)
            summary += " (and " + Counted(problems.size() - 1, "more problem", "more problems") + ")";
        if (!findings.empty())
            summary += "; " + FindingCounts(findings) + " in what was read";
    } else if (status == Status::Ok) {
        summary = CountsText(*counts, selected);
    } else {
        summary = FindingCounts(findings) + "; " + CountsText(*counts, selected);
    }
    // Counts of a host read in part would draw a drop in every graph.
    const std::optional<std::string> perfdata =
        whole && counts ? std::optional<std::string>(PerfdataText(*counts)) : std::nullopt;

    if (m_options.json) {
        Json document = Json::Object();
        document.Add("format_version", "1.0");
        document.Add("status", StatusName(status));
        document.Add("exit_code", Json(static_cast<std::uint64_t>(status)));
        document.Add("summary", Carry(summary));
        Json list = Json::Array();
        for (const Finding& finding : findings) {
            Json entry = Json::Object();
            entry.Add("severity", StatusName(finding.severity));
            entry.Add("rule", finding.rule);
            entry.Add("object", Carry(finding.object));
            entry.Add("message", Carry(finding.message));
            list.PushBack(std::move(entry));
        }
        document.Add("findings", std::move(list));
        Json perf;
        if (perfdata) {
            perf = Json::Object();
            perf.Add("sessions", Json(static_cast<std::uint64_t>(counts->sessions)));
            perf.Add("sessions_logged_in", Json(static_cast<std::uint64_t>(counts->loggedIn)));
            perf.Add("luns", Json(static_cast<std::uint64_t>(counts->luns)));
            perf.Add("paths", Json(static_cast<std::uint64_t>(counts->paths)));
            perf.Add("paths_running", Json(static_cast<std::uint64_t>(counts->running)));
        }
        document.Add("perfdata", std::move(perf));
        Json errors = Json::Array();
        for (const CheckProblem& problem : problems) {
            Json entry = Json::Object();
            entry.Add("object", Carry(problem.object));
            entry.Add("error", Carry(problem.error));
            errors.PushBack(std::move(entry));
        }
        document.Add("errors", std::move(errors));
        m_out.Text(document.Dump() + "\n");
    } else {
        m_out.Line({"ISCSI ", StatusName(status), " - ", PluginText(summary), perfdata ? " | " : "",
                    perfdata ? *perfdata : ""});
        for (const CheckProblem& problem : problems)
            m_out.Line({"UNKNOWN: ", PluginText(problem.text)});
        for (const Finding& finding : findings)
            m_out.Line({StatusName(finding.severity), " [", finding.rule, "] ", PluginText(finding.object),
                        ": ", PluginText(finding.message)});
        if (!saved.empty())
            m_out.Line({PluginText(saved)});
    }
    if (!saved.empty() && status != Status::Ok)
        SavedNotOk(*m_options.saveBaseline, status, findings, kept);
    // A plugin's output that did not reach the monitoring system leaves it
    // knowing nothing: UNKNOWN, never the 1 of the other forms (a WARNING).
    if (int error = m_out.Close(); error != 0) {
        Complain(std::string("write error: ") + std::strerror(error));
        return static_cast<int>(Status::Unknown);
    }
    return static_cast<int>(status);
}

}  // namespace inventory

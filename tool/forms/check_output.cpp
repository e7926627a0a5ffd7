// SPDX-License-Identifier: MIT
#include "forms/check_output.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <utility>

#include "verdict/baseline.h"
#include "json/json_string.h"
#include "json/json_value.h"
#include "text/people_text.h"
#include "text/terminal_text.h"

namespace inventory {

namespace {

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

}  // namespace

CheckOutput::CheckOutput(Output& out, CheckOptions options) : m_out(out), m_options(std::move(options))
{
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
    Verdict verdict;
    verdict.findings = JudgeHost(m_topology, luns, m_options.judge);
    for (Finding& finding : JudgeSelection(m_topology, m_options.selection))
        verdict.findings.push_back(std::move(finding));
    if (!verdict.findings.empty())
        SavedNotOk(path, verdict.status(), verdict.findings, std::nullopt);
    return m_out.Finish(0);
}

// What a run of the check decided, for the forms that print it.
struct CheckResult {
    Verdict verdict;
    std::optional<Counts> counts;  // none when sysfs was out of reach
    bool whole = false;            // every object read
    bool noBaseline = false;       // the host's own baseline not saved yet
    std::optional<std::string> mapsUnread;  // why the maps' own path states were not read
    std::string saved;             // the line that says what was saved
    std::optional<BaselineKept> kept;
};

namespace {

// The first line's words: the problems, or the findings and the counts, and
// what the verdict was held against.
std::string SummaryOf(const CheckResult& result, Status status, bool selected)
{
    const std::vector<CheckProblem>& problems = result.verdict.problems;
    const std::vector<Finding>& findings = result.verdict.findings;
    std::string summary;
    if (status == Status::Unknown) {
        summary = problems.front().text;
        if (problems.size() > 1)
            summary += " (and " + Counted(problems.size() - 1, "more problem", "more problems") + ")";
        if (!findings.empty())
            summary += "; " + FindingCounts(findings) + " in what was read";
        return summary;
    }
    summary = status == Status::Ok ? CountsText(*result.counts, selected)
                                   : FindingCounts(findings) + "; " + CountsText(*result.counts, selected);
    // A host whose sessions all logged out is "no iSCSI session" without a
    // baseline: what the verdict was held against is said.
    if (result.mapsUnread)
        summary += "; multipath path states not read (" + *result.mapsUnread + ")";
    return result.noBaseline ? summary + "; no baseline" : summary;
}

std::string JsonVerdict(const CheckResult& result, Status status, const std::string& summary,
                        const std::optional<std::string>& baseline, bool perfdata)
{
    Json document = Json::Object();
    document.Add("format_version", "1.1");
    document.Add("status", StatusName(status));
    document.Add("exit_code", Json(static_cast<std::uint64_t>(status)));
    document.Add("summary", Carry(summary));
    document.Add("baseline", baseline && !result.noBaseline ? Json(Carry(*baseline)) : Json());
    Json list = Json::Array();
    for (const Finding& finding : result.verdict.findings) {
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
        const Counts& counts = *result.counts;
        perf = Json::Object();
        perf.Add("sessions", Json(static_cast<std::uint64_t>(counts.sessions)));
        perf.Add("sessions_logged_in", Json(static_cast<std::uint64_t>(counts.loggedIn)));
        perf.Add("luns", Json(static_cast<std::uint64_t>(counts.luns)));
        perf.Add("paths", Json(static_cast<std::uint64_t>(counts.paths)));
        perf.Add("paths_running", Json(static_cast<std::uint64_t>(counts.running)));
    }
    document.Add("perfdata", std::move(perf));
    Json errors = Json::Array();
    for (const CheckProblem& problem : result.verdict.problems) {
        Json entry = Json::Object();
        entry.Add("object", Carry(problem.object));
        entry.Add("error", Carry(problem.error));
        errors.PushBack(std::move(entry));
    }
    document.Add("errors", std::move(errors));
    return document.Dump() + "\n";
}

void PluginLines(Output& out, const CheckResult& result, Status status, const std::string& summary,
                 const std::optional<std::string>& perfdata)
{
    out.Line({"ISCSI ", StatusName(status), " - ", PluginText(summary), perfdata ? " | " : "",
              perfdata ? *perfdata : ""});
    for (const CheckProblem& problem : result.verdict.problems)
        out.Line({"UNKNOWN: ", PluginText(problem.text)});
    for (const Finding& finding : result.verdict.findings)
        out.Line({StatusName(finding.severity), " [", finding.rule, "] ", PluginText(finding.object), ": ",
                  PluginText(finding.message)});
    if (!result.saved.empty())
        out.Line({PluginText(result.saved)});
}

}  // namespace

void CheckOutput::Decide(const Walk& walk, CheckResult& result) const
{
    std::vector<CheckProblem>& problems = result.verdict.problems;
    std::vector<Finding>& findings = result.verdict.findings;
    result.whole = !walk.MountFailed() && walk.Errors().empty();
    result.mapsUnread = walk.Maps().unread;
    if (walk.MountFailed()) {
        const std::string error = "not mounted at /sys and cannot be mounted (mounting it needs root)";
        problems.push_back({"sysfs", error, "sysfs is " + error});
    }
    for (const Walk::Error& error : walk.Errors())
        problems.push_back({error.object, std::strerror(error.error),
                            "cannot read " + error.object + ": " + std::strerror(error.error)});
    if (walk.MountFailed()) {
        if (m_options.saveBaseline)
            NotWhole(result, *m_options.saveBaseline, "not saved");
        return;
    }
    const std::vector<LunRecord> luns = m_topology.Luns();
    result.counts = CountsOf(m_topology.Sessions(), luns);
    findings = JudgeHost(m_topology, luns, m_options.judge);
    const std::optional<Baseline> expected = Expected(result, luns);
    if (result.whole)
        for (Finding& finding : JudgeSelection(m_topology, m_options.selection))
            findings.push_back(std::move(finding));
    if (m_options.saveBaseline)
        Save(result, luns, expected);
}

// What the baseline expects, read and compared; none when there is none to
// read or it cannot be used (a problem then, but for the host's own baseline
// not saved yet).
std::optional<Baseline> CheckOutput::Expected(CheckResult& result, const std::vector<LunRecord>& luns) const
{
    if (!m_options.baseline)
        return std::nullopt;
    const std::string& path = *m_options.baseline;
    std::string why;
    bool absent = false;
    Baseline expected;
    if (!LoadBaseline(path, expected, why, &absent)) {
        if (absent && m_options.baselineByDefault)
            result.noBaseline = true;
        else
            result.verdict.problems.push_back({"baseline '" + path + "'", why,
                                               "cannot use the baseline '" + path + "': " + why});
        return std::nullopt;
    }
    if (!result.whole) {
        NotWhole(result, path, "not compared");
    } else {
        for (Finding& finding : JudgeAgainst(expected, m_topology, luns, m_options.selection, m_options.judge))
            result.verdict.findings.push_back(std::move(finding));
    }
    return expected;
}

// Saves the baseline: with one read, what it expects as well (a loss never
// enters it by itself); never from a host read in part, nor without a
// baseline that could not be used.
void CheckOutput::Save(CheckResult& result, const std::vector<LunRecord>& luns,
                       const std::optional<Baseline>& expected) const
{
    const std::string& path = *m_options.saveBaseline;
    if (!result.whole) {
        NotWhole(result, path, "not saved");
        return;
    }
    if (m_options.baseline && !expected && !result.noBaseline) {
        const std::string error = "not saved: the baseline '" + *m_options.baseline +
                                  "' could not be used, and what it expects would be lost";
        result.verdict.problems.push_back({"baseline '" + path + "'", error, "the baseline '" + path + "' was " + error});
        return;
    }
    const Baseline current = BaselineOf(m_topology.Sessions(), luns);
    const Baseline baseline = expected ? MergedBaseline(*expected, current) : current;
    std::string why;
    if (SaveBaseline(path, baseline, why) != 0) {
        result.verdict.problems.push_back({"baseline '" + path + "'", "not saved: " + why,
                                           "cannot save the baseline '" + path + "': " + why});
        return;
    }
    if (expected)
        result.kept = KeptFrom(baseline, current);
    result.saved = "Saved the baseline '" + path + "': " + Counted(baseline.sessions.size(), "session", "sessions") +
                   ", " + Counted(baseline.luns.size(), "LUN", "LUNs");
}

// What the baseline expects and what is saved are only worth anything for a
// host read whole: read in part, what could not be read would pass for
// missing.
void CheckOutput::NotWhole(CheckResult& result, const std::string& path, const char* what)
{
    result.verdict.problems.push_back({"baseline '" + path + "'", std::string(what) + ": sysfs could not be read whole",
                                       "the baseline '" + path + "' was " + what + ": sysfs could not be read whole"});
}

int CheckOutput::Finish(const Walk& walk)
{
    if (!m_options.verdict)
        return SaveOnly(walk);
    CheckResult result;
    Decide(walk, result);
    result.verdict.Rank(m_options.ignored);
    // Nothing read in part is ever OK, nor judged any better than unknown.
    const Status status = result.verdict.status();
    const std::string summary = SummaryOf(result, status, !m_options.selection.TakesAll());
    // Counts of a host read in part would draw a drop in every graph.
    const std::optional<std::string> perfdata =
        result.whole && result.counts ? std::optional<std::string>(PerfdataText(*result.counts)) : std::nullopt;
    if (m_options.json)
        m_out.Text(JsonVerdict(result, status, summary, m_options.baseline, perfdata.has_value()));
    else
        PluginLines(m_out, result, status, summary, perfdata);
    if (!result.saved.empty() && status != Status::Ok)
        SavedNotOk(*m_options.saveBaseline, status, result.verdict.findings, result.kept);
    // A plugin's output that did not reach the monitoring system leaves it
    // knowing nothing: UNKNOWN, never the 1 of the other forms (a WARNING).
    if (int error = m_out.Close(); error != 0) {
        Complain(std::string("write error: ") + std::strerror(error));
        return static_cast<int>(Status::Unknown);
    }
    return static_cast<int>(status);
}

}  // namespace inventory

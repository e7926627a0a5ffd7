// SPDX-License-Identifier: MIT
#include "verdict/verdict.h"

#include <algorithm>
#include <utility>

#include "verdict/baseline.h"
#include "text/people_text.h"

namespace inventory {

namespace {

// A finding of a rule whose severity is its own.
Finding Found(CheckRuleId rule, std::string object, std::string message, FindingSubject subject)
{
    Finding finding;
    finding.severity = kCheckRules[rule].severity == Severity::Critical ? Status::Critical : Status::Warning;
    finding.rule = kCheckRules[rule].name;
    finding.object = std::move(object);
    finding.message = std::move(message);
    finding.subject = std::move(subject);
    return finding;
}

// A finding whose severity was judged by its impact.
Finding Found(CheckRuleId rule, Status severity, std::string object, std::string message,
              FindingSubject subject)
{
    Finding finding = Found(rule, std::move(object), std::move(message), std::move(subject));
    finding.severity = severity;
    return finding;
}

FindingSubject SessionSubject(const SessionBrief& session, std::string connection = {})
{
    FindingSubject subject;
    subject.session = session.name;
    subject.connection = std::move(connection);
    subject.target = session.target.value_or("");
    subject.portal = session.portal.value_or("");
    return subject;
}

FindingSubject KeySubject(const SessionKey& key)
{
    FindingSubject subject;
    subject.target = key.target.value_or("");
    subject.portal = key.portal.value_or("");
    return subject;
}

FindingSubject LunSubject(std::string key)
{
    FindingSubject subject;
    subject.lun = std::move(key);
    return subject;
}

std::string KeyText(const SessionKey& key)
{
    return "target " + Said(key.target) + ", portal " + Said(key.portal) + ", iface " + Said(key.iface);
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
    return (lun.wwid ? "LUN " + Said(lun.wwid) : std::string("LUN without WWID")) + " (" +
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


}  // namespace

Counts CountsOf(const std::vector<SessionBrief>& sessions, const std::vector<LunRecord>& luns)
{
    Counts counts;
    counts.sessions = sessions.size();
    counts.loggedIn = static_cast<std::size_t>(std::count_if(
        sessions.begin(), sessions.end(), [](const SessionBrief& s) { return s.state == kLoggedIn; }));
    counts.luns = luns.size();
    for (const LunRecord& lun : luns) {
        counts.paths += lun.paths.size();
        counts.running += lun.PathsRunning();
    }
    return counts;
}


std::string LunKey(const LunRecord& lun)
{
    return lun.wwid ? *lun.wwid : "hctl:" + lun.paths.front().hctl;
}

std::vector<Finding> JudgeHost(const Topology& topology, const std::vector<LunRecord>& luns,
                               const JudgeOptions& options)
{
    std::vector<Finding> findings;
    const Status redundancy = options.redundancyLost;
    for (const SessionBrief& session : topology.Sessions()) {
        if (session.state != kLoggedIn) {
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
                                     "not logged in (state " + Said(session.state) + "); " + impact.words,
                                     SessionSubject(session)));
        } else {
            // A connection of a failed session is expected to be down: the
            // session's own finding says it all.
            for (const ConnectionBrief& connection : session.connections)
                if (connection.state != kConnectionUp)
                    findings.push_back(Found(kConnectionState, SessionObject(session),
                                             "connection " + connection.name + " is " +
                                                 Said(connection.state) + ", not up",
                                             SessionSubject(session, connection.name)));
        }
        // Multipath sees a path fail only when its session gives up
        // recovering and fails the I/O: until then the map waits too.
        const RecoveryTimeout& recovery = session.recovery;
        const bool slow = recovery.off || (recovery.seconds && *recovery.seconds > options.maxRecoverySeconds);
        if (slow && !session.multipath.empty()) {
            const std::string maps = Joined(session.multipath);
            const std::string limit = std::to_string(options.maxRecoverySeconds) + " s";
            findings.push_back(Found(
                kRecoveryTimeout, SessionObject(session),
                recovery.off ? "recovery timeout off: its I/O never fails, and multipath " + maps +
                                   " never fails over from it (longer than " + limit + ")"
                             : "recovery timeout " + std::to_string(*recovery.seconds) +
                                   " s, longer than " + limit + ": multipath " + maps +
                                   " waits that long before it fails over",
                SessionSubject(session)));
        }
    }
    for (const LunRecord& lun : luns) {
        const std::size_t running = lun.PathsRunning();
        if (running == 0) {
            findings.push_back(
                Found(kNoPath, LunObject(lun), "no running path: " + NotRunning(lun), LunSubject(LunKey(lun))));
            // Failing the I/O would let the application see it; queued, it
            // hangs every process that touches the unit until a path is back.
            if (lun.multipath && lun.multipath->QueuesWithoutPath() == true)
                findings.push_back(Found(kQueueNoPath, LunObject(lun),
                                         "multipath " + std::string(MapName(lun.multipath->name, lun.multipath->device)) +
                                             " queues I/O with no running path (queue_if_no_path): I/O to it hangs",
                                         LunSubject(LunKey(lun))));
        } else if ((lun.paths.size() > 1 || lun.multipath) && running < lun.paths.size()) {
            findings.push_back(Found(
                kPathLost, redundancy, LunObject(lun),
                std::to_string(running) + " of " + Counted(lun.paths.size(), "path", "paths") + " running" +
                    (lun.multipath ? " under multipath " + std::string(MapName(lun.multipath->name, lun.multipath->device)) : std::string()) +
                    "; not running: " + NotRunning(lun),
                LunSubject(LunKey(lun))));
        }
        std::vector<std::string> readOnly;
        for (const PathRecord& path : lun.paths)
            if (path.readOnly == true)
                readOnly.push_back(PathText(path));
        if (!readOnly.empty())
            findings.push_back(
                Found(kReadOnly, LunObject(lun), "read-only: " + Joined(readOnly), LunSubject(LunKey(lun))));
    }
    return findings;
}

std::vector<Finding> JudgeAgainst(const Baseline& expected, const Topology& topology,
                                  const std::vector<LunRecord>& luns, const Selection& selection,
                                  const JudgeOptions& options)
{
    std::vector<Finding> findings;
    const std::vector<SessionBrief>& sessions = topology.Sessions();
    const Baseline current = BaselineOf(sessions, luns);
    BaselineScope scope;
    scope.targets = selection.targets;
    // -r picks sessions by name, which no baseline holds: what is compared
    // is what the baseline expects of the sessions picked.
    if (!selection.sessions.empty())
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
    const Status redundancy = options.redundancyLost;
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
                    "; " + impact.words,
                KeySubject(d.session)));
            break;
        }
        case Kind::SessionExtra:
            findings.push_back(Found(kBaselineExtra, sessionObject,
                                     d.expected == 0
                                         ? "not in the baseline (" + names(d.session) + ")"
                                         : Counted(d.found, "session", "sessions") + " (" +
                                               names(d.session) + ") where the baseline expects " +
                                               std::to_string(d.expected),
                                     KeySubject(d.session)));
            break;
        case Kind::LunMissing:
            findings.push_back(Found(kBaselineMissing, Status::Critical, "LUN " + d.wwid,
                                     "not there; the baseline expects it with " + expectedPaths,
                                     LunSubject(d.wwid)));
            break;
        case Kind::LunFewerPaths:
            // Still reached: redundancy lost; not reached, no-path says so too.
            findings.push_back(Found(kBaselineMissing,
                                     now(d.wwid)->PathsRunning() == 0 ? Status::Critical : redundancy,
                                     lunObject(d.wwid),
                                     Counted(d.found, "path", "paths") + " where the baseline expects " +
                                         std::to_string(d.expected),
                                     LunSubject(d.wwid)));
            break;
        case Kind::LunMorePaths:
            findings.push_back(Found(kBaselineExtra, lunObject(d.wwid),
                                     d.expected == 0 ? "not in the baseline (" +
                                                           Counted(d.found, "path", "paths") + ")"
                                                     : Counted(d.found, "path", "paths") +
                                                           " where the baseline expects " +
                                                           std::to_string(d.expected),
                                     LunSubject(d.wwid)));
            break;
        }
    }
    return findings;
}

std::vector<Finding> JudgeSelection(const Topology& topology, const Selection& selection)
{
    std::vector<Finding> findings;
    const std::vector<SessionBrief>& sessions = topology.Sessions();
    for (const std::string& target : selection.targets)
        if (std::none_of(sessions.begin(), sessions.end(),
                         [&](const SessionBrief& s) { return s.target == target; }))
            findings.push_back(Found(kSessionState, Status::Critical, "target " + target,
                                     "no session to it (not logged in)", KeySubject({target, {}, {}})));
    for (const std::string& wanted : selection.sessions) {
        const std::string name = SessionNamed(wanted);
        if (std::none_of(sessions.begin(), sessions.end(),
                         [&](const SessionBrief& s) { return s.name == name; }))
            findings.push_back(Found(kSessionState, Status::Critical, name,
                                     selection.targets.empty()
                                         ? "no such session (not logged in)"
                                         : "no such session to the targets selected",
                                     FindingSubject{name, {}, {}, {}, {}}));
    }
    return findings;
}

Status Verdict::status() const
{
    if (!problems.empty())
        return Status::Unknown;
    Status worst = Status::Ok;
    for (const Finding& finding : findings)
        worst = std::max(worst, finding.severity);
    return worst;
}

void Verdict::Rank(const std::set<std::string>& ignored)
{
    findings.erase(std::remove_if(findings.begin(), findings.end(),
                                  [&](const Finding& f) { return ignored.count(f.rule) != 0; }),
                   findings.end());
    std::stable_sort(findings.begin(), findings.end(), [](const Finding& a, const Finding& b) {
        return static_cast<int>(a.severity) > static_cast<int>(b.severity);
    });
}

}  // namespace inventory

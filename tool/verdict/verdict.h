// SPDX-License-Identifier: MIT
// The verdict on the host's iSCSI health: what the rules of check_rules.h
// find wrong, decided once from the topology (and a baseline), and printed
// by each form that carries it: the plugin's text and JSON (check_output.h)
// and the metrics (prometheus_output.h), so that the check and the alerts
// built on the metrics are one judge.
#ifndef ISCSI_INVENTORY_VERDICT_H
#define ISCSI_INVENTORY_VERDICT_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "verdict/check_rules.h"
#include "walk/inventory.h"
#include "walk/topology.h"

namespace inventory {

struct Baseline;

// How the rules judge.
struct JudgeOptions {
    // A path under multipath whose session waits longer than this before it
    // fails I/O is slow to fail over.
    std::uint64_t maxRecoverySeconds = 30;
    // How bad a logical unit is that lost a path but is still reached
    // (--redundancy-lost): WARNING, or CRITICAL for sites that page on it.
    Status redundancyLost = Status::Warning;
};

// What a finding is about, for the labels of its metric: each part empty when
// it does not apply.  lun is a logical unit's key: its WWID, or
// "hctl:H:C:T:L" for one without a WWID (its only path's address).
struct FindingSubject {
    std::string session, connection, target, portal, lun;
};

// One thing found wrong.  object and message hold the bytes from sysfs as
// they are; each form escapes them as it writes them.
struct Finding {
    Status severity;
    const char* rule;     // the name of one of kCheckRules
    std::string object;   // what it is about: a session, a LUN
    std::string message;  // what is wrong with it
    FindingSubject subject;
};

// Something that keeps the verdict from being whole or trusted: an object
// that could not be read, sysfs out of reach, a baseline that cannot be used
// or saved.
struct CheckProblem {
    std::string object;
    std::string error;
    std::string text;  // the same, said in one line
};

// The counts behind the plugin's performance data.
struct Counts {
    std::size_t sessions = 0, loggedIn = 0, luns = 0, paths = 0, running = 0;
};

Counts CountsOf(const std::vector<SessionBrief>& sessions, const std::vector<LunRecord>& luns);

// A logical unit's key, as its metrics and findings name it: its WWID, or
// "hctl:H:C:T:L" for one without.
std::string LunKey(const LunRecord& lun);

// What the host shows wrong by itself: sessions, connections, recovery
// timeouts, logical units and their paths.
std::vector<Finding> JudgeHost(const Topology& topology, const std::vector<LunRecord>& luns,
                               const JudgeOptions& options);

// How the host differs from what the baseline expects, for what the
// selection takes (-T by target; -r by the key of each session it picked).
std::vector<Finding> JudgeAgainst(const Baseline& expected, const Topology& topology,
                                  const std::vector<LunRecord>& luns, const Selection& selection,
                                  const JudgeOptions& options);

// A target of -T with no session and a session of -r that is not there.
std::vector<Finding> JudgeSelection(const Topology& topology, const Selection& selection);

// The verdict: the findings of the rules not ignored, worst first (in the
// order found among equals), and the problems that keep it from being whole.
struct Verdict {
    std::vector<Finding> findings;
    std::vector<CheckProblem> problems;

    // UNKNOWN with any problem (nothing read in part is ever OK), else the
    // worst finding's severity.
    Status status() const;
    void Rank(const std::set<std::string>& ignored);
};

}  // namespace inventory

#endif

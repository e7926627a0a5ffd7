// SPDX-License-Identifier: MIT
// The verdict (--check): the host's iSCSI health as a monitoring plugin
// reports it, and the baseline it can be held against (--save-baseline,
// --baseline).
#ifndef ISCSI_INVENTORY_CHECK_OUTPUT_H
#define ISCSI_INVENTORY_CHECK_OUTPUT_H

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "check_rules.h"
#include "form.h"
#include "output.h"
#include "topology.h"

namespace inventory {

struct Baseline;

struct CheckOptions {
    bool verdict = true;   // --check; else only --save-baseline
    bool json = false;     // --check --json
    std::optional<std::string> baseline;      // --baseline=FILE
    std::optional<std::string> saveBaseline;  // --save-baseline=FILE
    // A path under multipath whose session waits longer than this before it
    // fails I/O is slow to fail over.
    std::uint64_t maxRecoverySeconds = 30;
    // How bad a logical unit is that lost a path but is still reached
    // (--redundancy-lost): WARNING, or CRITICAL for sites that page on it.
    Status redundancyLost = Status::Warning;
    std::set<std::string> ignored;  // rules switched off
    // -T and -r: the walk hands on only the sessions they take; the baseline's
    // entries are taken the same way, and what they name must be there.
    Selection selection;
};

// One thing found wrong.  object and message hold the bytes from sysfs as
// they are; each form escapes them as it writes them.
struct Finding {
    Status severity;
    const char* rule;     // the name of one of kCheckRules
    std::string object;   // what it is about: a session, a LUN
    std::string message;  // what is wrong with it
};

// Something that keeps the verdict from being whole or trusted: an object
// that could not be read, sysfs out of reach, a baseline that cannot be used
// or saved.
struct CheckProblem {
    std::string object;
    std::string error;
    std::string text;  // the same, said in one line
};

// Text for a line of a monitoring plugin's output: visible, and without a
// vertical bar, which would start performance data.
std::string PluginText(std::string_view raw);

class CheckOutput : public Form {
public:
    CheckOutput(Output& out, CheckOptions options);

    bool WantsSessions() const override { return true; }
    void Session(const SessionRecord& session) override { m_topology.Add(session); }
    int Finish(const Walk& walk) override;

private:
    // --save-baseline without --check.
    int SaveOnly(const Walk& walk);
    void Judge(std::vector<Finding>& findings, const std::vector<LunRecord>& luns) const;
    void Compare(std::vector<Finding>& findings, const std::vector<LunRecord>& luns,
                 const Baseline& expected) const;
    void SelectionFindings(std::vector<Finding>& findings) const;

    Output& m_out;
    CheckOptions m_options;
    Topology m_topology;
};

}  // namespace inventory

#endif

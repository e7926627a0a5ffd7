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

#include "form.h"
#include "output.h"
#include "topology.h"

namespace inventory {

// The rules a finding comes from, by the names --ignore takes.
extern const char* const kCheckRules[];
extern const std::size_t kCheckRuleCount;

struct CheckOptions {
    bool verdict = true;   // --check; else only --save-baseline
    bool json = false;     // --check --json
    std::optional<std::string> baseline;      // --baseline=FILE
    std::optional<std::string> saveBaseline;  // --save-baseline=FILE
    // A path under multipath whose session waits longer than this before it
    // fails I/O is slow to fail over.
    std::uint64_t maxRecoverySeconds = 30;
    std::set<std::string> ignored;  // rules switched off
};

class CheckOutput : public Form {
public:
    CheckOutput(Output& out, CheckOptions options);

    bool WantsSessions() const override { return true; }
    void Session(const SessionRecord& session) override { m_topology.Add(session); }
    int Finish(const Walk& walk) override;

private:
    Output& m_out;
    CheckOptions m_options;
    Topology m_topology;
};

}  // namespace inventory

#endif

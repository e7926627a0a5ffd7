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

#include "verdict/check_rules.h"
#include "forms/form.h"
#include "walk/fields.h"
#include "forms/output.h"
#include "verdict/baseline.h"
#include "walk/topology.h"
#include "verdict/verdict.h"

namespace inventory {

struct CheckResult;

struct CheckOptions {
    bool verdict = true;   // --check; else only --save-baseline
    bool json = false;     // --check --json
    std::optional<std::string> baseline;      // --baseline=FILE, or the default
    bool baselineByDefault = false;           // absent, it is no baseline
    std::optional<std::string> saveBaseline;  // --save-baseline=FILE
    JudgeOptions judge;  // --max-recovery-timeout, --redundancy-lost
    std::set<std::string> ignored;  // rules switched off
    // -T and -r: the walk hands on only the sessions they take; the baseline's
    // entries are taken the same way, and what they name must be there.
    Selection selection;
};

// Text for a line of a monitoring plugin's output: visible, and without a
// vertical bar, which would start performance data.
std::string PluginText(std::string_view raw);

class CheckOutput : public Form {
public:
    CheckOutput(Output& out, CheckOptions options);

    bool WantsSessions() const override { return true; }
    unsigned Reads() const override { return kTopology; }
    void Session(const SessionRecord& session) override { m_topology.Add(session); }
    int Finish(const Walk& walk) override;

private:
    // --save-baseline without --check.
    int SaveOnly(const Walk& walk);
    // The verdict on the walk, held against the baseline, and the save.
    void Decide(const Walk& walk, CheckResult& result) const;
    std::optional<Baseline> Expected(CheckResult& result, const std::vector<LunRecord>& luns) const;
    void Save(CheckResult& result, const std::vector<LunRecord>& luns, const std::optional<Baseline>& expected) const;
    static void NotWhole(CheckResult& result, const std::string& path, const char* what);

    Output& m_out;
    CheckOptions m_options;
    Topology m_topology;
};

}  // namespace inventory

#endif

// SPDX-License-Identifier: MIT
// The rules of --check: the one list of them, which --ignore validates
// against, --help prints and the manual page is checked against.  A finding's
// severity is the worst it does to I/O: a logical unit that cannot be reached
// is CRITICAL, one that lost a path but is still reached is "redundancy
// lost" (WARNING unless --redundancy-lost=critical), and a session that is
// gone is as bad as the worst it does to the units it carried.
#ifndef ISCSI_INVENTORY_CHECK_RULES_H
#define ISCSI_INVENTORY_CHECK_RULES_H

#include <cstddef>
#include <optional>
#include <string_view>

namespace inventory {

// What the verdict says, as monitoring plugins exit.
enum class Status { Ok = 0, Warning = 1, Critical = 2, Unknown = 3 };

// "OK", "WARNING", "CRITICAL", "UNKNOWN".
const char* StatusName(Status status);

// How a rule's findings are judged.
enum class Severity {
    Critical,    // always CRITICAL
    Warning,     // always WARNING
    Redundancy,  // the redundancy-lost severity (--redundancy-lost)
    Impact,      // CRITICAL when a unit is left without a running path (or
                 // the tool cannot tell), else the redundancy-lost severity
};

struct CheckRule {
    const char* name;  // as --ignore takes it
    Severity severity;
    const char* finds;  // a few words, for --help
};

// The rules, those that can be CRITICAL first; indexed by CheckRuleId.
extern const CheckRule kCheckRules[];
extern const std::size_t kCheckRuleCount;

enum CheckRuleId : std::size_t {
    kSessionState,
    kNoPath,
    kQueueNoPath,
    kBaselineMissing,
    kPathLost,
    kReadOnly,
    kRecoveryTimeout,
    kConnectionState,
    kBaselineExtra,
};

// The rule named so, if there is one.
std::optional<CheckRuleId> CheckRuleNamed(std::string_view name);

// The words --help and the manual use for a severity: "CRITICAL",
// "WARNING", "redundancy lost", "by impact".
const char* SeverityWords(Severity severity);

}  // namespace inventory

#endif

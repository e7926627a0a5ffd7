// SPDX-License-Identifier: MIT
#include "verdict/check_rules.h"

#include <iterator>

namespace inventory {

const CheckRule kCheckRules[] = {
    {"session-state", Severity::Impact, "a session not logged in"},
    {"no-path", Severity::Critical, "a logical unit with no running path"},
    {"queue-no-path", Severity::Critical, "a map that queues I/O with no running path: it hangs"},
    {"baseline-missing", Severity::Impact, "what the baseline expects, not there"},
    {"path-lost", Severity::Redundancy, "a unit with fewer running paths than it has"},
    {"read-only", Severity::Warning, "a read-only block device"},
    {"recovery-timeout", Severity::Warning, "a multipath session slow to fail its I/O"},
    {"connection-state", Severity::Warning, "a logged-in session's connection not up"},
    {"baseline-extra", Severity::Warning, "more than the baseline holds"},
};
const std::size_t kCheckRuleCount = std::size(kCheckRules);

const char* StatusName(Status status)
{
    switch (status) {
    case Status::Ok: return "OK";
    case Status::Warning: return "WARNING";
    case Status::Critical: return "CRITICAL";
    case Status::Unknown: break;
    }
    return "UNKNOWN";
}

std::optional<CheckRuleId> CheckRuleNamed(std::string_view name)
{
    for (std::size_t i = 0; i < kCheckRuleCount; ++i)
        if (name == kCheckRules[i].name)
            return static_cast<CheckRuleId>(i);
    return std::nullopt;
}

const char* SeverityWords(Severity severity)
{
    switch (severity) {
    case Severity::Critical: return "CRITICAL";
    case Severity::Warning: return "WARNING";
    case Severity::Redundancy: return "redundancy lost";
    case Severity::Impact: break;
    }
    return "by impact";
}

}  // namespace inventory

// SPDX-License-Identifier: MIT
#include "check_output.h"

#include <iterator>
#include <utility>

namespace inventory {

const char* const kCheckRules[] = {"session-state",    "no-path",          "baseline-missing",
                                   "path-lost",        "read-only",        "recovery-timeout",
                                   "connection-state", "baseline-extra"};
const std::size_t kCheckRuleCount = std::size(kCheckRules);

CheckOutput::CheckOutput(Output& out, CheckOptions options) : m_out(out), m_options(std::move(options))
{
}

int CheckOutput::Finish(const Walk& walk)
{
    // Placeholder until the verdict is built.
    (void)walk;
    m_out.Line({"ISCSI UNKNOWN - not built yet"});
    return m_out.Finish(3);
}

}  // namespace inventory

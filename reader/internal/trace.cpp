// SPDX-License-Identifier: MIT
#include "trace.h"

#include "log/log.h"

namespace Quentor {
namespace LinuxEnum {
namespace detail {

void WriteTraceLine(std::ofstream* log, std::string_view message, const std::string_view* value)
{
    if (log == nullptr || !*log || !log->is_open())
        return;
    // A stream whose owner asked for exceptions may throw from here; tracing
    // must never change what the query does, so the failure stays in the
    // stream's state.
    try {
        // Values are byte strings (attribute contents may hold tabs, newlines
        // or NUL bytes); they go out unchanged.
        *log << std::endl << GetLogHeader() << '\t' << message;
        if (value != nullptr)
            *log << ' ' << *value;
        *log << std::endl;
    } catch (...) {
    }
}

}  // namespace detail
}  // namespace LinuxEnum
}  // namespace Quentor

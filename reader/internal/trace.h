// SPDX-License-Identifier: MIT
// The one writer of trace-log entries (internal).
#ifndef SYSFSREADER_INTERNAL_TRACE_H
#define SYSFSREADER_INTERNAL_TRACE_H

#include <fstream>
#include <string_view>

namespace Quentor {
namespace LinuxEnum {
namespace detail {

// Writes one entry: end-of-line, header, tab, message and, when value is not
// null, a blank and the value, then end-of-line.  Both end-of-lines flush, so
// an entry is in the file before the caller goes on.  Nothing is written (and
// no header is built) when there is no stream, it is not open, or it has failed.
void WriteTraceLine(std::ofstream* log, std::string_view message, const std::string_view* value);

}  // namespace detail
}  // namespace LinuxEnum
}  // namespace Quentor

#endif

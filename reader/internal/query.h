// SPDX-License-Identifier: MIT
// The frame of every query (internal): exceptions contained, failures
// traced and reported.
#ifndef SYSFSREADER_INTERNAL_QUERY_H
#define SYSFSREADER_INTERNAL_QUERY_H

#include <string>
#include <string_view>

#include "failure.h"
#include "log/messages.h"
#include "no_throw.h"
#include "reader.h"

namespace Quentor {
namespace LinuxEnum {

template <typename Body>
int CSysfsReader::Query(int failedCode, Body&& body)
{
    return detail::NoThrow(failedCode, [&] {
        detail::FailureScope failures([this](std::string_view path, int error) {
            Trace(detail::messages::kReadFailed, std::string(path) + ": " + detail::ErrorText(error));
        });
        const int code = body();
        if (failures.Any() && (code == READER_OK || code == READER_NOT_FOUND))
            return failedCode;
        return code;
    });
}

}  // namespace LinuxEnum
}  // namespace Quentor

#endif

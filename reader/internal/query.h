// SPDX-License-Identifier: MIT
// The frame of every query (internal): exceptions contained, failures
// traced and reported.
#ifndef SYSFSREADER_INTERNAL_QUERY_H
#define SYSFSREADER_INTERNAL_QUERY_H

#include <string>
#include <string_view>

#include "failure.h"
#include "messages.h"
#include "no_throw.h"
#include "reader.h"

namespace Quentor {
namespace LinuxEnum {

template <typename Body>
int CSysfsReader::Query(int failedCode, Body&& body)
{
    // Forgotten here as well as by the scope: the body may fail before its
    // scope exists.
    detail::ForgetFailures();
    int thrown = 0;
    const int code = detail::NoThrow(failedCode, thrown, [&] {
        detail::FailureScope failures([this](std::string_view path, int error) {
            Trace(detail::messages::kReadFailed, std::string(path) + ": " + detail::ErrorText(error));
        });
        const int result = body();
        if (failures.Any() && (result == READER_OK || result == READER_NOT_FOUND))
            return failedCode;
        return result;
    });
    // A body cut short (out of memory) has failed like any read: the caller
    // learns it from LastFailure(), and the trace says so if it still can.
    if (thrown != 0) {
        detail::NoteFailure(thrown, {});
        detail::NoThrow(0, thrown, [&] {
            Trace(detail::messages::kReadFailed, detail::ErrorText(thrown));
            return 0;
        });
    }
    return code;
}

}  // namespace LinuxEnum
}  // namespace Quentor

#endif

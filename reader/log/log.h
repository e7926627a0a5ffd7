// SPDX-License-Identifier: MIT
// The header of every trace-log entry: time, thread and process.
#ifndef SYSFSREADER_LOG_H
#define SYSFSREADER_LOG_H

#include <pthread.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>

// Inline, so that a program that writes entries of the same shape (the
// benchmark floor does) needs nothing of the library; each program and the
// library compile their own copy, and the library does not export it: its
// ABI stays the same whatever the optimiser inlines.
//
// "Time: " and the ctime() text (which ends in a newline), then
// "  Thread id: N   Process id: M".  The thread identifier is printed whole,
// even where pthread_t is wider than an unsigned int, so that two threads of
// one process never print the same number.
inline std::string GetLogHeader()
{
    std::string header = "Time: ";
    std::time_t now = std::time(nullptr);
    char timeText[64] = {0};
    if (ctime_r(&now, timeText) != nullptr)
        header += timeText;
    else
        header += "?\n";  // a clock outside ctime's range; keep the entry's shape

    char ids[80] = {0};
    std::snprintf(ids, sizeof ids, "  Thread id: %ju   Process id: %u",
                  static_cast<std::uintmax_t>(pthread_self()),
                  static_cast<unsigned>(getpid()));
    header += ids;
    return header;
}

#endif  // SYSFSREADER_LOG_H

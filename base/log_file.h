// SPDX-License-Identifier: MIT
// The trace log of the programs (iscsi-inventory, sysfs-buses): opened with
// the care a program owes that runs as root in directories others can write.
// Linked into each program; not part of the library.
#ifndef SYSFSREADER_BASE_LOG_FILE_H
#define SYSFSREADER_BASE_LOG_FILE_H

#include <fstream>
#include <string>

namespace base {

// Fills each of the standard descriptors 0, 1 and 2 that the caller left
// closed, so that the log's open cannot take one of them (the inventory would
// land in the log).  Call it first thing in main.
void KeepStandardDescriptors();

// Why a log was not opened.
struct LogRefusal {
    // Empty when the log is open.
    std::string why;
    // The name was free and the file could not be created there (a directory
    // we may not write, a read-only file system); false when something that
    // is not ours to write already stands at the name.
    bool cannotCreate = false;
    explicit operator bool() const { return !why.empty(); }
};

// Opens the log at path, emptied, for log to write to.  The path is walked
// under the rule of trusted_path.h (PathTrust::Destination).  A missing file
// is created private to its owner (mode 0600: the trace holds what sysfs
// shows).  An existing regular file is taken only if it has one link and
// belongs to the user running; it keeps its mode and loses its content.  A
// character device or a FIFO that a process reads (and "/dev/stdout",
// "/dev/stderr") is written through as it is.  Never through a symbolic link
// at the name.
LogRefusal OpenLog(std::ofstream& log, const char* path);

}  // namespace base

#endif

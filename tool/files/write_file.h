// SPDX-License-Identifier: MIT
// The files the tool writes by name (the metrics, a baseline): replaced whole,
// for readers that may look at any moment (the textfile collector of
// node_exporter reads its directory at every scrape), by a run that may be
// root writing into a directory tree that other users own parts of; or, for
// a device or a standard stream, written through.
#ifndef ISCSI_INVENTORY_WRITE_FILE_H
#define ISCSI_INVENTORY_WRITE_FILE_H

#include <sys/types.h>

#include <functional>
#include <string>
#include <string_view>

#include "base/trusted_path.h"

namespace inventory {

// Hands each piece of the content to the writer it is given (which returns 0
// or the errno of the failed write, after which it writes nothing more).
using PieceWriter = std::function<int(std::string_view)>;

// Writes the content that produce hands over to the file named path, as every
// file the tool writes by name is written.  What stands at the name decides
// how:
//   - "/dev/stdout", "/dev/stderr" (base::StandardStreamNamed): written to
//     that descriptor of the run, whatever it is (a pipe, a terminal);
//   - a character device or a FIFO: written through, as tee would, never
//     replaced: replacing /dev/null would break it for the whole host.  A
//     FIFO that no process reads is refused (ENXIO), never waited on;
//   - a socket or a block device: refused (ENXIO, EPERM): a socket cannot be
//     opened, and a disk is never written over;
//   - a regular file, a symbolic link at the name, or nothing yet: replaced
//     whole, so that a reader sees the old file or the whole new one, never a
//     part, and whatever stood at path stays on any failure.
//
// The path is walked under base::PathTrust trust (base/trusted_path.h): a
// link on the way that another user could have planted is refused, and run
// as root, so is a directory or file that another user could change.  A
// symbolic link at path itself is never followed: the new file takes its
// name's place.
//
// The replacement goes to an anonymous file (O_TMPFILE) in the directory,
// given exactly mode whatever the umask and flushed to disk; only then does
// it get a name, a short hidden one, for the instant before the rename over
// path, with the signals that can be caught held off.  Where the file system
// has no anonymous files the content goes to a file under that hidden name
// from the start, and a signal that ends the run removes it first.  Only
// SIGKILL can leave a temporary name behind: in the instant between the link
// and the rename, or while the content goes to a named file.
//
// produce returns 0, or an errno of its own when it cannot produce the whole
// content.  Returns 0 or the errno of the failure; why is then set to the
// reason in words (the error's text, or what was refused and why).
int WriteFile(const std::string& path, mode_t mode, base::PathTrust trust,
              const std::function<int(const PieceWriter&)>& produce, std::string& why);

}  // namespace inventory

#endif

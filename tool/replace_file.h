// SPDX-License-Identifier: MIT
// A file replaced whole, for readers that may look at any moment (the textfile
// collector of node_exporter reads its directory at every scrape), by a run
// that may be root writing into a directory tree that other users own parts of.
#ifndef ISCSI_INVENTORY_REPLACE_FILE_H
#define ISCSI_INVENTORY_REPLACE_FILE_H

#include <sys/types.h>

#include <functional>
#include <string>
#include <string_view>

namespace inventory {

// Hands each piece of the content to the writer it is given (which returns 0
// or the errno of the failed write, after which it writes nothing more).
using PieceWriter = std::function<int(std::string_view)>;

// Replaces path with the content that produce hands over: a reader sees the
// old file or the whole new one, never a part, and whatever stood at path
// stays on any failure.
//
// The directories on the way are opened one by one, each from the one before.
// A symbolic link among them is followed only when the user running could
// have made it alone: the link and the directory that holds it belong to root
// or to that user, and the directory is writable by neither group nor others.
// Any other link is refused, so that a user who owns a directory on the way
// cannot send the file where only root may write.  A symbolic link at path
// itself is never followed: the new file takes its name's place.
//
// The content goes to an anonymous file (O_TMPFILE) in the directory, given
// exactly mode whatever the umask and flushed to disk; only then does it get a
// name, a short hidden one, for the instant before the rename over path, with
// the signals that can be caught held off.  Where the file system has no
// anonymous files the content goes to a file under that hidden name from the
// start, and a signal that ends the run removes it first.  Only SIGKILL can
// leave a temporary name behind: in the instant between the link and the
// rename, or while the content goes to a named file.
//
// produce returns 0, or an errno of its own when it cannot produce the whole
// content.  Returns 0 or the errno of the failure; why is then set to the
// reason in words (the error's text, or what was wrong with a link).
int ReplaceFile(const std::string& path, mode_t mode,
                const std::function<int(const PieceWriter&)>& produce, std::string& why);

}  // namespace inventory

#endif

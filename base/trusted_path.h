// SPDX-License-Identifier: MIT
// The one rule of trust for the files the programs read and write by name (a
// baseline, the metrics file, the trace log): no user but root and the user
// running may have a say in which file a name leads to, nor in what it holds.
// A program run as root that followed a link another user planted, or read a
// file another user can rewrite, would act on that user's word: write where
// only root may, or hold the host against a baseline of that user's choosing.
//
// Walked from a descriptor, one component at a time, never through a link
// without judging it first, so that what is judged is what is used.
#ifndef SYSFSREADER_BASE_TRUSTED_PATH_H
#define SYSFSREADER_BASE_TRUSTED_PATH_H

#include <sys/stat.h>

#include <string>
#include <string_view>

#include "unique_fd.h"

namespace base {

// How much of a path must be beyond other users' reach.  Whatever the
// scope, a symbolic link on the way is followed only when it belongs to root
// or the user running and the directory holding it is trusted (below); any
// other link is refused, for every user.  Run as root, the scope adds:
enum class PathTrust {
    // A file written and never read back (the metrics, the trace): the
    // directory that holds it, and the file where it stands.  A directory
    // further up may belong to another user (Debian's /var/lib/prometheus
    // belongs to the collector's user): moving things about there, that user
    // can send the write only into a directory of its own, never through a
    // link.
    Destination,
    // A file whose content is trusted (a baseline, read or saved to be read):
    // every directory on the way, those above the current directory for a
    // relative path included, and the file.  Whoever could move a directory
    // on the way could put an older file of root's in its place.
    Content,
};

// A directory is trusted when it belongs to root or the user running and no
// one else can write it, or it is sticky (/tmp): there, others may add names
// but neither rename nor remove one of root's.  A file is trusted when it
// belongs to root or the user running and, if it is a regular file, no one
// else can write it (a device's mode is the device's own: /dev/null is
// writable by all).

// The end of a walk: the directory that holds the last component, opened
// with O_PATH, and that component's name.
struct PathEnd {
    UniqueFd directory;
    std::string name;
};

// Walks path to the directory that holds its last component.  With
// followLast, a link at the last component is followed too (by the same
// rule), so that name is what a read opens; without it, name may be a link,
// which a replacement puts its file in place of.  Returns 0 or an errno:
// EPERM for a refusal, with why set to the reason ("the directory '/srv'
// belongs to another user (uid 1000)"); for other errors why is left to the
// caller.
int WalkPath(const std::string& path, PathTrust trust, bool followLast, PathEnd& end, std::string& why);

// Why the file the walk ended at is not trusted under the rule above, run as
// root ("it belongs to another user (uid 1000)"); empty when it is, and always for other
// users.
std::string DistrustFile(const struct stat& file);

// The standard descriptor a name stands for: 1 for "/dev/stdout" (and
// "/dev/fd/1", "/proc/self/fd/1"), 2 for "/dev/stderr" and the like; -1 for
// any other name.  Written to as it is, never replaced: the name is a link to
// whatever the descriptor is, a pipe or a socket included.
int StandardStreamNamed(std::string_view path);

}  // namespace base

#endif

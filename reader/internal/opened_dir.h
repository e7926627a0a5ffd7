// SPDX-License-Identifier: MIT
// What a class-side query opens before it reads (internal): a class
// directory or a directory of the tree, held for the query.
#ifndef SYSFSREADER_INTERNAL_OPENED_DIR_H
#define SYSFSREADER_INTERNAL_OPENED_DIR_H

#include <optional>
#include <string>
#include <utility>

#include "libsysfs.h"
#include "sysfs_io.h"

namespace Quentor {
namespace LinuxEnum {
namespace detail {

// The tree the directory lies in, the directory and, for a class that
// libsysfs opened, its handle (closed with the rest on every exit).
struct OpenedDir {
    ClassHandle handle;
    sysfs::Tree tree;
    sysfs::Dir dir;
};

// How a query opens its directory: from what the query names (a class name,
// a path) and the mount; nothing when there is no such directory.
using DirOpener = std::optional<OpenedDir> (*)(const std::string& target, const std::string& mount);

// A directory by its path, without a libsysfs handle.  Only directories of
// the sysfs tree are opened: a path that leads elsewhere is not found,
// whatever it names.
inline std::optional<OpenedDir> OpenDirectory(const std::string& path, const std::string& mount)
{
    sysfs::Result<sysfs::Tree> tree = sysfs::Tree::Open(mount);
    if (!tree)
        return std::nullopt;
    sysfs::Result<sysfs::Dir> dir = tree->OpenPath(path);
    if (!dir)
        return std::nullopt;
    return OpenedDir{ClassHandle(), std::move(*tree), std::move(*dir)};
}

}  // namespace detail
}  // namespace LinuxEnum
}  // namespace Quentor

#endif

// SPDX-License-Identifier: MIT
// The text of sysfs paths and links (internal): which names may reach the
// filesystem, and where a link's text leads, worked out without asking it.
#ifndef SYSFSREADER_INTERNAL_SYSFS_PATH_H
#define SYSFSREADER_INTERNAL_SYSFS_PATH_H

#include <optional>
#include <string>
#include <string_view>

namespace Quentor {
namespace LinuxEnum {
namespace detail {
namespace sysfs {

// True for a name that can only mean one entry of a directory: not empty, not
// "." or "..", without '/' or NUL.  Anything else never reaches the filesystem.
bool IsComponent(std::string_view name);

// Whether a single name fits libsysfs's name buffer, which cuts longer ones.
bool NameFits(std::string_view name);

// Whether a relative path is plain names alone ("a/b"; never "", "a/../b",
// "./a", "a//b" or "a/"): the canonical path below a directory of what it
// names, when no link is on the way.
bool PlainNames(std::string_view relative);

// A link's text, taken from the canonical directory that holds it, when it is
// of the shape the kernel writes: a run of ".." followed by plain names.  The
// result is then exactly where the link leads as long as every name after the
// ".." run is a real directory, which the caller checks.  Nothing for any
// other text.
std::optional<std::string> KernelLinkTarget(std::string_view dir, std::string_view text);

// Where a link's text points, read as text from the directory that holds it:
// ".." takes away the last component, "." none, an absolute text starts at
// "/".  No link on the way is looked at, so the result may name nothing.
std::string LexicalTarget(std::string_view dir, std::string_view text);

}  // namespace sysfs
}  // namespace detail
}  // namespace LinuxEnum
}  // namespace Quentor

#endif

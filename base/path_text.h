// SPDX-License-Identifier: MIT
// Paths as text: split, joined, cut at their last '/'.  Nothing here asks
// the file system; what a path names is its caller's business.
#ifndef SYSFSREADER_BASE_PATH_TEXT_H
#define SYSFSREADER_BASE_PATH_TEXT_H

#include <string>
#include <string_view>
#include <vector>

namespace base {

// The components of a path in order: a run of '/' is one separator, and a
// leading or trailing '/' yields no empty component; "." and ".." are kept.
// The views point into path.
std::vector<std::string_view> PathComponents(std::string_view path);

// name below directory, with one '/' between them: "/" + "sys" is "/sys",
// and an empty directory gives name alone.
std::string JoinPath(std::string_view directory, std::string_view name);

// Everything before the last '/': "/sys/devices" for "/sys/devices/pci0",
// "/" for "/sys" (the root is its own parent) and "" for a name without
// any '/'.
std::string_view Parent(std::string_view path);

// Everything after the last '/': the whole of a name without one, "" for a
// path that ends in '/'.
std::string_view BaseName(std::string_view path);

}  // namespace base

#endif

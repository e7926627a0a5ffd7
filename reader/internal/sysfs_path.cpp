// SPDX-License-Identifier: MIT
#include "sysfs_path.h"

#include "base/path_text.h"
#include "libsysfs.h"

namespace Quentor {
namespace LinuxEnum {
namespace detail {
namespace sysfs {

bool IsComponent(std::string_view name)
{
    return !name.empty() && name != "." && name != ".." &&
           name.find('/') == std::string_view::npos && name.find('\0') == std::string_view::npos;
}

bool NameFits(std::string_view name) { return name.size() < SYSFS_NAME_LEN; }

bool PlainNames(std::string_view relative)
{
    for (;;) {
        const std::size_t slash = relative.find('/');
        if (!IsComponent(relative.substr(0, slash)))
            return false;
        if (slash == std::string_view::npos)
            return true;
        relative.remove_prefix(slash + 1);
    }
}

std::optional<std::string> KernelLinkTarget(std::string_view dir, std::string_view text)
{
    if (text.empty() || text[0] == '/')
        return std::nullopt;
    std::string target(dir);
    bool climbing = true;
    for (std::string_view part : base::PathComponents(text)) {
        if (part == "..") {
            if (!climbing || target.size() <= 1)
                return std::nullopt;
            target.resize(base::Parent(target).size());
            continue;
        }
        if (part == ".")
            return std::nullopt;
        climbing = false;
        target = base::JoinPath(target, part);
    }
    if (climbing)
        return std::nullopt;
    return target;
}

std::string LexicalTarget(std::string_view dir, std::string_view text)
{
    std::string target = !text.empty() && text[0] == '/' ? std::string("/") : std::string(dir);
    for (std::string_view part : base::PathComponents(text)) {
        if (part == "..")
            target.resize(base::Parent(target).size());
        else if (part != ".")
            target = base::JoinPath(target, part);
    }
    return target;
}

}  // namespace sysfs
}  // namespace detail
}  // namespace LinuxEnum
}  // namespace Quentor

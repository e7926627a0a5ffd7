// SPDX-License-Identifier: MIT
// What the tool must show for a file the dump read: its content without the
// final newline, cut at a page; nothing for a read that failed although the
// owner may read the file, "" for one the owner may not read; a set CHAP
// secret as "********".
#include "check.h"

namespace vmcheck {

const char kMask[] = "********";

bool IsSecret(const std::string& name)
{
    return name == "password" || name == "password_in";
}

bool IsSet(const std::string& value)
{
    return !value.empty() && value != "(null)";
}

namespace {

std::string Masked(const std::string& name, const std::string& value)
{
    return IsSecret(name) && IsSet(value) ? kMask : value;
}

}  // namespace

std::optional<std::string> Shown(const File& file)
{
    if (!file.ok)
        return (file.mode & 0400) ? std::nullopt : std::optional<std::string>("");
    std::string value = file.value.substr(0, 4096);
    if (value.empty() || value[0] == '\0')
        return std::string();
    if (value.back() == '\n')
        value.pop_back();
    return value;
}

std::optional<std::string> Shown(const std::string& name, const File& file, bool masked)
{
    std::optional<std::string> value = Shown(file);
    if (masked && value)
        value = Masked(name, *value);
    return value;
}

std::optional<std::string> FileValue(const Object* object, const std::string& name)
{
    if (object == nullptr || !object->files.count(name))
        return std::nullopt;
    return Shown(object->files.at(name));
}

std::string DumpValue(const Object* object, const std::string& file)
{
    if (object == nullptr || !object->files.count(file))
        return "";
    return Shown(object->files.at(file)).value_or("");
}

}  // namespace vmcheck

// SPDX-License-Identifier: MIT
#include "text/people_text.h"

#include <cstdio>

#include "text/terminal_text.h"

namespace inventory {

std::string Shown(std::optional<std::string_view> value)
{
    if (!value)
        return "<unknown>";
    return value->empty() || *value == "(null)" ? "<empty>" : Visible(*value);
}

std::string Said(const std::optional<std::string>& value)
{
    if (!value)
        return "<unknown>";
    return value->empty() || *value == "(null)" ? "<empty>" : *value;
}

std::string Counted(std::size_t n, const char* one, const char* many)
{
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string Joined(const std::vector<std::string>& parts)
{
    std::string text;
    for (const std::string& part : parts)
        if (!part.empty())
            text += (text.empty() ? "" : ", ") + part;
    return text;
}

std::string HumanSize(std::optional<std::uint64_t> bytes)
{
    if (!bytes)
        return "<unknown>";
    static const char* const kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    double value = static_cast<double>(*bytes);
    int unit = 0;
    while (value >= 1024 && unit < 6) {
        value /= 1024;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.2f %s", value, kUnits[unit]);
    return text;
}

}  // namespace inventory

// SPDX-License-Identifier: MIT
// How the forms for people (--sessions, --luns, --summary, --check) show a
// value: every byte from sysfs through Visible(), so that a name a target
// gives itself cannot drive the reader's terminal or forge a line; a value
// the kernel did not give as "<unknown>"; one it gave empty (or as the
// "(null)" it writes for an unset string) as "<empty>".
#ifndef ISCSI_INVENTORY_PEOPLE_TEXT_H
#define ISCSI_INVENTORY_PEOPLE_TEXT_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace inventory {

std::string Shown(std::optional<std::string_view> value);

// The same words with the bytes as they are, for text that is escaped as a
// whole later (the check's findings).
std::string Said(const std::optional<std::string>& value);

inline std::string Shown(const std::optional<std::string>& value)
{
    return value ? Shown(std::optional<std::string_view>(*value)) : Shown(std::optional<std::string_view>());
}

template <typename Attributes>
std::string Shown(const Attributes& attributes, const std::string& key)
{
    auto found = attributes.find(key);
    return found == attributes.end() ? Shown(std::optional<std::string_view>())
                                     : Shown(std::optional<std::string_view>(found->second));
}

// "1 path", "2 paths": n and the word for that many.
std::string Counted(std::size_t n, const char* one, const char* many);

// The parts that are not empty, joined by ", ".
std::string Joined(const std::vector<std::string>& parts);

// Bytes as people read sizes: 1073741824 is "1.00 GiB"; none is "<unknown>".
std::string HumanSize(std::optional<std::uint64_t> bytes);

}  // namespace inventory

#endif

// SPDX-License-Identifier: MIT
// Sysfs bytes in JSON strings.
#ifndef ISCSI_INVENTORY_JSON_STRING_H
#define ISCSI_INVENTORY_JSON_STRING_H

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace inventory {

// Length of the valid UTF-8 sequence at the start of s, 0 if there is none
// (RFC 3629: no overlong forms, no surrogates, nothing above U+10FFFF).
std::size_t Utf8Sequence(std::string_view s);

// Sysfs names and contents are bytes; a JSON string is Unicode.  Every
// string of the document carries its bytes reversibly: valid UTF-8 as it is,
// each byte that is not part of valid UTF-8 as the four characters \xHH
// (lowercase hex), and the backslash itself doubled so that no \x in the
// bytes can be mistaken for an escape.  Control characters are valid UTF-8
// and travel as JSON's own escapes.  The result is always valid UTF-8.
std::string Carry(std::string_view bytes);

// The bytes a carried string stands for: \\ a backslash, \xHH (lowercase hex)
// the byte HH, anything else itself.  Nothing when a backslash starts
// anything else, which Carry() never writes.
std::optional<std::string> Uncarry(std::string_view carried);

// Appends text (valid UTF-8, as Carry() makes it) as a JSON string, quotes
// included.  Besides the escapes JSON requires (quote, backslash, U+0000 to
// U+001F), DEL, the C1 controls (U+0080 to U+009F) and the line and
// paragraph separators (U+2028, U+2029) are written as \u escapes: valid
// JSON as they are, but a terminal obeys a C1 control as it obeys ESC, and
// JavaScript once took U+2028 and U+2029 for line ends.
void AppendJsonString(std::string& text, std::string_view utf8);

}  // namespace inventory

#endif

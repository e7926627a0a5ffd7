// SPDX-License-Identifier: MIT
// Sysfs bytes shown to people.
#ifndef ISCSI_INVENTORY_TERMINAL_TEXT_H
#define ISCSI_INVENTORY_TERMINAL_TEXT_H

#include <string>
#include <string_view>

namespace inventory {

// A name or value from sysfs may hold anything, and the kernel lets a target
// choose its own name: written to a terminal as they are, its control
// characters would move the cursor, recolour or rewrite lines already shown,
// and a newline would forge a line of the tool's own.  Shown visibly, every
// escape stands for bytes, so the value can still be read back:
//   - a backslash as \\ (so that no escape can be forged);
//   - tab, newline and carriage return as \t, \n, \r;
//   - every other C0 control and DEL as \xHH (two lowercase hex digits);
//   - a C1 control (U+0080..U+009F, the bytes 0xc2 0x80..0x9f) as both its
//     bytes, \xc2\xHH, since terminals obey it as they obey ESC;
//   - a bidirectional control (U+061C, U+200E, U+200F, U+202A..U+202E,
//     U+2066..U+2069) as each of its bytes (\xe2\x80\xae for U+202E), since
//     it reorders what follows it on the line: a name could show its
//     characters in another order than they have, or move the text after it;
//   - every byte that is not part of valid UTF-8 as \xHH.
// Everything else, valid UTF-8 included, is kept as it is.
std::string Visible(std::string_view bytes);

// The same, without a copy where nothing needs escaping: returns bytes
// itself, or the visible text kept in storage.
std::string_view Visible(std::string_view bytes, std::string& storage);

}  // namespace inventory

#endif

// SPDX-License-Identifier: MIT
#include "text/terminal_text.h"

#include "json/json_string.h"

namespace inventory {

namespace {

void AppendHex(std::string& text, unsigned char byte)
{
    static const char kHex[] = "0123456789abcdef";
    text += "\\x";
    text += kHex[byte >> 4];
    text += kHex[byte & 0xF];
}

// Whether the sequence of length bytes at the start of s is a character that
// reorders text (Unicode's Bidi_Control: U+061C, U+200E, U+200F,
// U+202A..U+202E, U+2066..U+2069).
bool BidiControl(std::string_view s, std::size_t length)
{
    auto byte = [&s](std::size_t i) { return static_cast<unsigned char>(s[i]); };
    if (length == 2)
        return byte(0) == 0xD8 && byte(1) == 0x9C;
    if (length != 3 || byte(0) != 0xE2)
        return false;
    if (byte(1) == 0x80)
        return byte(2) == 0x8E || byte(2) == 0x8F || (byte(2) >= 0xAA && byte(2) <= 0xAE);
    return byte(1) == 0x81 && byte(2) >= 0xA6 && byte(2) <= 0xA9;
}

// The escape of the sequence of length bytes at the start of s, or nothing
// when it is shown as it is.  length is 0 for a byte that starts no valid
// UTF-8 sequence.
bool Escape(std::string_view s, std::size_t length, std::string* text)
{
    const unsigned char lead = static_cast<unsigned char>(s[0]);
    const char* named = nullptr;
    switch (lead) {
    case '\\': named = "\\\\"; break;
    case '\t': named = "\\t"; break;
    case '\n': named = "\\n"; break;
    case '\r': named = "\\r"; break;
    default: break;
    }
    const bool c1 = length == 2 && lead == 0xC2 && static_cast<unsigned char>(s[1]) <= 0x9F;
    const bool whole = c1 || BidiControl(s, length);  // escaped byte by byte
    if (named == nullptr && length != 0 && !whole && lead >= 0x20 && lead != 0x7F)
        return false;
    if (text == nullptr)
        return true;
    if (named != nullptr) {
        *text += named;
    } else {
        for (std::size_t i = 0; i < (whole ? length : 1); ++i)
            AppendHex(*text, static_cast<unsigned char>(s[i]));
    }
    return true;
}

}  // namespace

std::string_view Visible(std::string_view bytes, std::string& storage)
{
    // Nearly every value is plain: it is checked before anything is copied.
    std::string_view rest = bytes;
    std::size_t plain = 0;
    while (!rest.empty()) {
        std::size_t length = Utf8Sequence(rest);
        if (Escape(rest, length, nullptr))
            break;
        plain += length;
        rest.remove_prefix(length);
    }
    if (rest.empty())
        return bytes;
    storage.assign(bytes.data(), plain);
    while (!rest.empty()) {
        std::size_t length = Utf8Sequence(rest);
        if (!Escape(rest, length, &storage))
            storage.append(rest.data(), length);
        rest.remove_prefix(length == 0 ? 1 : length);
    }
    return storage;
}

std::string Visible(std::string_view bytes)
{
    std::string storage;
    std::string_view shown = Visible(bytes, storage);
    if (shown.data() != storage.data())
        storage.assign(shown);
    return storage;
}

}  // namespace inventory

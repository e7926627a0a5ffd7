// SPDX-License-Identifier: MIT
#include "json_string.h"

namespace inventory {

std::size_t Utf8Sequence(std::string_view s)
{
    if (s.empty())
        return 0;
    auto byte = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
    auto continuation = [&](std::size_t i, unsigned low = 0x80, unsigned high = 0xBF) {
        return i < s.size() && byte(i) >= low && byte(i) <= high;
    };
    unsigned lead = byte(0);
    if (lead < 0x80)
        return 1;
    if (lead >= 0xC2 && lead <= 0xDF)
        return continuation(1) ? 2 : 0;
    if (lead >= 0xE0 && lead <= 0xEF) {
        unsigned low = lead == 0xE0 ? 0xA0 : 0x80, high = lead == 0xED ? 0x9F : 0xBF;
        return continuation(1, low, high) && continuation(2) ? 3 : 0;
    }
    if (lead >= 0xF0 && lead <= 0xF4) {
        unsigned low = lead == 0xF0 ? 0x90 : 0x80, high = lead == 0xF4 ? 0x8F : 0xBF;
        return continuation(1, low, high) && continuation(2) && continuation(3) ? 4 : 0;
    }
    return 0;
}

std::string Carry(std::string_view bytes)
{
    static const char kHex[] = "0123456789abcdef";
    std::string carried;
    carried.reserve(bytes.size());
    while (!bytes.empty()) {
        std::size_t length = Utf8Sequence(bytes);
        if (length == 0) {
            unsigned char b = static_cast<unsigned char>(bytes[0]);
            carried += "\\x";
            carried += kHex[b >> 4];
            carried += kHex[b & 0xF];
            length = 1;
        } else if (bytes[0] == '\\') {
            carried += "\\\\";
        } else {
            carried.append(bytes.data(), length);
        }
        bytes.remove_prefix(length);
    }
    return carried;
}

void AppendJsonText(std::string& text, std::string_view json)
{
    static const char kHex[] = "0123456789abcdef";
    auto escape = [&](unsigned code) {
        text += "\\u";
        for (int shift = 12; shift >= 0; shift -= 4)
            text += kHex[(code >> shift) & 0xF];
    };
    auto byte = [&](std::size_t i) { return static_cast<unsigned char>(json[i]); };
    std::size_t plain = 0;  // the start of the bytes not yet appended
    for (std::size_t i = 0; i < json.size(); ++i) {
        unsigned code = 0;
        std::size_t length = 0;
        if (byte(i) == 0x7F) {
            code = 0x7F;
            length = 1;
        } else if (byte(i) == 0xC2 && i + 1 < json.size() && byte(i + 1) >= 0x80 &&
                   byte(i + 1) <= 0x9F) {
            code = byte(i + 1);
            length = 2;
        } else if (byte(i) == 0xE2 && i + 2 < json.size() && byte(i + 1) == 0x80 &&
                   (byte(i + 2) == 0xA8 || byte(i + 2) == 0xA9)) {
            code = 0x2000 + (byte(i + 2) - 0x80);
            length = 3;
        } else {
            continue;
        }
        text.append(json.data() + plain, i - plain);
        escape(code);
        i += length - 1;
        plain = i + 1;
    }
    text.append(json.data() + plain, json.size() - plain);
}

}  // namespace inventory

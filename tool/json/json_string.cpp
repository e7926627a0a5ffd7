// SPDX-License-Identifier: MIT
#include "json/json_string.h"

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

std::optional<std::string> Uncarry(std::string_view carried)
{
    auto hex = [](char c) {
        return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    };
    std::string bytes;
    bytes.reserve(carried.size());
    for (std::size_t i = 0; i < carried.size(); ++i) {
        if (carried[i] != '\\') {
            bytes += carried[i];
        } else if (i + 1 < carried.size() && carried[i + 1] == '\\') {
            bytes += '\\';
            i += 1;
        } else if (i + 3 < carried.size() && carried[i + 1] == 'x' && hex(carried[i + 2]) >= 0 &&
                   hex(carried[i + 3]) >= 0) {
            bytes += static_cast<char>(hex(carried[i + 2]) * 16 + hex(carried[i + 3]));
            i += 3;
        } else {
            return std::nullopt;
        }
    }
    return bytes;
}

void AppendJsonString(std::string& text, std::string_view utf8)
{
    static const char kHex[] = "0123456789abcdef";
    auto unicode = [&](unsigned codePoint) {
        text += "\\u";
        for (int shift = 12; shift >= 0; shift -= 4)
            text += kHex[(codePoint >> shift) & 0xF];
    };
    auto next = [&](std::size_t at) {
        return at < utf8.size() ? static_cast<unsigned char>(utf8[at]) : 0u;
    };
    text += '"';
    for (std::size_t i = 0; i < utf8.size(); ++i) {
        const unsigned byte = next(i);
        switch (byte) {
        case '"': text += "\\\""; continue;
        case '\\': text += "\\\\"; continue;
        case '\b': text += "\\b"; continue;
        case '\f': text += "\\f"; continue;
        case '\n': text += "\\n"; continue;
        case '\r': text += "\\r"; continue;
        case '\t': text += "\\t"; continue;
        default: break;
        }
        if (byte < 0x20 || byte == 0x7F) {
            unicode(byte);
        } else if (byte == 0xC2 && next(i + 1) >= 0x80 && next(i + 1) <= 0x9F) {
            unicode(next(i + 1));  // C1: U+0080 to U+009F
            i += 1;
        } else if (byte == 0xE2 && next(i + 1) == 0x80 && (next(i + 2) == 0xA8 || next(i + 2) == 0xA9)) {
            unicode(0x2000 | (next(i + 2) - 0x80));  // U+2028, U+2029
            i += 2;
        } else {
            text += static_cast<char>(byte);
        }
    }
    text += '"';
}

}  // namespace inventory

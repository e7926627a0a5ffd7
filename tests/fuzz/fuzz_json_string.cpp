// SPDX-License-Identifier: MIT
// Fuzzes the carrying of sysfs bytes in JSON strings.  For every input: the
// carried string is valid UTF-8 (a JSON library in strict mode writes it and
// reads it back unchanged), and decoding it by the documented rule (\\ is a
// backslash, \xHH the byte HH, anything else itself) gives the input back.
// The written string with DEL, C1 controls and U+2028/U+2029 as \u escapes
// holds none of them raw and reads back the same.  The input as people see
// it (Visible) holds nothing a terminal obeys and decodes back to the input
// (\t, \n and \r standing for their bytes too).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "json/json_string.h"
#include "text/terminal_text.h"

namespace {

void Require(bool condition, const char* what)
{
    if (!condition) {
        std::fprintf(stderr, "property broken: %s\n", what);
        std::abort();
    }
}

int Hex(char c)
{
    return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// The decoding a reader of the document applies, with the named escapes of
// the visible form when named is set; false on a malformed escape.
bool Decode(std::string_view text, std::string& bytes, bool named = false)
{
    // Each letter at an even place, followed by the byte it names.
    static const std::string_view kNamed = "t\tn\nr\r";
    for (std::size_t i = 0; i < text.size(); ++i) {
        std::size_t at = std::string_view::npos;
        if (text[i] != '\\') {
            bytes += text[i];
        } else if (i + 1 < text.size() && text[i + 1] == '\\') {
            bytes += '\\';
            ++i;
        } else if (named && i + 1 < text.size() && (at = kNamed.find(text[i + 1])) % 2 == 0) {
            bytes += kNamed[at + 1];
            ++i;
        } else if (i + 3 < text.size() && text[i + 1] == 'x' && Hex(text[i + 2]) >= 0 &&
                   Hex(text[i + 3]) >= 0) {
            bytes += static_cast<char>(Hex(text[i + 2]) * 16 + Hex(text[i + 3]));
            i += 3;
        } else {
            return false;
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::string_view input(reinterpret_cast<const char*>(data), size);
    std::string carried = inventory::Carry(input);
    std::string written;
    try {
        written = nlohmann::json(carried).dump();  // strict: throws on invalid UTF-8
    } catch (const nlohmann::json::exception&) {
        Require(false, "carried string is valid UTF-8");
    }
    Require(nlohmann::json::parse(written).get<std::string>() == carried,
            "the document reads back what was written");
    std::string decoded;
    Require(Decode(carried, decoded), "every escape is well formed");
    Require(decoded == input, "decoding gives the bytes back");

    std::string quoted;
    inventory::AppendJsonString(quoted, carried);
    for (std::string_view raw : {"\x7f", "\xe2\x80\xa8", "\xe2\x80\xa9"})
        Require(quoted.find(raw) == std::string::npos, "no DEL or separator left raw");
    for (std::size_t at = 0; (at = quoted.find('\xc2', at)) != std::string::npos; ++at)
        Require(static_cast<unsigned char>(quoted[at + 1]) > 0x9f, "no C1 control left raw");
    Require(nlohmann::json::parse(quoted).get<std::string>() == carried,
            "the escaped document reads back the same string");

    const std::string shown = inventory::Visible(input);
    for (std::string_view rest = shown; !rest.empty();) {
        const std::size_t length = inventory::Utf8Sequence(rest);
        const unsigned char lead = static_cast<unsigned char>(rest[0]);
        Require(length != 0, "the visible form is valid UTF-8");
        Require(lead >= 0x20 && lead != 0x7f, "no C0 control or DEL in the visible form");
        Require(!(lead == 0xc2 && static_cast<unsigned char>(rest[1]) <= 0x9f),
                "no C1 control in the visible form");
        rest.remove_prefix(length);
    }
    std::string seen;
    Require(Decode(shown, seen, true) && seen == input, "the visible form reads back");
    return 0;
}

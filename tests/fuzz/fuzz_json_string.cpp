// SPDX-License-Identifier: MIT
// Fuzzes the carrying of sysfs bytes in JSON strings.  For every input: the
// carried string is valid UTF-8 (a JSON library in strict mode writes it and
// reads it back unchanged), and decoding it by the documented rule (\\ is a
// backslash, \xHH the byte HH, anything else itself) gives the input back.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "json_string.h"

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

// The decoding a reader of the document applies; false on a malformed escape.
bool Decode(std::string_view text, std::string& bytes)
{
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            bytes += text[i];
        } else if (i + 1 < text.size() && text[i + 1] == '\\') {
            bytes += '\\';
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
    return 0;
}

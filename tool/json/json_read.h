// SPDX-License-Identifier: MIT
// JSON text read back into the tool's own value (json_value.h): the baseline
// of --check, a file that anyone who can write it may have handed over.
#ifndef ISCSI_INVENTORY_JSON_READ_H
#define ISCSI_INVENTORY_JSON_READ_H

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "json/json_value.h"

namespace inventory {

// How much a reading may hold, so that no input can make it run out of stack
// or memory: the text's size, how deep arrays and objects nest, and how many
// values (of any kind, nested ones included) there are in all.
struct JsonLimits {
    std::size_t maxBytes = 8u << 20;
    std::size_t maxDepth = 32;
    std::size_t maxValues = 1000000;
};

struct JsonReading {
    enum class Fault {
        None,
        Syntax,        // not JSON (RFC 8259), invalid UTF-8 included
        Limit,         // past one of the limits
        Unsupported,   // a number the value cannot hold: negative, with a fraction
                       // or exponent, or above 2^64 - 1
        DuplicateKey,  // an object naming one key twice
    };
    std::optional<Json> value;  // when fault is None
    Fault fault = Fault::None;
    std::string message;        // "line L, column C: what was wrong"
};

// Reads text as one JSON value, strictly: the grammar of RFC 8259 and nothing
// else (no comments, no byte order mark, no trailing commas, nothing but
// white space after the value), strings in valid UTF-8 whose \u escapes pair
// their surrogates.  Time and memory grow with the text alone.
JsonReading ReadJson(std::string_view text, const JsonLimits& limits = {});

}  // namespace inventory

#endif

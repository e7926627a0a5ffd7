// SPDX-License-Identifier: MIT
// Fuzzes the tool's JSON reader and the baseline read through it.  For every
// input: no crash, and within the limits in time and memory (the sanitizers
// and libFuzzer's own limits judge).  What the reader accepts, a strict
// JSON library accepts too, as the same value; what it calls a syntax error,
// the library rejects too.  A value it read, written out again, reads back
// as the same text.  A baseline it read, saved, reads back as the same
// baseline.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "verdict/baseline.h"
#include "json/json_read.h"

namespace {

void Require(bool condition, const char* what)
{
    if (!condition) {
        std::fprintf(stderr, "property broken: %s\n", what);
        std::abort();
    }
}

std::optional<nlohmann::json> LibraryReads(std::string_view text)
{
    try {
        return nlohmann::json::parse(text.begin(), text.end());
    } catch (const nlohmann::json::exception&) {
        return std::nullopt;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using inventory::JsonReading;
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const JsonReading reading = inventory::ReadJson(input);
    Require(reading.value.has_value() == (reading.fault == JsonReading::Fault::None),
            "a value exactly when there is no fault");
    Require(reading.value || reading.message.compare(0, 5, "line ") == 0, "a fault says where");

    // The library skips a byte order mark and stops at a NUL byte as at the
    // end of the text; the reader takes neither, so those inputs are not
    // held against it.
    const bool comparable = input.compare(0, 3, "\xEF\xBB\xBF") != 0 &&
                            input.find('\0') == std::string_view::npos;
    if (reading.value) {
        const std::string written = reading.value->Dump();
        const std::optional<nlohmann::json> theirs = LibraryReads(input);
        Require(theirs.has_value(), "what the reader accepts is JSON");
        const std::optional<nlohmann::json> ours = LibraryReads(written);
        Require(ours && *ours == *theirs, "the reader read the value the library reads");
        const JsonReading again = inventory::ReadJson(written);
        Require(again.value && again.value->Dump() == written, "a value written reads back the same");
    } else if (reading.fault == JsonReading::Fault::Syntax && comparable) {
        Require(!LibraryReads(input), "what the reader calls a syntax error is no JSON");
    }

    inventory::Baseline baseline;
    std::string why;
    if (inventory::ParseBaseline(input, baseline, why)) {
        const std::string saved = inventory::BaselineDocument(baseline);
        inventory::Baseline reread;
        Require(inventory::ParseBaseline(saved, reread, why), "a saved baseline reads back");
        Require(inventory::BaselineDocument(reread) == saved, "a saved baseline reads back the same");
    } else {
        Require(!why.empty(), "a refused baseline says why");
    }
    return 0;
}

// SPDX-License-Identifier: MIT
// Fuzzes the PCI address grammar and decoding over arbitrary paths.  Checked
// against a separate statement of the grammar (a regular expression): the
// addresses found are exactly the components it matches, in path order, and
// the decoded fields are the last one's bus, device and function.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <regex>
#include <string>
#include <string_view>

#include "base/bus_address.h"
#include "base/path_text.h"

namespace {

using namespace base;

void Require(bool condition)
{
    if (!condition)
        std::abort();
}

bool MatchesGrammar(const std::string& component)
{
    static const std::regex grammar("([0-9a-f]{4,8}):([0-9a-f]{2}):([01][0-9a-f])\\.([0-7])");
    return std::regex_match(component, grammar);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view path(reinterpret_cast<const char*>(data), size);

    // The components are the path's slash-free, non-empty pieces.
    std::vector<std::string_view> components = PathComponents(path);
    std::string collapsed, joined;
    for (char c : path)
        if (c != '/' || (!collapsed.empty() && collapsed.back() != '/'))
            collapsed += c;
    if (!collapsed.empty() && collapsed.back() == '/')
        collapsed.pop_back();
    for (std::string_view component : components) {
        Require(!component.empty() && component.find('/') == std::string_view::npos);
        joined += (joined.empty() ? "" : "/") + std::string(component);
    }
    Require(joined == collapsed);

    std::vector<std::string> expected;
    for (std::string_view component : components) {
        Require(IsPciAddress(component) == MatchesGrammar(std::string(component)));
        if (MatchesGrammar(std::string(component)))
            expected.emplace_back(component);
    }
    std::vector<std::string> addresses = PciAddresses(path);
    Require(addresses == expected);

    if (!addresses.empty()) {
        const std::string& last = addresses.back();
        PciLocation location = DecodePciAddress(last);
        Require(location.bus.size() == 2 && location.device.size() == 2 &&
                location.function.size() == 1);
        const std::string tail = ":" + location.bus + ":" + location.device + "." + location.function;
        Require(last.size() > tail.size() &&
                last.compare(last.size() - tail.size(), tail.size(), tail) == 0);
    }
    // Whatever is not an address decodes to nothing.
    if (!IsPciAddress(path)) {
        PciLocation none = DecodePciAddress(path);
        Require(none.bus.empty() && none.device.empty() && none.function.empty());
    }
    return 0;
}

// SPDX-License-Identifier: MIT
// Fuzzes the SCSI name split: a name with exactly three colons comes back
// whole when its fields are joined with ':'; any other leaves four empty fields.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "base/bus_address.h"

namespace {

void Require(bool condition)
{
    if (!condition)
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace base;
    const std::string_view name(reinterpret_cast<const char*>(data), size);
    ScsiFields fields{"stale", "stale", "stale", "stale"};
    const bool split = SplitScsiName(name, fields);
    Require(split == (std::count(name.begin(), name.end(), ':') == 3));
    if (split) {
        Require(fields.controller + ":" + fields.bus + ":" + fields.target + ":" + fields.lun ==
                name);
    } else {
        Require(fields.controller.empty() && fields.bus.empty() && fields.target.empty() &&
                fields.lun.empty());
    }
    return 0;
}

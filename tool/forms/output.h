// SPDX-License-Identifier: MIT
// Standard output of iscsi-inventory, with its first failure kept, and its
// messages on standard error.
#ifndef ISCSI_INVENTORY_OUTPUT_H
#define ISCSI_INVENTORY_OUTPUT_H

#include <string_view>

#include "base/standard_output.h"

namespace inventory {

// The name the program's messages go under.
inline constexpr std::string_view kProgramName = "iscsi-inventory";

// Standard output under the program's name (base/standard_output.h).
class Output : public base::StandardOutput {
public:
    Output() : StandardOutput(kProgramName) {}
};

// A message under the program's name on standard error:
// "iscsi-inventory: message".
void Complain(std::string_view message);

}  // namespace inventory

#endif

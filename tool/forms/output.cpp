// SPDX-License-Identifier: MIT
#include "forms/output.h"

namespace inventory {

void Complain(std::string_view message) { base::Complain(kProgramName, message); }

}  // namespace inventory

// SPDX-License-Identifier: MIT
// The failed phase: besides the logged-in checks, it must really show a
// failed session, and its lost connection's unreadable files.
#include "outputs.h"
#include "phases.h"

namespace vmcheck {

void CheckFailed(Sections& sections, const std::string& failedSession)
{
    Dump dump = ParseDump(sections["failed dump-before"]);
    std::vector<Printed> printed = ParseInventory(sections["failed inventory"], "failed");
    if (Values(printed, "NAME SESSION CLASS :: " + failedSession)["state"] != "FAILED")
        Fail("failed", failedSession + " is not FAILED in the inventory");
    bool notConnected = false;
    for (const auto& [key, object] : dump.objects)
        for (const auto& [name, file] : object.files)
            notConnected = notConnected || file.value.find("not connected") != std::string::npos;
    if (!notConnected)
        Fail("failed", "no attribute read failed with ENOTCONN: the connection was not lost");
}

}  // namespace vmcheck

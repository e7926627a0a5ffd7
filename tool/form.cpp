// SPDX-License-Identifier: MIT
#include "form.h"

#include <cstring>
#include <string>

#include "terminal_text.h"

namespace inventory {

const char* NoSessionText(const Selection& selection)
{
    return selection.Any() ? "No iSCSI session (is iscsi_tcp, or the HBA's driver, loaded?)"
                           : "No iSCSI session matches the selection";
}

bool ReportFailures(const Walk& walk)
{
    for (const Walk::Error& error : walk.Errors())
        Complain("cannot read " + Visible(error.object) + ": " + std::strerror(error.error));
    if (walk.MountFailed() && walk.Errors().empty())
        Complain("sysfs is not mounted at /sys and cannot be mounted (mounting it needs root)");
    return walk.MountFailed() || !walk.Errors().empty();
}

int EndReport(Output& out, const Walk& walk, int restError, std::string_view rest)
{
    const bool failed = ReportFailures(walk);
    if (walk.MountFailed()) {
        out.Close();
        return 1;
    }
    if (restError != 0) {
        out.Close();
        Complain(std::string(rest) + ": " + std::strerror(restError));
        return 1;
    }
    return out.Finish(failed ? 1 : 0);
}

}  // namespace inventory

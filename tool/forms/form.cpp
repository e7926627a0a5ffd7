// SPDX-License-Identifier: MIT
#include "forms/form.h"

#include <cstring>
#include <string>

#include "text/terminal_text.h"

namespace inventory {

int EndWithoutSession(Output& out, const Walk& walk, const Selection& selection)
{
    // What could not be read is no proof that nothing matches.
    if (walk.MountFailed() || !walk.Errors().empty() || out.Failed())
        return EndReport(out, walk);
    if (selection.TakesAll()) {
        out.Line({"No iSCSI session (is iscsi_tcp, or the HBA's driver, loaded?)"});
        return EndReport(out, walk);
    }
    std::string named;
    for (const std::string& target : selection.targets)
        named += (named.empty() ? "" : ", ") + ("target " + Visible(target));
    for (const std::string& session : selection.sessions)
        named += (named.empty() ? "" : ", ") + ("session " + Visible(session));
    Complain("no iSCSI session matches the selection (" + named + ")");
    const int status = EndReport(out, walk);
    return status == 0 ? 1 : status;
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

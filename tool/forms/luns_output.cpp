// SPDX-License-Identifier: MIT
#include "forms/luns_output.h"

#include <string>
#include <string_view>

#include "text/people_text.h"
#include "text/terminal_text.h"

namespace inventory {

namespace {

std::string YesNo(std::optional<bool> value)
{
    return value ? (*value ? "Yes" : "No") : "<unknown>";
}

std::string MapText(const std::optional<MultipathMap>& map)
{
    if (!map)
        return "none";
    return Shown(map->name) + " (" + Visible(map->device) + ")";
}

}  // namespace

void WriteLun(Output& out, const LunRecord& lun)
{
    if (lun.wwid)
        out.Line({"LUN: ", Shown(lun.wwid)});
    else
        out.Line({"LUN: ", Visible(lun.Key()), " (no WWID)"});
    out.Line({"\tSize: ", HumanSize(lun.sizeBytes)});
    out.Line({"\tVendor: ", Shown(lun.vendor)});
    out.Line({"\tModel: ", Shown(lun.model)});
    out.Line({"\tRev: ", Shown(lun.rev)});
    out.Line({"\tRead-only: ", YesNo(lun.ReadOnly())});
    out.Line({"\tMultipath: ", MapText(lun.multipath)});
    for (const PathRecord& path : lun.paths) {
        out.Line({"\tPath: ", Visible(path.hctl), " ",
                  path.blockDevice ? Visible(*path.blockDevice) : std::string("(no block device)"),
                  path.Running() ? ": running" : ": not running"});
        out.Line({"\t\tSession: ", Visible(path.session), " (", Shown(path.sessionState), ")"});
        out.Line({"\t\tTarget: ", Shown(path.target)});
        out.Line({"\t\tPortal: ", Shown(path.portal)});
        out.Line({"\t\tIface: ", Shown(path.iface)});
        out.Line({"\t\tSCSI Device State: ", Shown(path.state)});
        out.Line({"\t\tRead-only: ", YesNo(path.readOnly)});
    }
    out.Line({"\t", std::to_string(lun.PathsRunning()), " of ", std::to_string(lun.paths.size()),
              lun.paths.size() == 1 ? " path running" : " paths running"});
}

int LunsOutput::Finish(const Walk& walk)
{
    if (m_topology.Sessions().empty())
        return EndWithoutSession(m_out, walk, m_selection);
    if (!walk.MountFailed()) {
        const std::vector<LunRecord> luns = m_topology.Luns();
        for (const LunRecord& lun : luns) {
            if (m_out.Failed())
                break;
            if (&lun != &luns.front())
                m_out.Line({});  // a blank line between blocks
            WriteLun(m_out, lun);
        }
        if (luns.empty() && !m_out.Failed())
            m_out.Line({"No logical unit on the iSCSI sessions"});
    }
    return EndReport(m_out, walk);
}

}  // namespace inventory

// SPDX-License-Identifier: MIT
#include "forms/luns_output.h"

#include <string>
#include <string_view>

#include "mapper/multipath_map.h"
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

// Words of a space-separated list from sysfs or the device-mapper, each
// made visible; "none" for none.
std::string Words(const std::vector<std::string>& words)
{
    std::string text;
    for (const std::string& word : words)
        text += (text.empty() ? "" : " ") + Visible(word);
    return text.empty() ? "none" : text;
}

// The map as the device-mapper sees it: its features, its hardware
// handler, and each group with its state and path selector.
void WriteMapState(Output& out, const mapper::MultipathMap& map)
{
    out.Line({"\t\tFeatures: ", Words(map.features)});
    std::vector<std::string> handler;
    if (!map.hardwareHandler.empty())
        handler.push_back(map.hardwareHandler);
    handler.insert(handler.end(), map.handlerArgs.begin(), map.handlerArgs.end());
    out.Line({"\t\tHardware Handler: ", Words(handler)});
    for (std::size_t g = 0; g < map.groups.size(); ++g) {
        const mapper::PathGroup& group = map.groups[g];
        out.Line({"\t\tGroup ", std::to_string(g + 1), ": ", mapper::GroupStateName(group.state), ", ",
                  Visible(group.selector), ", ", Counted(group.paths.size(), "path", "paths")});
    }
}

}  // namespace

std::string MapPathWords(const MapPathState& dm)
{
    if (!dm.inMap)
        return "not in the map's table";
    return std::string(dm.active ? "active" : "failed") + ", group " + std::to_string(dm.group) + ", " +
           Counted(dm.failCount, "failure", "failures");
}

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
    if (lun.multipath && lun.multipath->dm)
        WriteMapState(out, *lun.multipath->dm);
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
        if (path.dm)
            out.Line({"\t\tDM State: ", MapPathWords(*path.dm)});
    }
    out.Line({"\t", std::to_string(lun.PathsRunning()), " of ", std::to_string(lun.paths.size()),
              lun.paths.size() == 1 ? " path running" : " paths running"});
}

int LunsOutput::Finish(const Walk& walk)
{
    if (m_topology.Sessions().empty())
        return EndWithoutSession(m_out, walk, m_selection);
    if (!walk.MountFailed()) {
        // Said once, before the LUNs: their paths are then judged from
        // sysfs alone.
        if (walk.Maps().unread)
            m_out.Line({"Multipath maps' own path states not read: ", Visible(*walk.Maps().unread)});
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

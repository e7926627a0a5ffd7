// SPDX-License-Identifier: MIT
#include "summary_output.h"

#include <string>

#include "people_text.h"
#include "terminal_text.h"

namespace inventory {

void SummaryOutput::Session(const SessionRecord& session)
{
    m_any = true;
    // One session at a time: the line is written as the walk goes.
    Topology one;
    one.Add(session);
    const SessionBrief& s = one.Sessions().front();
    std::string multipath;
    for (const std::string& map : s.multipath)
        multipath += (multipath.empty() ? " multipath " : ",") + Visible(map);
    const char* health = s.state != "LOGGED_IN" ? "FAILED" : s.Healthy() ? "OK" : "DEGRADED";
    m_out.Line({Shown(s.transport), ": [", s.sid ? std::to_string(*s.sid) : Visible(s.name), "] ",
                Shown(s.portal), ",", Shown(s.tpgt), " ", Shown(s.target), " iface ", Shown(s.iface),
                " ", Shown(s.state), " ", std::to_string(s.disksRunning), " of ",
                std::to_string(s.disks), s.disks == 1 ? " LUN running" : " LUNs running", multipath,
                ": ", health});
}

int SummaryOutput::Finish(const Walk& walk)
{
    if (!m_any && !walk.MountFailed() && !m_out.Failed())
        m_out.Line({NoSessionText(m_selection)});
    return EndReport(m_out, walk);
}

}  // namespace inventory

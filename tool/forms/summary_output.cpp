// SPDX-License-Identifier: MIT
#include "forms/summary_output.h"

#include <string>

#include "text/people_text.h"
#include "text/terminal_text.h"

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
    const char* health = s.state != kLoggedIn ? "FAILED" : s.Healthy() ? "OK" : "DEGRADED";
    // What makes it so, by name: a map a session's units sit under says
    // nothing of which of them is down.
    std::string why;
    auto add = [&why](const std::string& reason) { why += (why.empty() ? " (" : "; ") + reason; };
    if (s.state == kLoggedIn)
        for (const ConnectionBrief& connection : s.connections)
            if (connection.state != kConnectionUp)
                add("connection " + Visible(connection.name) + " " + Shown(connection.state));
    for (const LunRecord& lun : one.Luns())
        for (const PathRecord& path : lun.paths)
            if (!path.Running())
                add("LUN " + (lun.wwid ? Visible(*lun.wwid) + " " : std::string()) + Visible(path.hctl) + ": " +
                    Visible(path.WhyNotRunning()));
    m_out.Line({Shown(s.transport), ": [", s.sid ? std::to_string(*s.sid) : Visible(s.name), "] ",
                Shown(s.portal), ",", Shown(s.tpgt), " ", Shown(s.target), " iface ", Shown(s.iface),
                " ", Shown(s.state), " ", std::to_string(s.disksRunning), " of ",
                std::to_string(s.disks), s.disks == 1 ? " LUN running" : " LUNs running", multipath,
                ": ", health, why.empty() ? "" : why + ")"});
}

int SummaryOutput::Finish(const Walk& walk)
{
    if (!m_any)
        return EndWithoutSession(m_out, walk, m_selection);
    // Said once, after the lines written as the walk went: their health
    // was then judged from sysfs alone.
    if (walk.Maps().unread)
        m_out.Line({"Multipath maps' own path states not read: ", Visible(*walk.Maps().unread)});
    return EndReport(m_out, walk);
}

}  // namespace inventory

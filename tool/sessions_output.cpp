// SPDX-License-Identifier: MIT
#include "sessions_output.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "people_text.h"
#include "terminal_text.h"

namespace inventory {

namespace {

// The kernel gives digests as 0 or 1 (older ones as a name).
template <typename Attributes>
std::string Digest(const Attributes& attributes, const std::string& key)
{
    std::string value = Shown(attributes, key);
    return value == "0" ? "None" : value == "1" ? "CRC32C" : value;
}

template <typename Attributes>
std::string YesNo(const Attributes& attributes, const std::string& key)
{
    std::string value = Shown(attributes, key);
    return value == "1" ? "Yes" : value == "0" ? "No" : value;
}

}  // namespace

void SessionsOutput::Session(const SessionRecord& session)
{
    m_any = true;
    const AttributeMap& s = session.attributes;
    const KeptAttributes none;
    const KeptAttributes& c = session.connections.empty() ? none : session.connections.front().attributes;
    const KeptAttributes& h = session.host != nullptr ? session.host->attributes : none;
    const std::string tpgt = Shown(s, "tpgt");
    auto line = [&](int depth, std::initializer_list<std::string_view> parts) {
        static const std::string_view kTabs = "\t\t\t";
        std::string text(kTabs.substr(0, depth));
        for (std::string_view part : parts)
            text += part;
        m_out.Line({text});
    };
    auto heading = [&](std::string_view title) {
        std::string stars(title.size(), '*');
        line(2, {stars});
        line(2, {title});
        line(2, {stars});
    };

    line(0, {"Target: ", Shown(s, "targetname"), " (", Visible(session.name), ")"});
    line(1, {"Current Portal: ", Shown(c, "address"), ":", Shown(c, "port"), ",", tpgt});
    line(1, {"Persistent Portal: ", Shown(c, "persistent_address"), ":",
             Shown(c, "persistent_port"), ",", tpgt});
    heading("Interface:");
    line(2, {"Iface Name: ", Shown(s, "ifacename")});
    line(2, {"Iface Transport: ",
             session.host != nullptr && !session.host->procName.empty()
                 ? Visible(TransportOf(session.host->procName))
                 : std::string("<unknown>")});
    line(2, {"Iface Initiatorname: ", Shown(s, "initiatorname")});
    line(2, {"Iface IPaddress: ", Shown(h, "ipaddress")});
    line(2, {"Iface HWaddress: ", Shown(h, "hwaddress")});
    line(2, {"Iface Netdev: ", Shown(h, "netdev")});
    if (session.host != nullptr && !session.host->pciAddress.empty())
        line(2, {"Iface PCI: ", Visible(session.host->pciAddress), " (",
                 session.host->pciDriver.empty() ? std::string("no driver")
                                                 : Visible(session.host->pciDriver),
                 ")"});
    line(2, {"SID: ", Visible(NumberIn(session.name))});
    line(2, {"iSCSI Connection State: ", Shown(c, "state")});
    line(2, {"iSCSI Session State: ", Shown(s, "state")});
    if (s.count("target_state"))
        line(2, {"Target State: ", Shown(s, "target_state")});
    heading("Timeouts:");
    line(2, {"Recovery Timeout: ", Shown(s, "recovery_tmo")});
    line(2, {"Target Reset Timeout: ", Shown(s, "tgt_reset_tmo")});
    line(2, {"LUN Reset Timeout: ", Shown(s, "lu_reset_tmo")});
    line(2, {"Abort Timeout: ", Shown(s, "abort_tmo")});
    heading("CHAP:");
    for (const char* key : {"username", "password", "username_in", "password_in"})
        line(2, {key, ": ", Shown(s, key)});
    heading("Negotiated iSCSI params:");
    line(2, {"HeaderDigest: ", Digest(c, "header_digest")});
    line(2, {"DataDigest: ", Digest(c, "data_digest")});
    line(2, {"MaxRecvDataSegmentLength: ", Shown(c, "max_recv_dlength")});
    line(2, {"MaxXmitDataSegmentLength: ", Shown(c, "max_xmit_dlength")});
    line(2, {"FirstBurstLength: ", Shown(s, "first_burst_len")});
    line(2, {"MaxBurstLength: ", Shown(s, "max_burst_len")});
    line(2, {"ImmediateData: ", YesNo(s, "immediate_data")});
    line(2, {"InitialR2T: ", YesNo(s, "initial_r2t")});
    line(2, {"MaxOutstandingR2T: ", Shown(s, "max_outstanding_r2t")});
    heading("Attached SCSI devices:");
    if (session.host != nullptr)
        line(2, {"Host Number: ", Visible(NumberIn(session.host->name))});
    for (const DiskRecord& disk : session.disks) {
        line(2, {"scsi", Visible(disk.address[0]), " Channel ", Visible(disk.address[1]), " Id ",
                 Visible(disk.address[2]), " Lun: ", Visible(disk.address[3]), "\tState: ",
                 disk.state ? Visible(*disk.state) : "<unknown>"});
        if (!disk.blockDevice)
            continue;
        line(3, {"Attached scsi disk ", Visible(*disk.blockDevice), "\tSize: ", HumanSize(SizeBytes(disk.block))});
        line(3, {"WWID: ", Shown(disk.attributes, "wwid")});
        if (const std::string byPath = ByPathName(session, disk); !byPath.empty())
            line(3, {"By-path: ", Visible(byPath)});
        for (const DiskRecord::Holder& holder : disk.holders)
            line(3, {holder.Multipath() ? "Multipath device: " : "Held by: ",
                     holder.name ? Visible(*holder.name) : std::string("<unknown>"), " (",
                     Visible(holder.device), ")"});
    }
}

int SessionsOutput::Finish(const Walk& walk)
{
    if (!m_any && !walk.MountFailed() && !m_out.Failed())
        m_out.Line({NoSessionText(m_selection)});
    return EndReport(m_out, walk);
}

}  // namespace inventory

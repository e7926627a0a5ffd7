// SPDX-License-Identifier: MIT
#include "forms/sessions_output.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "walk/fields.h"
#include "text/people_text.h"
#include "text/terminal_text.h"

namespace inventory {

namespace {

// A field as the view shows it.
template <typename Attributes>
std::string Show(const Attributes& attributes, const Field& f)
{
    return ForPeople(f, Raw(attributes, f));
}

}  // namespace

void SessionsOutput::Session(const SessionRecord& session)
{
    m_any = true;
    const AttributeMap& s = session.attributes;
    const KeptAttributes none;
    const KeptAttributes& c = session.connections.empty() ? none : session.connections.front().attributes;
    const KeptAttributes& h = session.host != nullptr ? session.host->attributes : none;
    const std::string tpgt = Show(s, field::kTpgt);
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

    line(0, {"Target: ", Show(s, field::kTarget), " (", Visible(session.name), ")"});
    line(1, {"Current Portal: ", Show(c, field::kAddress), ":", Show(c, field::kPort), ",", tpgt});
    line(1, {"Persistent Portal: ", Show(c, field::kPersistentAddress), ":",
             Show(c, field::kPersistentPort), ",", tpgt});
    heading("Interface:");
    line(2, {"Iface Name: ", Show(s, field::kIface)});
    line(2, {"Iface Transport: ",
             session.host != nullptr && !session.host->procName.empty()
                 ? Visible(TransportOf(session.host->procName))
                 : std::string("<unknown>")});
    line(2, {"Iface Initiatorname: ", Show(s, field::kInitiator)});
    line(2, {"Iface IPaddress: ", Show(h, field::kHostIp)});
    line(2, {"Iface HWaddress: ", Show(h, field::kHostHw)});
    line(2, {"Iface Netdev: ", Show(h, field::kHostNetdev)});
    if (session.host != nullptr && !session.host->pciAddress.empty())
        line(2, {"Iface PCI: ", Visible(session.host->pciAddress), " (",
                 session.host->pciDriver.empty() ? std::string("no driver")
                                                 : Visible(session.host->pciDriver),
                 ")"});
    line(2, {"SID: ", Visible(NumberIn(session.name))});
    line(2, {"iSCSI Connection State: ", Show(c, field::kConnectionState)});
    line(2, {"iSCSI Session State: ", Show(s, field::kSessionState)});
    if (Raw(s, field::kTargetState))
        line(2, {"Target State: ", Show(s, field::kTargetState)});
    heading("Timeouts:");
    line(2, {"Recovery Timeout: ", Show(s, field::kRecoveryTimeout)});
    line(2, {"Target Reset Timeout: ", Show(s, field::kTgtResetTimeout)});
    line(2, {"LUN Reset Timeout: ", Show(s, field::kLuResetTimeout)});
    line(2, {"Abort Timeout: ", Show(s, field::kAbortTimeout)});
    heading("CHAP:");
    for (const Field& f : {field::kUsername, field::kPassword, field::kUsernameIn, field::kPasswordIn})
        line(2, {f.attribute, ": ", Show(s, f)});
    heading("Negotiated iSCSI params:");
    line(2, {"HeaderDigest: ", Show(c, field::kHeaderDigest)});
    line(2, {"DataDigest: ", Show(c, field::kDataDigest)});
    line(2, {"MaxRecvDataSegmentLength: ", Show(c, field::kMaxRecv)});
    line(2, {"MaxXmitDataSegmentLength: ", Show(c, field::kMaxXmit)});
    line(2, {"FirstBurstLength: ", Show(s, field::kFirstBurst)});
    line(2, {"MaxBurstLength: ", Show(s, field::kMaxBurst)});
    line(2, {"ImmediateData: ", Show(s, field::kImmediateData)});
    line(2, {"InitialR2T: ", Show(s, field::kInitialR2t)});
    line(2, {"MaxOutstandingR2T: ", Show(s, field::kMaxR2t)});
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
        line(3, {"WWID: ", Show(disk.attributes, field::kWwid)});
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
    if (!m_any)
        return EndWithoutSession(m_out, walk, m_selection);
    return EndReport(m_out, walk);
}

}  // namespace inventory

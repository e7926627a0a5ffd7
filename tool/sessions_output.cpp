// SPDX-License-Identifier: MIT
#include "sessions_output.h"

#include <cstdio>
#include <string>
#include <string_view>

#include "terminal_text.h"

namespace inventory {

namespace {

// Every byte from sysfs is shown by Visible(): a target names itself, and its
// name must not drive the reader's terminal or forge a line of this form.
template <typename Attributes>
std::string ValueOf(const Attributes& attributes, const std::string& key,
                    const std::string& missing = "<unknown>")
{
    auto found = attributes.find(key);
    if (found == attributes.end())
        return missing;
    return found->second.empty() || found->second == "(null)" ? "<empty>" : Visible(found->second);
}

// The kernel gives digests as 0 or 1 (older ones as a name).
template <typename Attributes>
std::string Digest(const Attributes& attributes, const std::string& key)
{
    std::string value = ValueOf(attributes, key);
    return value == "0" ? "None" : value == "1" ? "CRC32C" : value;
}

template <typename Attributes>
std::string YesNo(const Attributes& attributes, const std::string& key)
{
    std::string value = ValueOf(attributes, key);
    return value == "1" ? "Yes" : value == "0" ? "No" : value;
}

// The number a kernel object's name ends in: "2" for session2 and host2.
std::string_view NumberIn(std::string_view name)
{
    std::size_t digits = name.find_last_not_of("0123456789");
    return digits == std::string_view::npos ? name : name.substr(digits + 1);
}

// Bytes as people read sizes: 1073741824 is "1.00 GiB".
std::string Size(const AttributeMap& block)
{
    auto sectors = block.find("size");
    if (sectors == block.end() || sectors->second.empty() ||
        sectors->second.find_first_not_of("0123456789") != std::string::npos ||
        sectors->second.size() > 15)
        return "<unknown>";
    double bytes = std::stod(sectors->second) * 512;
    static const char* const kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    int unit = 0;
    while (bytes >= 1024 && unit < 6) {
        bytes /= 1024;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.2f %s", bytes, kUnits[unit]);
    return text;
}

}  // namespace

void SessionsOutput::Session(const SessionRecord& session)
{
    m_any = true;
    const AttributeMap& s = session.attributes;
    const KeptAttributes none;
    const KeptAttributes& c = session.connections.empty() ? none : session.connections.front().attributes;
    const KeptAttributes& h = session.host != nullptr ? session.host->attributes : none;
    const std::string tpgt = ValueOf(s, "tpgt");
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

    line(0, {"Target: ", ValueOf(s, "targetname"), " (", Visible(session.name), ")"});
    line(1, {"Current Portal: ", ValueOf(c, "address"), ":", ValueOf(c, "port"), ",", tpgt});
    line(1, {"Persistent Portal: ", ValueOf(c, "persistent_address"), ":",
             ValueOf(c, "persistent_port"), ",", tpgt});
    heading("Interface:");
    line(2, {"Iface Name: ", ValueOf(s, "ifacename")});
    line(2, {"Iface Transport: ",
             session.host != nullptr && !session.host->procName.empty()
                 ? Visible(TransportOf(session.host->procName))
                 : std::string("<unknown>")});
    line(2, {"Iface Initiatorname: ", ValueOf(s, "initiatorname")});
    line(2, {"Iface IPaddress: ", ValueOf(h, "ipaddress")});
    line(2, {"Iface HWaddress: ", ValueOf(h, "hwaddress")});
    line(2, {"Iface Netdev: ", ValueOf(h, "netdev")});
    if (session.host != nullptr && !session.host->pciAddress.empty())
        line(2, {"Iface PCI: ", Visible(session.host->pciAddress), " (",
                 session.host->pciDriver.empty() ? std::string("no driver")
                                                 : Visible(session.host->pciDriver),
                 ")"});
    line(2, {"SID: ", Visible(NumberIn(session.name))});
    line(2, {"iSCSI Connection State: ", ValueOf(c, "state")});
    line(2, {"iSCSI Session State: ", ValueOf(s, "state")});
    if (s.count("target_state"))
        line(2, {"Target State: ", ValueOf(s, "target_state")});
    heading("Timeouts:");
    line(2, {"Recovery Timeout: ", ValueOf(s, "recovery_tmo")});
    line(2, {"Target Reset Timeout: ", ValueOf(s, "tgt_reset_tmo")});
    line(2, {"LUN Reset Timeout: ", ValueOf(s, "lu_reset_tmo")});
    line(2, {"Abort Timeout: ", ValueOf(s, "abort_tmo")});
    heading("CHAP:");
    for (const char* key : {"username", "password", "username_in", "password_in"})
        line(2, {key, ": ", ValueOf(s, key)});
    heading("Negotiated iSCSI params:");
    line(2, {"HeaderDigest: ", Digest(c, "header_digest")});
    line(2, {"DataDigest: ", Digest(c, "data_digest")});
    line(2, {"MaxRecvDataSegmentLength: ", ValueOf(c, "max_recv_dlength")});
    line(2, {"MaxXmitDataSegmentLength: ", ValueOf(c, "max_xmit_dlength")});
    line(2, {"FirstBurstLength: ", ValueOf(s, "first_burst_len")});
    line(2, {"MaxBurstLength: ", ValueOf(s, "max_burst_len")});
    line(2, {"ImmediateData: ", YesNo(s, "immediate_data")});
    line(2, {"InitialR2T: ", YesNo(s, "initial_r2t")});
    line(2, {"MaxOutstandingR2T: ", ValueOf(s, "max_outstanding_r2t")});
    heading("Attached SCSI devices:");
    if (session.host != nullptr)
        line(2, {"Host Number: ", Visible(NumberIn(session.host->name))});
    for (const DiskRecord& disk : session.disks) {
        line(2, {"scsi", Visible(disk.address[0]), " Channel ", Visible(disk.address[1]), " Id ",
                 Visible(disk.address[2]), " Lun: ", Visible(disk.address[3]), "\tState: ",
                 disk.state ? Visible(*disk.state) : "<unknown>"});
        if (!disk.blockDevice)
            continue;
        line(3, {"Attached scsi disk ", Visible(*disk.blockDevice), "\tSize: ", Size(disk.block)});
        line(3, {"WWID: ", ValueOf(disk.attributes, "wwid")});
        if (const std::string byPath = ByPathName(session, disk); !byPath.empty())
            line(3, {"By-path: ", Visible(byPath)});
        for (const DiskRecord::Holder& holder : disk.holders)
            line(3, {holder.Multipath() ? "Multipath device: " : "Held by: ",
                     holder.name ? Visible(*holder.name) : std::string("<unknown>"), " (",
                     Visible(holder.device), ")"});
    }
}

void SessionsOutput::Finish()
{
    if (!m_any)
        m_out.Line({"No iSCSI session (is iscsi_tcp, or the HBA's driver, loaded?)"});
}

}  // namespace inventory

// SPDX-License-Identifier: MIT
// The iser phase: an iSER session on a SCSI host of its own, with its disks,
// beside tcp sessions.  Besides the logged-in checks, iscsiadm must name
// each session's transport as the dump does (through its SCSI host's
// proc_name), and --json, --sessions and --prometheus must show every
// session, disk and transport as the dump shows them.
#include <regex>

#include "outputs.h"
#include "phases.h"

namespace vmcheck {

namespace {

// The iSER session's host and disks as the dump shows them.  Returns its
// iscsi_host, if the dump shows one.
const Object* CheckIserSession(const Dump& before, const Object& session, IserFigures& figures)
{
    if (TransportOf(before, session) != "iser")
        Fail("iser", figures.session + " runs over \"" + TransportOf(before, session) + "\", not iser");
    figures.host = HostOf(session.path);
    const Object* host = Find(before, "iscsi_host", figures.host);
    if (host == nullptr)
        Fail("iser", "the dump shows no iscsi_host " + figures.host + " for " + figures.session);
    for (const std::string& disk : DisksOf(before, session)) {
        auto driver = before.busDevices.find(disk);
        figures.disks += driver != before.busDevices.end() && BaseName(driver->second) == "sd" &&
                         !BlockOf(before, disk).empty();
    }
    if (figures.disks < 2)
        Fail("iser", figures.session + " has " + std::to_string(figures.disks) +
                         " disks bound to sd with a block device, not 2");
    return host;
}

// The tcp sessions beside it.  Returns the first.
const Object* CountTcpSessions(const Dump& before, IserFigures& figures)
{
    const Object* tcpSession = nullptr;
    for (const auto& [key, object] : before.objects)
        if (key.first == "iscsi_session" && TransportOf(before, object) == "tcp") {
            ++figures.tcpSessions;
            tcpSession = tcpSession ? tcpSession : &object;
        }
    if (figures.tcpSessions < 2)
        Fail("iser", "only " + std::to_string(figures.tcpSessions) + " tcp sessions beside the iSER one");
    return tcpSession;
}

// iscsiadm -P 3 names the transport before the SID.
void CheckIscsiadmTransports(const std::string& text, const Dump& before)
{
    std::string line;
    std::map<std::string, std::string> transports;
    std::istringstream blocks(text);
    std::string pending;
    while (std::getline(blocks, line)) {
        std::smatch m;
        if (std::regex_search(line, m, std::regex("Iface Transport: (\\S+)")))
            pending = m[1];
        else if (std::regex_search(line, m, std::regex("SID: (\\d+)")))
            transports["session" + m[1].str()] = pending;
    }
    for (const auto& [key, object] : before.objects)
        if (key.first == "iscsi_session" && transports[key.second] != TransportOf(before, object))
            Fail("iser", "iscsiadm names the transport of " + key.second + " \"" + transports[key.second] +
                             "\", the dump \"" + TransportOf(before, object) + "\"");
}

// The other outputs, against the same dumps.
void CheckIserOutputs(Sections& sections, const Dump& before, const Dump& after)
{
    nlohmann::json document = nlohmann::json::parse(sections["iser json"], nullptr, false);
    if (document.is_discarded() || !document.is_object()) {
        Fail("iser --json", "no JSON document");
    } else {
        CheckInventory("iser --json", Expected(before, after, true), JsonInventory(document, "iser --json"));
        CheckJsonDisks("iser --json", document, before);
        CheckJsonSessions("iser --json", document, before);
    }
    CheckSessionsOutput("iser --sessions", sections["iser sessions"], before);
    CheckPrometheus("iser --prometheus", sections["iser prometheus"], before);
}

// Names that one object shows and the other does not.
std::string Difference(const std::string& what, const Files& iser, const Files& tcp)
{
    std::string only;
    for (const auto& [name, file] : iser)
        if (!tcp.count(name))
            only += " +" + name;
    for (const auto& [name, file] : tcp)
        if (!iser.count(name))
            only += " -" + name;
    return only.empty() ? "" : " " + what + ":" + only + ";";
}

// What the two transports' objects show differently, for the summary.
std::string Differences(const Dump& before, const Object& session, const Object& host, const Object& tcpSession,
                        const std::string& sessionName)
{
    std::string differences;
    const Object* tcpHost = Find(before, "iscsi_host", HostOf(tcpSession.path));
    if (tcpHost)
        differences += Difference("iscsi_host", host.files, tcpHost->files);
    differences += Difference("iscsi_session", session.files, tcpSession.files);
    std::string number = sessionName.substr(7);
    const Object* connection = Find(before, "iscsi_connection", "connection" + number + ":0");
    const Object* tcpConnection =
        Find(before, "iscsi_connection", "connection" + tcpSession.name.substr(7) + ":0");
    if (connection && tcpConnection)
        differences += Difference("iscsi_connection", connection->files, tcpConnection->files);
    return differences;
}

}  // namespace

void CheckIser(Sections& sections, const std::vector<std::string>& marks, IserFigures& figures)
{
    if (!sections.count("iser inventory")) {
        Fail("iser", "no results");
        return;
    }
    for (const std::string& mark : marks)
        if (mark.rfind("ISERSESSION ", 0) == 0)
            figures.session = mark.substr(12);
    // The text inventory with everything as in the other phases, the tcp
    // sessions beside it included.
    CheckLoggedIn("iser", sections);
    Dump before = ParseDump(sections["iser dump-before"]);
    Dump after = ParseDump(sections["iser dump-after"]);

    // The scenario: both transports, the iSER session on a host of its own,
    // with its disks, beside tcp sessions; open-iscsi agrees on the transport.
    if (!Find(before, "iscsi_transport", "iser") || !Find(before, "iscsi_transport", "tcp"))
        Fail("iser", "the dump does not show both transports, tcp and iser");
    const Object* session = figures.session.empty() ? nullptr : Find(before, "iscsi_session", figures.session);
    if (session == nullptr) {
        Fail("iser", "the dump shows no iSER session (\"" + figures.session + "\")");
        return;
    }
    const Object* host = CheckIserSession(before, *session, figures);
    const Object* tcpSession = CountTcpSessions(before, figures);
    CheckIscsiadmTransports(sections["iser iscsiadm"], before);
    CheckIserOutputs(sections, before, after);
    if (host && tcpSession)
        figures.differences += Differences(before, *session, *host, *tcpSession, figures.session);
}

}  // namespace vmcheck

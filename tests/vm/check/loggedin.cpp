// SPDX-License-Identifier: MIT
// The logged-in checks, made for every phase but churn: between the dump
// taken before and the one taken after the programs ran, the inventory must
// list exactly what sysfs held, sysfs-buses must split every SCSI device name
// as the kernel names it, and iscsiadm must agree on targets, portals and
// session states.
#include <regex>

#include "outputs.h"
#include "phases.h"

namespace vmcheck {

namespace {

// What the scenario must have shown for the check to mean anything.
void CheckScenario(const std::string& phase, const Dump& before, const std::vector<Printed>& printed)
{
    int hosts = 0, sessions = 0, connections = 0, transports = 0;
    for (const auto& [key, object] : before.objects) {
        hosts += key.first == "iscsi_host";
        sessions += key.first == "iscsi_session";
        transports += key.first == "iscsi_transport" && key.second == "tcp";
        if (key.first == "iscsi_connection") {
            ++connections;
            if (!std::regex_match(key.second, std::regex("connection[0-9]+:0")))
                Fail(phase, "unexpected connection name " + key.second);
        }
        if (key.first == "iscsi_host" && Values(printed, "NAME DEVICE CLASS:: " + key.second)["bus"] != "scsi")
            Fail(phase, "host " + key.second + " not on bus scsi");
    }
    if (hosts < 2 || sessions < 2 || connections < 2 || transports != 1)
        Fail(phase, "sysfs shows fewer objects than two logged-in sessions make");
}

// The trace: one finished attribute query per printed entry.
void CheckTrace(const std::string& phase, const std::string& log, std::size_t entries)
{
    std::size_t finished = 0;
    for (std::size_t at = 0; (at = log.find("\tLeaving SysfsReader::GetClsDeviceAttr\n", at)) !=
                             std::string::npos;
         ++at)
        ++finished;
    if (log.rfind("\nTime: ", 0) != 0 || finished != entries)
        Fail(phase, "SysReader.log does not hold the trace of every entry (" + std::to_string(finished) +
                        " of " + std::to_string(entries) + ")");
}

// iscsiadm: targets, persistent portals and states per session id.  A
// target's sessions follow its "Target:" line, each with its portal and SID
// (two for the multipath LUN's target).
void CheckIscsiadm(const std::string& phase, const std::string& text, const std::vector<Printed>& printed)
{
    std::istringstream adm(text);
    std::string targetName, target, portal, line;
    int compared = 0;
    while (std::getline(adm, line)) {
        std::smatch m;
        if (std::regex_search(line, m, std::regex("^Target: (\\S+)")))
            target = targetName = m[1];
        else if (std::regex_search(line, m, std::regex("Persistent Portal: (\\S+):(\\d+),(\\d+)")))
            portal = m[1].str() + " " + m[2].str() + " " + m[3].str();
        else if (std::regex_search(line, m, std::regex("SID: (\\d+)")))
            target = targetName + " " + m[1].str();
        else if (std::regex_search(line, m, std::regex("iSCSI Session State: (\\S+)"))) {
            std::string sid = target.substr(target.rfind(' ') + 1);
            auto session = Values(printed, "NAME SESSION CLASS :: session" + sid);
            auto connection = Values(printed, "NAME CONNECTION CLASS :: connection" + sid + ":0");
            std::string want = target.substr(0, target.rfind(' ')) + " " + portal + " " + m[1].str();
            std::string got = session["targetname"] + " " + connection["persistent_address"] + " " +
                              connection["persistent_port"] + " " + session["tpgt"] + " " + session["state"];
            if (want != got)
                Fail(phase, "iscsiadm says \"" + want + "\", the inventory \"" + got + "\"");
            ++compared;
        }
    }
    if (compared < 2)
        Fail(phase, "iscsiadm listed fewer than two sessions");
}

}  // namespace

void CheckLoggedIn(const std::string& phase, Sections& sections)
{
    Dump before = ParseDump(sections[phase + " dump-before"]);
    Dump after = ParseDump(sections[phase + " dump-after"]);
    std::vector<Printed> printed = ParseInventory(sections[phase + " inventory"], phase);
    CheckInventory(phase, Expected(before, after, true), printed);
    CheckScenario(phase, before, printed);
    CheckTrace(phase, sections[phase + " log"], printed.size());
    CheckBusNames(phase, before, sections[phase + " buses"]);
    CheckIscsiadm(phase, sections[phase + " iscsiadm"], printed);
}

}  // namespace vmcheck

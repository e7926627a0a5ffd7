// SPDX-License-Identifier: MIT
// The SAN phase: the logged-in checks with 256 LUNs on four sessions, the
// dumps and the programs timed, and --sessions, --luns and --check timed
// against iscsiadm.
#include <regex>

#include "outputs.h"
#include "phases.h"

namespace vmcheck {

namespace {

// The times of the dumps and the programs, "NAME CENTISECONDS" a line.
void ReadTimes(const std::string& text, SanFigures& figures)
{
    std::istringstream times(text);
    for (std::string name, hundredths; times >> name >> hundredths;)
        if (Number(hundredths))
            figures.seconds[name] = *Number(hundredths) / 100.0;
    for (const char* name : {"dump-before", "dump-after", "iscsi-inventory", "sysfs-buses"})
        if (!figures.seconds.count(name))
            Fail("san", std::string("no time for ") + name);
}

}  // namespace

void CheckSan(Sections& sections, SanFigures& figures)
{
    if (!sections.count("san inventory")) {
        Fail("san", "no results");
        return;
    }
    CheckLoggedIn("san", sections);
    Dump dump = ParseDump(sections["san dump-before"]);
    static const std::regex cbtl("[0-9]+:[0-9]+:[0-9]+:[0-9]+");
    for (const auto& [name, driver] : dump.busDevices)
        figures.disks += std::regex_match(name, cbtl) && BaseName(driver) == "sd";
    for (const auto& [key, object] : dump.objects)
        figures.sessions += key.first == "iscsi_session";
    if (figures.disks < 256)
        Fail("san", "only " + std::to_string(figures.disks) + " SCSI disks bound to sd (256 needed)");
    if (figures.sessions < 4)
        Fail("san", "only " + std::to_string(figures.sessions) + " sessions (4 needed)");
    ReadTimes(sections["san times"], figures);
    // No multipath map here: iscsiadm is the one peer.
    figures.peers =
        CheckPeers("san peers", sections["san peers"], {kSessionsPeer, kLunsIscsiadmPeer, kCheckPeer});
}

}  // namespace vmcheck

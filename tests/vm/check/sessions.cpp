// SPDX-License-Identifier: MIT
// --sessions against the dump: a block per session, each naming its
// transport, host and disks (address, state, block device) as the dump
// shows them.
#include <regex>

#include "outputs.h"

namespace vmcheck {

namespace {

// What each session's block says, as "transport tcp; host host2; disk
// 2:0:0:0 running; block 2:0:0:0 sda; ".
std::map<std::string, std::string> SessionBlocks(const std::string& phase, const std::string& text)
{
    static const std::regex target("Target: .* \\((\\S+)\\)");
    static const std::regex transport("\t\tIface Transport: (.*)");
    static const std::regex host("\t\tHost Number: (.*)");
    static const std::regex disk("\t\tscsi(\\S+) Channel (\\S+) Id (\\S+) Lun: (\\S+)\tState: (.*)");
    static const std::regex block("\t\t\tAttached scsi disk (\\S+)\tSize: .*");
    std::map<std::string, std::string> shown;  // session -> what its block says
    std::string current, lastDisk;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        std::smatch m;
        if (std::regex_match(line, m, target)) {
            current = m[1];
            if (shown.count(current))
                Fail(phase, "--sessions shows " + current + " twice");
            shown[current];
        } else if (current.empty()) {
            continue;
        } else if (std::regex_match(line, m, transport)) {
            shown[current] += "transport " + m[1].str() + "; ";
        } else if (std::regex_match(line, m, host)) {
            shown[current] += "host host" + m[1].str() + "; ";
        } else if (std::regex_match(line, m, disk)) {
            lastDisk = m[1].str() + ":" + m[2].str() + ":" + m[3].str() + ":" + m[4].str();
            shown[current] += "disk " + lastDisk + " " + m[5].str() + "; ";
        } else if (std::regex_match(line, m, block)) {
            shown[current] += "block " + lastDisk + " " + m[1].str() + "; ";
        }
    }
    return shown;
}

// The same for a session of the dump.
std::string SessionBlock(const Dump& dump, const Object& session)
{
    std::string want = "transport " + TransportOf(dump, session) + "; host " + HostOf(session.path) + "; ";
    for (const std::string& name : DisksOf(dump, session)) {
        auto state = dump.busStates.find(name);
        want += "disk " + name + " " + (state == dump.busStates.end() ? "<unknown>" : state->second) + "; ";
        if (!BlockOf(dump, name).empty())
            want += "block " + name + " " + BlockOf(dump, name) + "; ";
    }
    return want;
}

}  // namespace

void CheckSessionsOutput(const std::string& phase, const std::string& text, const Dump& dump)
{
    std::map<std::string, std::string> shown = SessionBlocks(phase, text);
    std::size_t sessions = 0;
    for (const auto& [key, object] : dump.objects) {
        if (key.first != "iscsi_session")
            continue;
        ++sessions;
        std::string want = SessionBlock(dump, object);
        if (!shown.count(key.second))
            Fail(phase, "--sessions does not show " + key.second);
        else if (shown[key.second] != want)
            Fail(phase, "--sessions shows " + key.second + " as \"" + shown[key.second] + "\", the dump as \"" +
                            want + "\"");
    }
    if (shown.size() != sessions)
        Fail(phase, "--sessions shows " + std::to_string(shown.size()) + " sessions, the dump " +
                        std::to_string(sessions));
}

}  // namespace vmcheck

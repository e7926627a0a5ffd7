// SPDX-License-Identifier: MIT
// --prometheus against the dump: each session's transport, host and state,
// its number of disks and each disk with its block device.
#include <cstdlib>
#include <regex>

#include "outputs.h"

namespace vmcheck {

std::map<std::string, std::string> Labels(const std::string& line)
{
    static const std::regex label("(\\w+)=\"((?:[^\"\\\\]|\\\\.)*)\"");
    std::map<std::string, std::string> labels;
    std::size_t open = line.find('{'), close = line.rfind('}');
    if (open == std::string::npos || close == std::string::npos || close < open)
        return labels;
    std::string inside = line.substr(open + 1, close - open - 1);
    for (std::sregex_iterator it(inside.begin(), inside.end(), label), end; it != end; ++it)
        labels[(*it)[1]] = (*it)[2];
    return labels;
}

bool SameNumber(const std::string& value, std::uint64_t want)
{
    char* end = nullptr;
    double number = std::strtod(value.c_str(), &end);
    return !value.empty() && end != nullptr && *end == '\0' && number == static_cast<double>(want);
}

std::map<std::string, std::map<std::string, std::string>> SessionStates(const std::string& text)
{
    static const std::regex sample("iscsi_session_state\\{session=\"([^\"]*)\",state=\"([^\"]*)\"\\} (\\S+)");
    std::map<std::string, std::map<std::string, std::string>> states;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        std::smatch m;
        if (std::regex_match(line, m, sample))
            states[m[1]][m[2]] = m[3];
    }
    return states;
}

// Every session of the dump with its state 1 and the other known states 0,
// and no series for a session the dump does not show.
void CheckStates(const std::string& phase, const std::string& what, const std::string& text, const Dump& dump)
{
    auto states = SessionStates(text);
    for (const auto& [key, object] : dump.objects) {
        if (key.first != "iscsi_session")
            continue;
        std::string state = DumpValue(&object, "state");
        auto& shown = states[key.second];
        for (const char* known : {"LOGGED_IN", "FAILED", "FREE"}) {
            std::string want = state == known ? "1" : "0";
            if (shown[known] != want)
                Fail(phase, what + ": iscsi_session_state{session=\"" + key.second + "\",state=\"" +
                                known + "\"} is \"" + shown[known] + "\", the dump shows " + state);
        }
    }
    for (const auto& [session, _] : states)
        if (Find(dump, "iscsi_session", session) == nullptr)
            Fail(phase, what + " shows the state of " + session + ", which the dump does not show");
}

namespace {

// The session and disk series of an exposition, as "session S
// transport=T host=H V", "disks S N" and "disk S HCTL device=D V".
std::set<std::string> SessionSeries(const std::string& text)
{
    std::set<std::string> got;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        std::string family = line.substr(0, line.find('{'));
        std::string value = line.substr(line.rfind(' ') + 1);
        auto labels = Labels(line);
        if (family == "iscsi_session_info")
            got.insert("session " + labels["session"] + " transport=" + labels["transport"] +
                       " host=" + labels["host"] + " " + value);
        else if (family == "iscsi_session_disks")
            got.insert("disks " + labels["session"] + " " + value);
        else if (family == "iscsi_disk_info")
            got.insert("disk " + labels["session"] + " " + labels["hctl"] + " device=" + labels["device"] +
                       " " + value);
    }
    return got;
}

}  // namespace

void CheckPrometheus(const std::string& phase, const std::string& text, const Dump& dump)
{
    std::set<std::string> got = SessionSeries(text), want;
    for (const auto& [key, object] : dump.objects) {
        if (key.first != "iscsi_session")
            continue;
        want.insert("session " + key.second + " transport=" + TransportOf(dump, object) +
                    " host=" + HostOf(object.path) + " 1");
        std::vector<std::string> disks = DisksOf(dump, object);
        want.insert("disks " + key.second + " " + std::to_string(disks.size()));
        for (const std::string& disk : disks)
            want.insert("disk " + key.second + " " + disk + " device=" + BlockOf(dump, disk) + " 1");
    }
    for (const std::string& sample : want)
        if (!got.count(sample))
            Fail(phase, "--prometheus lacks \"" + sample + "\"");
    for (const std::string& sample : got)
        if (!want.count(sample))
            Fail(phase, "--prometheus shows \"" + sample + "\", which the dump does not");
}

}  // namespace vmcheck

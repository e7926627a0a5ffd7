// SPDX-License-Identifier: MIT
// Where the dump's objects sit: a session's SCSI host, transport and logical
// units, read from the paths and the SCSI bus the dump shows, and when two
// dumps show the same object.
#include <algorithm>
#include <regex>

#include "check.h"

namespace vmcheck {

namespace {

// The sessions beneath the SCSI host a path runs through ("" when it runs
// through none).  Host numbers are handed out again once free, so a host, and
// everything below it, is the same object in two dumps only when the same
// session sits beneath it in both.
std::string Incarnation(const Dump& dump, const std::string& path)
{
    static const std::regex host("(.*?/host[0-9]+)(/.*)?");
    std::smatch m;
    if (!std::regex_match(path, m, host))
        return "";
    std::string sessions;
    for (const auto& [key, object] : dump.objects)
        if (key.first == "iscsi_session" && object.path.rfind(m[1].str() + "/", 0) == 0)
            sessions += key.second + " ";
    return sessions.empty() ? "none" : sessions;
}

}  // namespace

bool SamePath(const Dump& before, const std::string& pathBefore, const Dump& after,
              const std::string& pathAfter)
{
    if (pathBefore.empty() || pathBefore != pathAfter)
        return false;
    std::string incarnation = Incarnation(before, pathBefore);
    return incarnation != "none" && incarnation == Incarnation(after, pathAfter);
}

std::string HostOf(const std::string& path)
{
    static const std::regex host(".*/(host[0-9]+)/session[0-9]+(/.*)?");
    std::smatch m;
    return std::regex_match(path, m, host) ? m[1].str() : "";
}

// Its SCSI host's proc_name names the driver ("iscsi_tcp", "iscsi_iser"),
// which for the software transports is "iscsi_" and the transport's name.
// "" when the dump does not show it.
std::string TransportOf(const Dump& dump, const Object& session)
{
    const Object* host = Find(dump, "scsi_host", HostOf(session.path));
    if (host == nullptr || !host->files.count("proc_name"))
        return "";
    std::string name = Shown(host->files.at("proc_name")).value_or("");
    return name.rfind("iscsi_", 0) == 0 ? name.substr(6) : name;
}

// As the dump's SCSI bus shows them.
std::vector<std::string> DisksOf(const Dump& dump, const Object& session)
{
    static const std::regex cbtl("[0-9]+:[0-9]+:[0-9]+:[0-9]+");
    std::string below = (session.hasDevice ? session.devicePath : "") + "/";
    std::vector<std::string> disks;
    for (const auto& [name, path] : dump.busPaths)
        if (std::regex_match(name, cbtl) && below != "/" && path.rfind(below, 0) == 0)
            disks.push_back(name);
    std::sort(disks.begin(), disks.end(), ScsiListedBefore);
    return disks;
}

std::string BlockOf(const Dump& dump, const std::string& disk)
{
    auto found = dump.busBlocks.find(disk);
    return found == dump.busBlocks.end() || found->second.size() != 1 ? "" : *found->second.begin();
}

// Names of four numbers ("host:channel:target:lun") by those numbers,
// numerically equal ones byte-wise; then every other name (hosts, targets),
// byte-wise.
bool ScsiListedBefore(const std::string& a, const std::string& b)
{
    static const std::regex cbtl("([0-9]+):([0-9]+):([0-9]+):([0-9]+)");
    std::smatch ma, mb;
    const bool numericA = std::regex_match(a, ma, cbtl), numericB = std::regex_match(b, mb, cbtl);
    if (numericA != numericB)
        return numericA;
    // Numbers of any length: without leading zeros, the shorter is the smaller.
    auto digits = [](const std::string& number) {
        std::size_t first = number.find_first_not_of('0');
        return first == std::string::npos ? std::string() : number.substr(first);
    };
    if (numericA)
        for (int i = 1; i <= 4; ++i) {
            std::string x = digits(ma[i].str()), y = digits(mb[i].str());
            if (x.size() != y.size())
                return x.size() < y.size();
            if (x != y)
                return x < y;
        }
    return a < b;
}

}  // namespace vmcheck

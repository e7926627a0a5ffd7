// SPDX-License-Identifier: MIT
// --luns against the dumps: a block per logical unit the dumps show, each
// exactly as the rules make it, in their order; with the map's own view
// where dmsetup was asked beside the run.  A failure names the LUN and
// its first wrong line.
#include <algorithm>
#include <cstdio>
#include <iterator>

#include "outputs.h"

namespace vmcheck {

std::size_t LunFacts::Running() const
{
    return std::count_if(paths.begin(), paths.end(), [](const PathFacts& p) { return p.Running(); });
}

std::string LunFacts::Heading() const
{
    return "LUN: " + (wwid.empty() ? paths.front().hctl + " (no WWID)" : wwid);
}

namespace {

// Inquiry strings come padded with spaces to their field's width.
std::optional<std::string> Unpadded(const std::optional<std::string>& text)
{
    if (!text)
        return std::nullopt;
    std::size_t end = text->find_last_not_of(' ');
    return end == std::string::npos ? std::string() : text->substr(0, end + 1);
}

// A path's session side: the session's number, state, target and iface,
// and the portal its connection logged in to.
PathFacts SessionSide(const Dump& dump, const std::string& name, const Object& session)
{
    PathFacts path;
    std::string sid = name.rfind("session", 0) == 0 ? name.substr(7) : "";
    const Object* connection = Find(dump, "iscsi_connection", "connection" + sid + ":0");
    std::optional<std::string> address = FileValue(connection, "persistent_address");
    std::optional<std::string> port = FileValue(connection, "persistent_port");
    path.session = name;
    path.sid = Number(sid).value_or(UINT32_MAX);
    path.sessionState = FileValue(&session, "state");
    path.target = FileValue(&session, "targetname");
    path.iface = FileValue(&session, "ifacename");
    if (address && port && !address->empty() && !port->empty())
        path.portal = (address->find(':') == std::string::npos ? *address : "[" + *address + "]") + ":" + *port;
    return path;
}

// A path's disk side: the SCSI device's state and block device from the
// full dump, and what the disk dump read of the unit.
void AddDiskSide(PathFacts& path, const Dump& dump, const std::map<std::string, DiskDump>& disks)
{
    auto state = dump.busStates.find(path.hctl);
    if (state != dump.busStates.end())
        path.state = state->second;
    path.block = BlockOf(dump, path.hctl);
    auto disk = disks.find(path.hctl);
    if (disk == disks.end())
        return;
    const DiskDump& facts = disk->second;
    path.wwid = facts.wwid;
    if (!facts.block.empty())
        path.block = facts.block;
    path.dev = facts.dev;
    path.vendor = Unpadded(facts.vendor);
    path.model = Unpadded(facts.model);
    path.rev = Unpadded(facts.rev);
    if (facts.sectors)
        path.bytes = *facts.sectors * 512;
    path.readOnly = facts.readOnly;
    for (const DiskDump::Holder& holder : facts.holders)
        if (!path.map && holder.uuid.rfind("mpath-", 0) == 0)
            path.map = holder;
}

// Those with a WWID by its bytes, then those without, each path where it
// came.
std::vector<LunFacts> ByWwid(const std::vector<PathFacts>& all)
{
    std::map<std::string, LunFacts> named;
    std::vector<LunFacts> luns;
    for (const PathFacts& path : all) {
        if (path.wwid.empty()) {
            luns.push_back({"", {path}, std::nullopt});
            continue;
        }
        named[path.wwid].wwid = path.wwid;
        named[path.wwid].paths.push_back(path);
    }
    std::vector<LunFacts> ordered;
    for (auto& [wwid, lun] : named)
        ordered.push_back(std::move(lun));
    ordered.insert(ordered.end(), luns.begin(), luns.end());
    return ordered;
}

}  // namespace

// Each path by its session's number and then its address.
std::vector<LunFacts> LunsOf(const Dump& dump, const std::map<std::string, DiskDump>& disks)
{
    std::vector<PathFacts> all;
    for (const auto& [key, session] : dump.objects) {
        if (key.first != "iscsi_session")
            continue;
        for (const std::string& hctl : DisksOf(dump, session)) {
            PathFacts& path = all.emplace_back(SessionSide(dump, key.second, session));
            path.hctl = hctl;
            AddDiskSide(path, dump, disks);
        }
    }
    std::stable_sort(all.begin(), all.end(), [](const PathFacts& a, const PathFacts& b) {
        return a.sid != b.sid ? a.sid < b.sid : ScsiListedBefore(a.hctl, b.hctl);
    });
    return ByWwid(all);
}

namespace {

// A size in the binary units people read: bytes as they are, anything
// larger with two decimals.
std::string IecSize(std::optional<std::uint64_t> bytes)
{
    if (!bytes)
        return "<unknown>";
    static const char* const units[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    double value = static_cast<double>(*bytes);
    int unit = 0;
    for (; value >= 1024 && unit < 6; ++unit)
        value /= 1024;
    char text[40];
    std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.2f %s", value, units[unit]);
    return text;
}

std::string People(const std::optional<std::string>& value)
{
    return !value ? "<unknown>" : value->empty() || *value == "(null)" ? "<empty>" : *value;
}

std::string YesNo(std::optional<bool> value)
{
    return !value ? "<unknown>" : *value ? "Yes" : "No";
}

// The map's name and device as a view names it ("mpatha (dm-0)").
std::string MapName(const DiskDump::Holder& map)
{
    return (map.name.empty() ? std::string("<unknown>") : map.name) + " (" + map.device + ")";
}

std::string Counted(std::uint64_t count, const char* one, const char* many)
{
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

std::string Words(const std::vector<std::string>& words)
{
    return words.empty() ? "none" : Joined(words, " ");
}

// The map as the device-mapper sees it, below its name: its features, its
// handler and each group with its state, selector and paths.
void AddMapLines(std::vector<std::string>& lines, const DmMap& map)
{
    lines.push_back("\t\tFeatures: " + Words(map.features));
    lines.push_back("\t\tHardware Handler: " + Words(map.handler));
    for (std::size_t g = 0; g < map.groups.size(); ++g) {
        const DmGroup& group = map.groups[g];
        const char* state = group.state == 'A' ? "active" : group.state == 'E' ? "enabled" : "disabled";
        lines.push_back("\t\tGroup " + std::to_string(g + 1) + ": " + state + ", " + group.selector + ", " +
                        Counted(group.paths.size(), "path", "paths"));
    }
}

// The lines of a path: its address, block device and whether it runs, then
// what it runs through, and its state in the map where that was read.
void AddPathLines(std::vector<std::string>& lines, const PathFacts& path)
{
    lines.push_back("\tPath: " + path.hctl + " " + (path.block.empty() ? "(no block device)" : path.block) +
                    (path.Running() ? ": running" : ": not running"));
    lines.push_back("\t\tSession: " + path.session + " (" + People(path.sessionState) + ")");
    lines.push_back("\t\tTarget: " + People(path.target));
    lines.push_back("\t\tPortal: " + People(path.portal));
    lines.push_back("\t\tIface: " + People(path.iface));
    lines.push_back("\t\tSCSI Device State: " + People(path.state));
    lines.push_back("\t\tRead-only: " + YesNo(path.readOnly));
    if (path.dm && !path.dm->inMap)
        lines.push_back("\t\tDM State: not in the map");
    else if (path.dm)
        lines.push_back("\t\tDM State: " + std::string(path.dm->active ? "active" : "failed") + ", group " +
                        std::to_string(path.dm->group) + ", " + Counted(path.dm->failCount, "failure", "failures"));
}

// The lines of --luns for one LUN after its heading.  What describes the
// LUN as a whole comes from its first path that shows it; it is read-only
// when any path is.
std::vector<std::string> LunLines(const LunFacts& lun)
{
    std::optional<std::uint64_t> bytes;
    std::optional<std::string> vendor, model, rev;
    std::optional<bool> readOnly;
    std::optional<DiskDump::Holder> map;
    for (const PathFacts& path : lun.paths) {
        bytes = bytes ? bytes : path.bytes;
        vendor = vendor ? vendor : path.vendor;
        model = model ? model : path.model;
        rev = rev ? rev : path.rev;
        map = map ? map : path.map;
        if (path.readOnly)
            readOnly = readOnly.value_or(false) || *path.readOnly;
    }
    std::vector<std::string> lines{"\tSize: " + IecSize(bytes), "\tVendor: " + People(vendor),
                                   "\tModel: " + People(model), "\tRev: " + People(rev),
                                   "\tRead-only: " + YesNo(readOnly),
                                   "\tMultipath: " + (map ? MapName(*map) : "none")};
    if (map && lun.dm)
        AddMapLines(lines, *lun.dm);
    for (const PathFacts& path : lun.paths)
        AddPathLines(lines, path);
    lines.push_back("\t" + std::to_string(lun.Running()) + " of " + std::to_string(lun.paths.size()) +
                    (lun.paths.size() == 1 ? " path running" : " paths running"));
    return lines;
}

std::string Tabs(const std::string& line)
{
    std::string shown;
    for (char c : line)
        shown += c == '\t' ? std::string("\\t") : std::string(1, c);
    return "\"" + shown + "\"";
}

using LunBlocks = std::vector<std::pair<std::string, std::vector<std::string>>>;

// The output's blocks: a heading "LUN: ..." and the lines after it.  Blocks
// are apart by one blank line, which stands before every heading but the
// first and nowhere else.
LunBlocks ReadLunBlocks(const std::string& phase, const std::string& what, const std::string& text)
{
    LunBlocks got;
    std::istringstream lines(text);
    bool blank = false;
    for (std::string line; std::getline(lines, line);) {
        const bool heading = line.rfind("LUN: ", 0) == 0;
        if (heading && blank != !got.empty())
            Fail(phase, what + ": \"" + line + "\" " +
                            (blank ? "comes after a blank line" : "has no blank line before it"));
        if (!heading && blank)
            Fail(phase, what + ": a blank line inside a LUN's block");
        blank = line.empty();
        if (heading)
            got.push_back({line, {}});
        else if (blank)
            continue;
        else if (got.empty())
            Fail(phase, what + ": a line outside any LUN's block: " + Tabs(line));
        else
            got.back().second.push_back(line);
    }
    if (blank)
        Fail(phase, what + " ends in a blank line");
    return got;
}

// A LUN's block against the lines the rules make; the first wrong one fails.
void CheckLunBlock(const std::string& phase, const std::string& what, const std::string& heading,
                   const std::vector<std::string>& body, const std::vector<std::string>& want)
{
    for (std::size_t i = 0; i < std::max(body.size(), want.size()); ++i) {
        if (i < body.size() && i < want.size() && body[i] == want[i])
            continue;
        Fail(phase, what + ": " + heading.substr(5) + ": " +
                        (i < body.size() ? Tabs(body[i]) : std::string("nothing")) + ", expected " +
                        (i < want.size() ? Tabs(want[i]) : std::string("nothing")));
        break;
    }
}

}  // namespace

void CheckLuns(const std::string& phase, const std::string& what, const std::string& text,
               const std::vector<LunFacts>& luns)
{
    std::vector<std::string> gotOrder, wantOrder;
    std::map<std::string, const std::vector<std::string>*> shown;
    const LunBlocks got = ReadLunBlocks(phase, what, text);
    for (const auto& [heading, body] : got) {
        if (shown.count(heading))
            Fail(phase, what + " shows \"" + heading + "\" twice");
        shown[heading] = &body;
        gotOrder.push_back(heading);
    }
    std::set<std::string> expected;
    for (const LunFacts& lun : luns) {
        const std::string heading = lun.Heading();
        expected.insert(heading);
        wantOrder.push_back(heading);
        if (!shown.count(heading))
            Fail(phase, what + " does not show \"" + heading + "\"");
        else
            CheckLunBlock(phase, what, heading, *shown[heading], LunLines(lun));
    }
    for (const std::string& heading : gotOrder)
        if (!expected.count(heading))
            Fail(phase, what + " shows \"" + heading + "\", which the dumps do not");
    // The LUNs both show, in the same order.
    std::vector<std::string> common;
    std::copy_if(gotOrder.begin(), gotOrder.end(), std::back_inserter(common),
                 [&](const std::string& heading) { return expected.count(heading) != 0; });
    std::vector<std::string> wanted;
    std::copy_if(wantOrder.begin(), wantOrder.end(), std::back_inserter(wanted),
                 [&](const std::string& heading) { return shown.count(heading) != 0; });
    if (common != wanted)
        Fail(phase, what + " lists the LUNs in the order " + Joined(common, ", ") + "; expected " +
                        Joined(wanted, ", "));
}

}  // namespace vmcheck

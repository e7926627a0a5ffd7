// SPDX-License-Identifier: MIT
#include "walk/topology.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <numeric>
#include <string_view>
#include <tuple>
#include <utility>

#include "mapper/multipath_map.h"
#include "text/people_text.h"
#include "walk/fields.h"

namespace inventory {

namespace {

// A field of attributes as the records keep it.
template <typename Attributes>
std::optional<std::string> Keep(const Attributes& attributes, const Field& f)
{
    return Kept(f, Raw(attributes, f));
}

std::optional<std::string> NonEmpty(std::string value)
{
    return value.empty() ? std::nullopt : std::optional<std::string>(std::move(value));
}

// Paths in session order (by number; a name without one after, by name),
// then by address.
bool PathLess(const PathRecord& a, const PathRecord& b)
{
    auto x = SessionNumber(a.session), y = SessionNumber(b.session);
    auto keyA = std::make_tuple(!x.has_value(), x.value_or(0), std::string_view(a.session));
    auto keyB = std::make_tuple(!y.has_value(), y.value_or(0), std::string_view(b.session));
    if (keyA != keyB)
        return keyA < keyB;
    if (AddressLess(a.address, b.address))
        return true;
    if (AddressLess(b.address, a.address))
        return false;
    return a.hctl < b.hctl;
}

// The map's view of the path on block device dev ("8:16"): where the
// map's table names it, its state and group.
MapPathState PathInMap(const mapper::MultipathMap& map, std::optional<std::string_view> dev)
{
    MapPathState state;
    unsigned major = 0, minor = 0;
    if (!dev || std::sscanf(std::string(*dev).c_str(), "%u:%u", &major, &minor) != 2)
        return state;
    for (std::size_t g = 0; g < map.groups.size(); ++g) {
        for (const mapper::MapPath& path : map.groups[g].paths) {
            if (path.major != major || path.minor != minor)
                continue;
            state.inMap = true;
            state.active = path.active;
            state.failCount = path.failCount;
            state.group = static_cast<unsigned>(g + 1);
            state.groupState = map.groups[g].state;
            return state;
        }
    }
    return state;
}

}  // namespace

std::optional<bool> MultipathMap::QueuesWithoutPath() const
{
    return dm ? std::optional<bool>(dm->queueIfNoPath) : std::nullopt;
}

bool PathRecord::Running() const
{
    // Without its block device no I/O reaches the unit by this path, whatever
    // the SCSI device says: the sd driver never bound it, or it went away.
    // A path the device-mapper failed (after I/O errors) carries none of the
    // map's I/O while its SCSI device may still say running.
    return state == kDeviceRunning && sessionState == kLoggedIn && blockDevice.has_value() &&
           (!dm || (dm->inMap && dm->active));
}

std::string PathRecord::WhyNotRunning() const
{
    std::string why;
    auto add = [&why](const std::string& reason) { why += (why.empty() ? "" : ", ") + reason; };
    if (!blockDevice)
        add("no block device");
    if (state != kDeviceRunning)
        add("device " + Said(state));
    if (sessionState != kLoggedIn)
        add(session + " " + Said(sessionState));
    if (dm && !dm->inMap)
        add("not in the map's table");
    else if (dm && !dm->active)
        add("failed by the device-mapper");
    return why;
}

std::optional<bool> LunRecord::ReadOnly() const
{
    std::optional<bool> any;
    for (const PathRecord& path : paths)
        if (path.readOnly)
            any = any.value_or(false) || *path.readOnly;
    return any;
}

std::size_t LunRecord::PathsRunning() const
{
    return std::count_if(paths.begin(), paths.end(), [](const PathRecord& p) { return p.Running(); });
}

bool SessionBrief::Healthy() const
{
    return state == kLoggedIn && disksRunning == disks &&
           std::all_of(connections.begin(), connections.end(),
                       [](const ConnectionBrief& c) { return c.state == kConnectionUp; });
}

RecoveryTimeout RecoveryOf(const AttributeMap& session)
{
    RecoveryTimeout recovery;
    std::optional<std::string_view> value = Raw(session, field::kRecoveryTimeout);
    // "off" is the kernel's word for a recovery that never times out.
    recovery.off = value == std::string_view("off");
    if (value && !recovery.off)
        recovery.seconds = KernelNumber(*value);
    return recovery;
}

void Topology::Add(const SessionRecord& session)
{
    const AttributeMap& a = session.attributes;
    SessionBrief& brief = m_sessions.emplace_back();
    brief.name = session.name;
    brief.sid = SessionNumber(session.name);
    brief.target = Keep(a, field::kTarget);
    brief.portal = NonEmpty(PortalOf(session));
    brief.iface = Keep(a, field::kIface);
    brief.state = Keep(a, field::kSessionState);
    brief.tpgt = Keep(a, field::kTpgt);
    if (session.host != nullptr && !session.host->procName.empty())
        brief.transport = TransportOf(session.host->procName);
    brief.recovery = RecoveryOf(a);
    for (const ConnectionRecord& connection : session.connections)
        brief.connections.push_back({connection.name, Keep(connection.attributes, field::kConnectionState)});
    for (const DiskRecord& disk : session.disks) {
        PathRecord& path = m_paths.emplace_back();
        path.session = session.name;
        path.sessionState = brief.state;
        path.target = brief.target;
        path.portal = brief.portal;
        path.iface = brief.iface;
        path.hctl = disk.name;
        std::copy(std::begin(disk.address), std::end(disk.address), std::begin(path.address));
        path.blockDevice = disk.blockDevice;
        path.state = disk.state;
        path.readOnly = FlagOf(Raw(disk.block, field::kReadOnly));
        path.recovery = brief.recovery;
        if (const DiskRecord::Holder* holder = MultipathHolder(disk)) {
            path.multipath = MultipathMap{holder->name, holder->device, holder->map};
            if (holder->map)
                path.dm = PathInMap(*holder->map, Raw(disk.block, field::kDevNumber));
            const std::string map(MapName(holder->name, holder->device));
            if (std::find(brief.multipath.begin(), brief.multipath.end(), map) == brief.multipath.end())
                brief.multipath.push_back(map);
        }
        ++brief.disks;
        brief.disksRunning += path.Running() ? 1 : 0;

        LunFacts& facts = m_facts.emplace_back();
        facts.wwid = Keep(disk.attributes, field::kWwid);
        if (facts.wwid && facts.wwid->empty())
            facts.wwid.reset();
        facts.sizeBytes = SizeBytes(disk.block);
        facts.vendor = Keep(disk.attributes, field::kVendor);
        facts.model = Keep(disk.attributes, field::kModel);
        facts.rev = Keep(disk.attributes, field::kRev);
    }
}

std::vector<LunRecord> Topology::Luns() const
{
    std::vector<std::size_t> order(m_paths.size());
    std::iota(order.begin(), order.end(), 0);
    std::sort(order.begin(), order.end(),
              [&](std::size_t a, std::size_t b) { return PathLess(m_paths[a], m_paths[b]); });
    std::map<std::string, std::size_t> byWwid;  // into luns
    std::vector<LunRecord> luns, alone;
    for (std::size_t i : order) {
        const LunFacts& facts = m_facts[i];
        LunRecord* lun;
        if (facts.wwid) {
            auto [at, added] = byWwid.emplace(*facts.wwid, luns.size());
            if (added)
                luns.emplace_back().wwid = facts.wwid;
            lun = &luns[at->second];
        } else {
            lun = &alone.emplace_back();
        }
        lun->paths.push_back(m_paths[i]);
        if (!lun->sizeBytes)
            lun->sizeBytes = facts.sizeBytes;
        if (!lun->vendor)
            lun->vendor = facts.vendor;
        if (!lun->model)
            lun->model = facts.model;
        if (!lun->rev)
            lun->rev = facts.rev;
        if (!lun->multipath)
            lun->multipath = m_paths[i].multipath;
    }
    std::sort(luns.begin(), luns.end(),
              [](const LunRecord& a, const LunRecord& b) { return *a.wwid < *b.wwid; });
    // Those without a WWID were taken in path order already.
    for (LunRecord& lun : alone)
        luns.push_back(std::move(lun));
    return luns;
}

}  // namespace inventory

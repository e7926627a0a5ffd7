// SPDX-License-Identifier: MIT
// The multipath phase failed one path in the device-mapper alone (dmsetup
// message fail_path, no multipathd to reinstate it) while its SCSI device
// kept running and its session stayed logged in: a path only the map's own
// view can show as lost.  Against dmsetup's table and status taken beside
// them and the dumps, --luns must show the path not running with the map's
// state of it ("failed, group 1, 1 failure") and the LUN with 1 of 2 paths
// running, --json and the metrics the same state and fail count, and
// --check WARNING with a path-lost finding naming the path "failed by the
// device-mapper".  Run without the privilege, --luns must say first that
// the maps' own path states were not read, then judge from sysfs alone
// (both paths running).  After reinstate_path, --luns shows both paths
// active again, the fail count as it was.  Failures name "multipath dm".
#include <algorithm>

#include <nlohmann/json.hpp>

#include "outputs.h"
#include "phases.h"

namespace vmcheck {

namespace {

const char kDm[] = "multipath dm";
const std::string kFailed = " with a path failed in the device-mapper";
const char kNotRead[] = "Multipath maps' own path states not read: ";

std::optional<int> Status(const Statuses& statuses, const std::string& name)
{
    auto found = statuses.find("multipath " + name);
    return found == statuses.end() ? std::nullopt : std::optional<int>(found->second);
}

// The LUN one of whose paths is that block device.
LunFacts* LunWith(std::vector<LunFacts>& luns, const std::string& block)
{
    for (LunFacts& lun : luns)
        for (const PathFacts& path : lun.paths)
            if (path.block == block)
                return &lun;
    return nullptr;
}

const PathFacts* PathOf(const LunFacts& lun, const std::string& block)
{
    for (const PathFacts& path : lun.paths)
        if (path.block == block)
            return &path;
    return nullptr;
}

// What the scenario is: the failed path still runs as far as sysfs says,
// the map has failed it alone, so the LUN has 1 of 2 paths running.  False
// after a failure when it is not so (nothing after could prove anything).
bool CheckFailedInMap(const LunFacts& lun, const std::string& block, const std::string& dev)
{
    const PathFacts* failed = PathOf(lun, block);
    if (failed == nullptr || failed->dev != dev) {
        Fail(kDm, "the disk dump shows " + block + " as " + (failed ? failed->dev : std::string("none")) +
                      ", the VM failed " + dev);
        return false;
    }
    if (failed->state != "running" || failed->sessionState != "LOGGED_IN") {
        Fail(kDm, "the dump shows " + block + " " + failed->state.value_or("without a state") + " in a session " +
                      failed->sessionState.value_or("without a state") + ": failed by more than the device-mapper");
        return false;
    }
    bool right = lun.paths.size() == 2 && lun.Running() == 1 && failed->dm && failed->dm->inMap &&
                 !failed->dm->active && failed->dm->failCount >= 1;
    if (!right) {
        Fail(kDm, "dmsetup and the dumps do not show LUN " + lun.wwid + " with 1 of 2 paths running, " + block +
                      " (" + dev + ") failed in the map");
        return false;
    }
    return true;
}

std::string GroupState(char state)
{
    return state == 'A' ? "active" : state == 'E' ? "enabled" : "disabled";
}

// --json: the LUN's map with its features, queueing, handler and groups,
// each path's state, fail count and group as dmsetup showed them, the
// running paths, and multipath_states read.
void CheckJsonMapStates(const std::string& what, const std::string& text, const LunFacts& lun)
{
    const nlohmann::json document = nlohmann::json::parse(text, nullptr, false);
    if (Member(document, "multipath_states") != nlohmann::json{{"read", true}, {"reason", nullptr}})
        Fail(kDm, what + ": multipath_states is " + Member(document, "multipath_states").dump() +
                      ", expected {\"read\":true,\"reason\":null}");
    nlohmann::json record;
    for (const nlohmann::json& each : Items(document, "luns"))
        if (Member(each, "wwid") == lun.wwid)
            record = each;
    if (record.is_null() || !lun.dm) {
        Fail(kDm, what + " has no record of LUN " + lun.wwid);
        return;
    }
    const DmMap& map = *lun.dm;
    nlohmann::json groups = nlohmann::json::array();
    for (const DmGroup& group : map.groups)
        groups.push_back(
            {{"state", GroupState(group.state)}, {"selector", group.selector}, {"paths", group.paths.size()}});
    const bool queues = std::find(map.features.begin(), map.features.end(), "queue_if_no_path") != map.features.end();
    const nlohmann::json multipath = Member(record, "multipath");
    const std::pair<const char*, nlohmann::json> wanted[] = {
        {"features", map.features},
        {"queue_if_no_path", queues},
        {"hardware_handler", map.handler.empty() ? std::string() : map.handler.front()},
        {"groups", groups}};
    for (const auto& [key, want] : wanted)
        if (Member(multipath, key) != want)
            Fail(kDm, what + ": LUN " + lun.wwid + ": multipath " + key + " is " + Member(multipath, key).dump() +
                          ", dmsetup shows " + want.dump());
    for (const PathFacts& path : lun.paths) {
        nlohmann::json shown;
        for (const nlohmann::json& each : Items(record, "paths"))
            if (Member(each, "hctl") == path.hctl)
                shown = each;
        nlohmann::json want = {{"dm_state", "not in map"}, {"fail_count", nullptr}, {"group", nullptr}};
        if (path.dm && path.dm->inMap)
            want = {{"dm_state", path.dm->active ? "active" : "failed"},
                    {"fail_count", path.dm->failCount},
                    {"group", path.dm->group}};
        for (const auto& [key, value] : want.items())
            if (Member(shown, key.c_str()) != value)
                Fail(kDm, what + ": path " + path.hctl + " " + path.block + ": " + key + " is " +
                              Member(shown, key.c_str()).dump() + ", dmsetup shows " + value.dump());
    }
    if (Member(record, "paths_running") != lun.Running())
        Fail(kDm, what + ": LUN " + lun.wwid + ": paths_running is " + Member(record, "paths_running").dump() +
                      ", expected " + std::to_string(lun.Running()));
}

// --check: WARNING, counting what the dumps and dmsetup show, with a
// path-lost finding that names the path and why it does not run.
void CheckVerdict(Sections& sections, const Statuses& statuses, const Dump& dump,
                  const std::vector<LunFacts>& luns, const LunFacts& lun, const PathFacts& failed)
{
    const std::string what = "--check" + kFailed, text = sections["multipath check-dmfailed"];
    CheckVerdictText(kDm, what, text, Status(statuses, "check-dmfailed"), 1, CensusOf(dump, luns), nullptr);
    const std::string named = failed.block + " " + failed.hctl + " (failed by the device-mapper)";
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);)
        if (line.rfind("WARNING [path-lost] LUN " + lun.wwid + " ", 0) == 0 &&
            line.find(": 1 of 2 paths running") != std::string::npos && line.find(named) != std::string::npos)
            return;
    Fail(kDm, what + " has no line \"WARNING [path-lost] LUN " + lun.wwid + " ...: 1 of 2 paths running ...\" naming " +
                  named);
}

// Without the privilege: said first, then every LUN as sysfs alone shows it.
void CheckUnprivileged(Sections& sections, const Statuses& statuses, const std::vector<LunFacts>& sysfsLuns)
{
    const std::string what = "--luns without the privilege", text = sections["multipath luns-unprivileged"];
    CheckStatus(kDm, what, Status(statuses, "luns-unprivileged"), 0);
    const std::string first = text.substr(0, text.find('\n'));
    if (first.rfind(kNotRead, 0) != 0 || first.size() == std::string(kNotRead).size()) {
        Fail(kDm, what + ": the first line is \"" + first + "\", not \"" + kNotRead + "<reason>\"");
        return;
    }
    CheckLuns(kDm, what, text.substr(std::min(text.size(), first.size() + 1)), sysfsLuns);
}

// After reinstate_path: every path of the LUN active again in the map, the
// failed one with the fail count it had, and --luns showing so.
void CheckReinstated(Sections& sections, const std::string& block, std::uint64_t failures, DmFigures& figures)
{
    Dump dump = ParseDump(sections["multipath dump-reinstated"]);
    std::vector<LunFacts> luns = LunsOf(dump, ParseDisks(sections["multipath disks-reinstated"]));
    LunFacts* lun = LunWith(luns, block);
    if (lun == nullptr) {
        Fail(kDm, "after reinstate_path the dumps show no LUN with " + block);
        return;
    }
    AddMapStates(kDm, "dmsetup after reinstate_path", sections["multipath dmtable-reinstated"],
                 sections["multipath dmstatus-reinstated"], *lun);
    const PathFacts* path = PathOf(*lun, block);
    if (!path || !path->dm || !path->dm->inMap || !path->dm->active || path->dm->failCount != failures ||
        lun->Running() != lun->paths.size())
        Fail(kDm, "after reinstate_path dmsetup and the dumps do not show " + block + " active with " +
                      std::to_string(failures) + " failures and every path of LUN " + lun->wwid + " running");
    else
        figures.reinstated = std::to_string(lun->Running()) + " of " + std::to_string(lun->paths.size());
    CheckLuns(kDm, "--luns after reinstate_path", sections["multipath luns-reinstated"], luns);
}

}  // namespace

void CheckMultipathDm(Sections& sections, const Statuses& statuses, const std::vector<std::string>& marks,
                      DmFigures& figures)
{
    std::string block, dev;
    for (const std::string& mark : marks)
        if (mark.rfind("MPDMFAILED ", 0) == 0) {
            std::istringstream in(mark.substr(11));
            block = Word(in);
            dev = Word(in);
        }
    if (block.empty() || dev.empty()) {
        Fail(kDm, "the VM did not report which path it failed in the device-mapper");
        return;
    }
    Dump dump = ParseDump(sections["multipath dump-dmfailed"]);
    const std::map<std::string, DiskDump> disks = ParseDisks(sections["multipath disks-dmfailed"]);
    const std::vector<LunFacts> sysfsLuns = LunsOf(dump, disks);
    std::vector<LunFacts> luns = sysfsLuns;
    LunFacts* lun = LunWith(luns, block);
    if (lun == nullptr) {
        Fail(kDm, "the dumps show no LUN with " + block + ", the path the VM failed");
        return;
    }
    AddMapStates(kDm, "dmsetup" + kFailed, sections["multipath dmtable-dmfailed"],
                 sections["multipath dmstatus-dmfailed"], *lun);
    if (!CheckFailedInMap(*lun, block, dev))
        return;
    const PathFacts& failed = *PathOf(*lun, block);
    figures.path = block + " " + failed.hctl + " (" + dev + ")";
    figures.failures = failed.dm->failCount;
    CheckLuns(kDm, "--luns" + kFailed, sections["multipath luns-dmfailed"], luns);
    CheckJsonMapStates("--json" + kFailed, sections["multipath json-dmfailed"], *lun);
    CheckLunMetrics(kDm, "--prometheus" + kFailed, sections["multipath prometheus-dmfailed"], luns);
    CheckVerdict(sections, statuses, dump, luns, *lun, failed);
    CheckUnprivileged(sections, statuses, sysfsLuns);
    CheckReinstated(sections, block, failed.dm->failCount, figures);
}

}  // namespace vmcheck

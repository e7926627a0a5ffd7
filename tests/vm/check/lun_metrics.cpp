// SPDX-License-Identifier: MIT
// The LUN and disk metrics of --prometheus against the dumps: per LUN (by
// its WWID, or hctl:H:C:T:L for one without) its paths and map
// (iscsi_lun_paths) and its running paths (iscsi_lun_paths_running); per
// disk its state as an enum (1 for the dump's, 0 for any other state shown),
// its read-only flag and its size in bytes.  Where dmsetup showed the map,
// also whether the map queues without a path, each path's state in it
// (iscsi_lun_path_dm_active) and fail count, and that the maps were read.
// Other families and other states at 0 are left to the rest of the checks.
#include <algorithm>

#include "outputs.h"

namespace vmcheck {

namespace {

const std::set<std::string> kLunFamilies{"iscsi_lun_paths", "iscsi_lun_paths_running",
                                         "iscsi_multipath_queue_if_no_path"};
const std::set<std::string> kDiskFamilies{"iscsi_disk_state", "iscsi_disk_read_only", "iscsi_disk_size_bytes",
                                          "iscsi_lun_path_dm_active", "iscsi_lun_path_dm_failures_total"};
const char kStatesRead[] = "iscsi_multipath_states_read";

// The LUNs the dumps show by key (WWID, or hctl:H:C:T:L), their paths by
// "session hctl".
struct LunIndex {
    std::map<std::string, const LunFacts*> byKey;
    std::map<std::string, const PathFacts*> byDisk;
    std::map<std::string, std::string> keyOfDisk;  // the LUN's key
};

std::string KeyOf(const LunFacts& lun)
{
    return lun.wwid.empty() ? "hctl:" + lun.paths.front().hctl : lun.wwid;
}

// The map as the metrics name it: its device-mapper name, else its device;
// nothing where no map holds the LUN.
std::string MapOf(const LunFacts& lun)
{
    for (const PathFacts& path : lun.paths)
        if (path.map)
            return path.map->name.empty() ? path.map->device : path.map->name;
    return "";
}

LunIndex IndexOf(const std::vector<LunFacts>& luns)
{
    LunIndex index;
    for (const LunFacts& lun : luns) {
        if (!lun.paths.empty())
            index.byKey[KeyOf(lun)] = &lun;
        for (const PathFacts& path : lun.paths) {
            index.byDisk[path.session + " " + path.hctl] = &path;
            index.keyOfDisk[path.session + " " + path.hctl] = KeyOf(lun);
        }
    }
    return index;
}

// The samples of those families, each of an object the dumps show.
struct LunSamples {
    std::map<std::string, std::map<std::string, std::string>> seen;    // family -> key -> value
    std::map<std::string, std::map<std::string, std::string>> states;  // disk -> state -> value
    std::map<std::string, std::string> maps;                           // key -> multipath_device
    std::optional<std::string> statesRead;
};

// One sample line into samples; a sample of an object the dumps do not show,
// or shown twice, fails.
void ReadLunSample(const std::string& phase, const std::string& what, const std::string& line,
                   const LunIndex& index, LunSamples& samples)
{
    std::string family = line.substr(0, line.find_first_of("{ "));
    std::string value = line.substr(line.rfind(' ') + 1);
    if (family == kStatesRead)
        samples.statesRead = value;
    if (!kLunFamilies.count(family) && !kDiskFamilies.count(family))
        return;
    std::map<std::string, std::string> labels = Labels(line);
    std::string key;
    if (kLunFamilies.count(family)) {
        key = labels["wwid"];
        if (!index.byKey.count(key)) {
            Fail(phase, what + " shows " + family + " of a LUN " + key + ", which the dumps do not show");
            return;
        }
        if (family == "iscsi_lun_paths")
            samples.maps[key] = labels["multipath_device"];
    } else {
        key = labels["session"] + " " + labels["hctl"];
        if (!index.byDisk.count(key)) {
            Fail(phase, what + " shows " + family + " of " + key + ", which the dumps do not show");
            return;
        }
        // A path's state in its map names the LUN and the map as well.
        if (family.rfind("iscsi_lun_path_dm_", 0) == 0 &&
            (labels["wwid"] != index.keyOfDisk.at(key) ||
             labels["multipath_device"] != MapOf(*index.byKey.at(index.keyOfDisk.at(key)))))
            Fail(phase, what + ": " + family + " of " + key + " names the LUN \"" + labels["wwid"] +
                            "\" and the map \"" + labels["multipath_device"] + "\"");
        if (family == "iscsi_disk_state") {
            if (samples.states[key].count(labels["state"]))
                Fail(phase, what + " shows the state " + labels["state"] + " of " + key + " twice");
            samples.states[key][labels["state"]] = value;
            return;
        }
    }
    if (samples.seen[family].count(key))
        Fail(phase, what + " shows " + family + " of " + key + " twice");
    samples.seen[family][key] = value;
}

void Expect(const std::string& phase, const std::string& what, LunSamples& samples, const std::string& family,
            const std::string& key, std::uint64_t want, const std::string& series,
            const char* source = "the dumps show")
{
    auto found = samples.seen[family].find(key);
    if (found == samples.seen[family].end())
        Fail(phase, what + " lacks " + family + "{" + series + "}");
    else if (!SameNumber(found->second, want))
        Fail(phase, what + ": " + family + "{" + series + "} is " + found->second + ", " + source + " " +
                        std::to_string(want));
}

void CheckLunSeries(const std::string& phase, const std::string& what, const LunIndex& index,
                    LunSamples& samples)
{
    for (const auto& [wwid, lun] : index.byKey) {
        const std::string series = "wwid=\"" + wwid + "\"";
        Expect(phase, what, samples, "iscsi_lun_paths", wwid, lun->paths.size(), series);
        Expect(phase, what, samples, "iscsi_lun_paths_running", wwid, lun->Running(), series);
        const std::string map = MapOf(*lun);
        if (samples.seen["iscsi_lun_paths"].count(wwid) && samples.maps[wwid] != map)
            Fail(phase, what + ": iscsi_lun_paths{" + series + "} names the map \"" + samples.maps[wwid] +
                            "\", the dumps \"" + map + "\"");
    }
}

void CheckDiskSeries(const std::string& phase, const std::string& what, const LunIndex& index,
                     LunSamples& samples)
{
    for (const auto& [key, path] : index.byDisk) {
        const std::string series = "session=\"" + path->session + "\",hctl=\"" + path->hctl + "\"";
        if (path->state) {
            auto& shown = samples.states[key];
            if (!shown.count(*path->state))
                Fail(phase, what + " lacks iscsi_disk_state{" + series + ",state=\"" + *path->state + "\"}");
            for (const auto& [state, value] : shown) {
                std::uint64_t want = state == *path->state ? 1 : 0;
                if (!SameNumber(value, want))
                    Fail(phase, what + ": iscsi_disk_state{" + series + ",state=\"" + state + "\"} is " + value +
                                    ", the dumps show " + *path->state);
            }
        }
        if (path->readOnly)
            Expect(phase, what, samples, "iscsi_disk_read_only", key, *path->readOnly ? 1 : 0, series);
        if (path->bytes)
            Expect(phase, what, samples, "iscsi_disk_size_bytes", key, *path->bytes, series);
    }
}

// The maps dmsetup showed: each map's queueing, each path's state in it
// and its fail count, and that the maps were read at all.
void CheckMapSeries(const std::string& phase, const std::string& what, const LunIndex& index,
                    LunSamples& samples)
{
    bool any = false;
    for (const auto& [key, lun] : index.byKey) {
        if (!lun->dm)
            continue;
        any = true;
        const std::vector<std::string>& features = lun->dm->features;
        const bool queues = std::find(features.begin(), features.end(), "queue_if_no_path") != features.end();
        Expect(phase, what, samples, "iscsi_multipath_queue_if_no_path", key, queues ? 1 : 0,
               "wwid=\"" + key + "\"", "dmsetup shows");
        for (const PathFacts& path : lun->paths) {
            if (!path.dm || !path.dm->inMap)
                continue;
            const std::string disk = path.session + " " + path.hctl;
            const std::string series = "session=\"" + path.session + "\",hctl=\"" + path.hctl + "\"";
            Expect(phase, what, samples, "iscsi_lun_path_dm_active", disk, path.dm->active ? 1 : 0, series,
                   "dmsetup shows");
            Expect(phase, what, samples, "iscsi_lun_path_dm_failures_total", disk, path.dm->failCount, series,
                   "dmsetup shows");
        }
    }
    if (any && !(samples.statesRead && SameNumber(*samples.statesRead, 1)))
        Fail(phase, what + ": " + kStatesRead + " is " + samples.statesRead.value_or("missing") +
                        ", but dmsetup showed the map");
}

}  // namespace

void CheckLunMetrics(const std::string& phase, const std::string& what, const std::string& text,
                     const std::vector<LunFacts>& luns)
{
    LunIndex index = IndexOf(luns);
    LunSamples samples;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);)
        if (!line.empty() && line[0] != '#')
            ReadLunSample(phase, what, line, index, samples);
    CheckLunSeries(phase, what, index, samples);
    CheckDiskSeries(phase, what, index, samples);
    CheckMapSeries(phase, what, index, samples);
}

}  // namespace vmcheck

// SPDX-License-Identifier: MIT
// The LUN and disk metrics of --prometheus against the dumps: per LUN (by
// its WWID, or hctl:H:C:T:L for one without) its paths and map
// (iscsi_lun_paths) and its running paths (iscsi_lun_paths_running); per
// disk its state as an enum (1 for the dump's, 0 for any other state shown),
// its read-only flag and its size in bytes.  Other families and other states
// at 0 are left to the rest of the checks.
#include "outputs.h"

namespace vmcheck {

namespace {

const std::set<std::string> kLunFamilies{"iscsi_lun_paths", "iscsi_lun_paths_running"};
const std::set<std::string> kDiskFamilies{"iscsi_disk_state", "iscsi_disk_read_only", "iscsi_disk_size_bytes"};

// The LUNs the dumps show by key (WWID, or hctl:H:C:T:L), their paths by
// "session hctl".
struct LunIndex {
    std::map<std::string, const LunFacts*> byKey;
    std::map<std::string, const PathFacts*> byDisk;
};

LunIndex IndexOf(const std::vector<LunFacts>& luns)
{
    LunIndex index;
    for (const LunFacts& lun : luns) {
        if (!lun.paths.empty())
            index.byKey[lun.wwid.empty() ? "hctl:" + lun.paths.front().hctl : lun.wwid] = &lun;
        for (const PathFacts& path : lun.paths)
            index.byDisk[path.session + " " + path.hctl] = &path;
    }
    return index;
}

// The samples of those families, each of an object the dumps show.
struct LunSamples {
    std::map<std::string, std::map<std::string, std::string>> seen;    // family -> key -> value
    std::map<std::string, std::map<std::string, std::string>> states;  // disk -> state -> value
    std::map<std::string, std::string> maps;                           // key -> multipath_device
};

// One sample line into samples; a sample of an object the dumps do not show,
// or shown twice, fails.
void ReadLunSample(const std::string& phase, const std::string& what, const std::string& line,
                   const LunIndex& index, LunSamples& samples)
{
    std::string family = line.substr(0, line.find_first_of("{ "));
    if (!kLunFamilies.count(family) && !kDiskFamilies.count(family))
        return;
    std::string value = line.substr(line.rfind(' ') + 1);
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
            const std::string& key, std::uint64_t want, const std::string& series)
{
    auto found = samples.seen[family].find(key);
    if (found == samples.seen[family].end())
        Fail(phase, what + " lacks " + family + "{" + series + "}");
    else if (!SameNumber(found->second, want))
        Fail(phase, what + ": " + family + "{" + series + "} is " + found->second + ", the dumps show " +
                        std::to_string(want));
}

void CheckLunSeries(const std::string& phase, const std::string& what, const LunIndex& index,
                    LunSamples& samples)
{
    for (const auto& [wwid, lun] : index.byKey) {
        const std::string series = "wwid=\"" + wwid + "\"";
        Expect(phase, what, samples, "iscsi_lun_paths", wwid, lun->paths.size(), series);
        Expect(phase, what, samples, "iscsi_lun_paths_running", wwid, lun->Running(), series);
        // The map as the disk metrics name it: its device-mapper name, else
        // its device; nothing where no map holds the LUN.
        std::string map;
        for (const PathFacts& path : lun->paths)
            if (map.empty() && path.map)
                map = path.map->name.empty() ? path.map->device : path.map->name;
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
}

}  // namespace vmcheck

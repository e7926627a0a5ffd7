// SPDX-License-Identifier: MIT
// A multipath map as the device-mapper itself sees it: its features, its
// hardware handler, its path groups and the state of each path, read from
// the two strings the kernel gives for a multipath target, its table and its
// status (what dmsetup table and dmsetup status print after "START LENGTH
// multipath").  The walk sees a map only as a holder of its disks in sysfs;
// which path the kernel has failed, and which group it sends I/O to, are
// known only here.
#ifndef ISCSI_INVENTORY_MULTIPATH_MAP_H
#define ISCSI_INVENTORY_MULTIPATH_MAP_H

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace inventory::mapper {

// One path of a group: a block device (major:minor) as the status shows it.
struct MapPath {
    unsigned major = 0;
    unsigned minor = 0;
    bool active = false;   // 'A'; a failed path ('F') is not
    unsigned failCount = 0;
    // The path selector's arguments for this path, as the table gives them
    // (round-robin: the repeat count), and what the selector tells of it in
    // the status (service-time: the in-flight size and relative throughput).
    std::vector<std::string> selectorArgs;
    std::vector<std::string> selectorStatus;
};

// A priority group: the paths one path selector chooses among.
struct PathGroup {
    char state = 'E';      // 'A' active (I/O goes here), 'E' enabled, 'D' disabled
    std::string selector;  // its name and counted arguments, as the table writes them: "service-time 0"
    std::vector<MapPath> paths;
};

struct MultipathMap {
    std::vector<std::string> features;  // the table's: "queue_if_no_path", "pg_init_retries", "50"
    bool queueIfNoPath = false;
    std::string hardwareHandler;        // empty without one
    std::vector<std::string> handlerArgs;
    // The group the kernel uses now or switches to at the next I/O, from 1;
    // 0 when the map has no group.
    unsigned nextGroup = 0;
    // The status's own two feature values, where it gives them: whether I/O
    // is held back for now (older kernels: how many I/Os are queued), and how
    // many times the current group's paths were initialised by the handler.
    std::optional<unsigned> queueIo;
    std::optional<unsigned> pgInitCount;
    std::vector<PathGroup> groups;
};

// A map, or why the strings are not one: a short reason naming the string
// and the place ("status: group 2 path 1: state 'X' is neither A nor F").
struct MapParse {
    std::optional<MultipathMap> map;
    std::string error;
};

// Parses a multipath target's table and status params.  Both must describe
// the same groups and paths in the same order; a count that runs past the
// end, a word where a number belongs, a state letter the kernel never writes
// or anything after the last path makes the whole an error, never a guess.
MapParse ParseMultipathMap(std::string_view table, std::string_view status);

// A group's state in words: "active" (I/O goes there), "enabled", "disabled".
const char* GroupStateName(char state);

}  // namespace inventory::mapper

#endif

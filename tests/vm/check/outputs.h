// SPDX-License-Identifier: MIT
// The comparisons of the programs' outputs with the dumps that every phase
// shares: the text inventory, --json, --sessions, --prometheus, --luns,
// --check, sysfs-buses, and the timed runs against the peers.  Each reports
// its failures under the phase it is given.
#ifndef VM_CHECK_OUTPUTS_H
#define VM_CHECK_OUTPUTS_H

#include <nlohmann/json.hpp>

#include "check.h"

namespace vmcheck {

// ------------------------------------------------- the text inventory

// The four classes in the order the inventory lists them, with the heading
// each entry's name follows.
extern const std::pair<const char*, const char*> kClasses[4];

// One printed key with the values it may show.
struct Line {
    Line(std::string k = {}, std::set<std::string> v = {}) : key(std::move(k)), values(std::move(v)) {}
    std::string key;
    std::set<std::string> values;
    bool counter = false;      // also anything from low on to high (IsCounter)
    std::string low, high;
    bool required = true;      // churn: both dumps show it
};

struct Block {
    std::string heading;
    std::vector<Line> lines;
};

struct Printed {
    std::string heading;
    std::vector<std::pair<std::string, std::string>> lines;
};

// A value that moves on its own between two dumps (a counter).
bool IsCounter(const std::string& cls, const std::string& key);
bool Accepts(const Line& line, const std::string& value);

// The entries the inventory must print for what both dumps show; counters
// may show a value between the two dumps'.
std::vector<Block> Expected(const Dump& before, const Dump& after, bool counters, bool masked = true);
// report: lines outside any entry fail the phase (once per text: a second
// parse of the same text passes false).
std::vector<Printed> ParseInventory(const std::string& text, const std::string& phase, bool report = true);
void CheckInventory(const std::string& phase, const std::vector<Block>& expected,
                    const std::vector<Printed>& printed);
// The lines of the entry with that heading, the first of a key kept.
std::map<std::string, std::string> Values(const std::vector<Printed>& printed, const std::string& heading);

// A run between two dumps while objects came and went: every object both
// dumps show listed once, in order, each attribute as one of them shows it,
// and the trace of every entry's query.
void CheckChurnInventory(const std::string& run, const Dump& before, const Dump& after, const std::string& text,
                         const std::string& trace);

// ------------------------------------------------------------- --json

// A member of a JSON object; null where there is none (a document that is
// not as the schema says fails the checks, it does not end vm-check).
nlohmann::json Member(const nlohmann::json& object, const char* key);
nlohmann::json Items(const nlohmann::json& object, const char* key);
// A value as text: a string as it is, null as "null", anything else as JSON.
std::string Text(const nlohmann::json& value);
// A JSON string as the bytes it carries ("\xHH" the byte HH).
std::string Decoded(const std::string& text);

// The class arrays read as the text inventory reads, so that the text's
// expectation applies as it is.
std::vector<Printed> JsonInventory(const nlohmann::json& document, const std::string& phase);
void CheckJsonDisks(const std::string& phase, const nlohmann::json& document, const Dump& dump);
void CheckJsonSessions(const std::string& phase, const nlohmann::json& document, const Dump& dump);

// --------------------------------------------------------- --sessions

void CheckSessionsOutput(const std::string& phase, const std::string& text, const Dump& dump);

// ------------------------------------------------------- --prometheus

// The labels of a metrics line "family{a="x",b="y"} value".
std::map<std::string, std::string> Labels(const std::string& line);
// iscsi_session_state of an exposition: session -> state -> sample value.
std::map<std::string, std::map<std::string, std::string>> SessionStates(const std::string& text);
void CheckStates(const std::string& phase, const std::string& what, const std::string& text, const Dump& dump);
void CheckPrometheus(const std::string& phase, const std::string& text, const Dump& dump);
// A sample's value against a whole number: equal as numbers, whatever the
// notation.
bool SameNumber(const std::string& value, std::uint64_t want);

// ------------------------------------------- a multipath map's own view

// A multipath map as dmsetup prints its table and its status ("START LENGTH
// multipath PARAMS", the params in the kernel's words): from the table its
// features, its hardware handler and each group's path selector, from the
// status each group's state and each path's state and fail count.
struct DmPath {
    std::string dev;  // major:minor
    bool active = false;
    std::uint64_t failCount = 0;
};

struct DmGroup {
    char state = 0;        // A, E or D
    std::string selector;  // its name, its argument count and arguments: "service-time 0"
    std::vector<DmPath> paths;
};

struct DmMap {
    std::vector<std::string> features;
    std::vector<std::string> handler;  // its name and arguments; none without one
    std::vector<DmGroup> groups;
};

// The map, or nothing and the reason in error ("status: group 1 path 2:
// state "X" is neither A nor F").
std::optional<DmMap> ParseDmMap(const std::string& table, const std::string& status, std::string& error);

// ------------------------------------------------------------- --luns

// A path to a logical unit as the dumps show it: the full dump gives its
// session (state, target, portal, iface) and the SCSI device's state, the
// disk dump its WWID, inquiry strings, block device (and its number), size,
// read-only flag and holders; dmsetup, where it was asked, the path's state
// in the map.
struct PathFacts {
    std::string session, hctl, block, dev, wwid;
    std::uint64_t sid = 0;
    std::optional<std::string> sessionState, target, portal, iface, state;
    std::optional<std::string> vendor, model, rev;
    std::optional<std::uint64_t> bytes;
    std::optional<bool> readOnly;
    std::optional<DiskDump::Holder> map;  // the holder that is a multipath map
    struct MapState {
        bool inMap = false;  // the map's table names the path's block device
        bool active = false;
        std::uint64_t failCount = 0;
        std::size_t group = 0;  // from 1
    };
    std::optional<MapState> dm;

    // A path takes I/O when its device runs, its session is logged in and
    // its block device is there, and the device-mapper has not failed it
    // (whatever the SCSI device says).
    bool Running() const
    {
        return state == "running" && sessionState == "LOGGED_IN" && !block.empty() &&
               (!dm || (dm->inMap && dm->active));
    }
};

// A logical unit: the paths that name one WWID, or a path without one alone.
struct LunFacts {
    std::string wwid;  // "" for a path without one
    std::vector<PathFacts> paths;
    std::optional<DmMap> dm;  // its map's own view, where dmsetup was asked

    std::size_t Running() const;
    std::string Heading() const;
};

// Every logical unit below the dump's sessions, in the order the views list
// them.
std::vector<LunFacts> LunsOf(const Dump& dump, const std::map<std::string, DiskDump>& disks);
// The map's own view (dmsetup table and status) added to the LUN and its
// paths; output that is no multipath map fails the phase, and the LUN is
// left as sysfs shows it.
void AddMapStates(const std::string& phase, const std::string& what, const std::string& table,
                  const std::string& status, LunFacts& lun);
void CheckLuns(const std::string& phase, const std::string& what, const std::string& text,
               const std::vector<LunFacts>& luns);
// The LUN and disk families of --prometheus, and for a LUN with its map's
// view the map's and its paths' families.
void CheckLunMetrics(const std::string& phase, const std::string& what, const std::string& text,
                     const std::vector<LunFacts>& luns);

// ------------------------------------------------------------ --check

// What the verdict counts, from the dumps.
struct Census {
    std::size_t sessions = 0, loggedIn = 0, luns = 0, paths = 0, running = 0;
};

Census CensusOf(const Dump& dump, const std::vector<LunFacts>& luns);

// What a finding must name, each as a word of its own: the failed session
// with its target and portal, and the LUN with its WWID, block devices and
// HCTLs and how many of its paths run.
struct Named {
    std::vector<std::string> session, lun;
    std::size_t running = 0, paths = 0;
};

// The exit status against the state (0 OK ... 3 UNKNOWN) the run had to
// end in.
void CheckStatus(const std::string& phase, const std::string& what, std::optional<int> status, int want);
// named: what the findings must name once a portal was lost.
void CheckVerdictText(const std::string& phase, const std::string& what, const std::string& text,
                      std::optional<int> status, int want, const Census& census, const Named* named);
void CheckVerdictJson(const std::string& phase, const std::string& what, const std::string& text,
                      std::optional<int> status, int want, const Census& census, const Named* named);

// ------------------------------------------------------- sysfs-buses

// Every SCSI device of the dump split as the kernel names it, and counted.
void CheckBusNames(const std::string& phase, const Dump& dump, const std::string& buses);
// A run between two dumps while objects came and went.
void CheckChurnBuses(const std::string& run, const Dump& before, const Dump& after, const std::string& text);

// ------------------------------------------------------ the timed runs

// A tool's runs and its peer's, timed in turn.
struct Peer {
    const char* tool;   // the name of the tool's runs
    const char* peer;   // the name of its peer's
    const char* label;  // how the ratio is named
    // The highest exit status a completed run of the tool ends with (a
    // plugin's verdict is its status); its peer's runs must end with 0.
    std::uint32_t worst = 0;
};

extern const Peer kSessionsPeer;
extern const Peer kLunsMultipathPeer;
extern const Peer kLunsIscsiadmPeer;
extern const Peer kCheckPeer;

// One text per pair: "--sessions vs iscsiadm -P 3: 0.48 (0.10 s against
// 0.21 s)".
std::vector<std::string> CheckPeers(const std::string& phase, const std::string& text,
                                    const std::vector<Peer>& pairs);

}  // namespace vmcheck

#endif

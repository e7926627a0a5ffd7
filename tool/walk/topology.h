// SPDX-License-Identifier: MIT
// What the verdict forms (--luns, --summary, --check, the redundancy metrics
// and the document's "luns") hold of the host once the walk is over: each
// session in brief, and each logical unit with its paths, joined across
// sessions by WWID.  A LUN's paths come from different sessions, so no LUN is
// whole before the last session is walked; what is kept of each is small.
#ifndef ISCSI_INVENTORY_TOPOLOGY_H
#define ISCSI_INVENTORY_TOPOLOGY_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "walk/inventory.h"

namespace inventory {

// A multipath map: its device-mapper name (mpatha; none when dm/name could
// not be read), its block device (dm-0) and, where it was read, the map as
// the device-mapper itself sees it (features, groups, each path's state).
struct MultipathMap {
    std::optional<std::string> name;
    std::string device;
    std::shared_ptr<const mapper::MultipathMap> dm;
    // Whether it holds I/O back, rather than fail it, while no path runs:
    // I/O then hangs.  Unknown where the map was not read.
    std::optional<bool> QueuesWithoutPath() const;
};

// A path as the device-mapper's map has it.
struct MapPathState {
    bool inMap = false;      // the map's table names this path's block device
    bool active = false;     // the device-mapper sends I/O to it (not failed)
    unsigned failCount = 0;  // how often the device-mapper failed it since the map was made
    unsigned group = 0;      // its priority group, from 1
    char groupState = 0;     // 'A' in use, 'E' enabled, 'D' disabled
};

// The recovery timeout of a session: seconds, "off" (never), or unknown.
struct RecoveryTimeout {
    std::optional<std::uint64_t> seconds;
    bool off = false;
};

// One way to a logical unit: a SCSI device of one session.
struct PathRecord {
    std::string session;                      // sessionN
    std::optional<std::string> sessionState;  // LOGGED_IN, FAILED, FREE
    std::optional<std::string> target;        // the session's target name
    std::optional<std::string> portal;        // address:port ([v6]:port)
    std::optional<std::string> iface;
    std::string hctl;                         // H:C:T:L
    std::string address[4];                   // its fields, for ordering
    std::optional<std::string> blockDevice;   // sdX
    std::optional<std::string> state;         // the SCSI device's state
    std::optional<bool> readOnly;             // the block device's ro
    RecoveryTimeout recovery;                 // the session's
    std::optional<MultipathMap> multipath;    // the map above its block device
    std::optional<MapPathState> dm;           // the map's view of it, where read

    // The path can carry I/O: the device takes commands, its session is
    // logged in, its block device is there and, where its map was read, the
    // device-mapper has it in the map and not failed.
    bool Running() const;
    // Why it carries none, in words with the bytes from sysfs as they are
    // ("no block device, device offline, session3 FAILED"); empty when it
    // runs.
    std::string WhyNotRunning() const;
};

// A logical unit: the SCSI devices that name one WWID, or a device without
// one alone.  Size, inquiry strings and read-only come from its first path
// that has them.
struct LunRecord {
    std::optional<std::string> wwid;
    std::optional<std::uint64_t> sizeBytes;
    std::optional<std::string> vendor, model, rev;  // without their padding
    std::optional<MultipathMap> multipath;
    std::vector<PathRecord> paths;  // by session number, then address

    // What names the LUN to people: its WWID, or its one path's HCTL.
    const std::string& Key() const { return wwid ? *wwid : paths.front().hctl; }
    // Whether any path's block device is read-only; unknown when none says.
    std::optional<bool> ReadOnly() const;
    std::size_t PathsRunning() const;
};

// A connection of a session: its name and state.
struct ConnectionBrief {
    std::string name;
    std::optional<std::string> state;  // up, down, failed, bound
};

// A session as the summary and the check see it.
struct SessionBrief {
    std::string name;                  // sessionN
    std::optional<std::uint64_t> sid;  // N
    std::optional<std::string> target, portal, iface, state, transport, tpgt;
    RecoveryTimeout recovery;
    std::vector<ConnectionBrief> connections;
    std::size_t disks = 0;
    std::size_t disksRunning = 0;

    // Logged in, every connection up and every disk running.
    bool Healthy() const;
    // The multipath maps its disks are paths of, in order, each once.
    std::vector<std::string> multipath;
};

class Topology {
public:
    // Keeps what the verdict needs of one joined session.
    void Add(const SessionRecord& session);

    // The sessions in the order added.
    const std::vector<SessionBrief>& Sessions() const { return m_sessions; }
    // The LUNs: those with a WWID in its byte order, then those without, in
    // the order of their paths.
    std::vector<LunRecord> Luns() const;

private:
    std::vector<SessionBrief> m_sessions;
    std::vector<PathRecord> m_paths;
    // What each path's LUN showed, by path: size, inquiry strings.
    struct LunFacts {
        std::optional<std::string> wwid;
        std::optional<std::uint64_t> sizeBytes;
        std::optional<std::string> vendor, model, rev;
    };
    std::vector<LunFacts> m_facts;
};

// A session's recovery timeout as the kernel shows it.
RecoveryTimeout RecoveryOf(const AttributeMap& session);

}  // namespace inventory

#endif

// SPDX-License-Identifier: MIT
// The checks of each phase the VM ran, and the figures each hands back for
// the summary vm-check prints when nothing failed.  A phase that did not
// report fails as "no results".
#ifndef VM_CHECK_PHASES_H
#define VM_CHECK_PHASES_H

#include "check.h"

namespace vmcheck {

// The logged-in checks every phase but churn makes, under its name: the
// inventory between two dumps, the objects the scenario must have made, the
// trace of every entry, sysfs-buses' SCSI names, iscsiadm's sessions.
void CheckLoggedIn(const std::string& phase, Sections& sections);

// failed: the session whose target was disabled is FAILED, and a file of
// its lost connection could not be read.
void CheckFailed(Sections& sections, const std::string& failedSession);

struct ChurnFigures {
    int inventoryRuns = 0, busesRuns = 0, changedRuns = 0;
    std::set<std::string> sessions, luns;
};

void CheckChurn(Sections& sections, const Statuses& statuses, ChurnFigures& figures);

// The session that logged in with mutual CHAP.
struct ChapFigures {
    std::string session;
    std::string seconds;     // the phase's time, as the VM measured it
    std::size_t masked = 0;  // outputs, trace logs and facts that hid both secrets
};

void CheckChap(Sections& sections, const Statuses& statuses, const std::vector<std::string>& marks,
               ChapFigures& figures);

// The target the multipath LUN's two paths run to.
extern const char kMultipathTarget[];

// The two paths of the multipath LUN.
struct MultipathFigures {
    std::vector<std::string> paths;  // "sessionN (address)"
    std::string wwid, map, uuid, failed, seconds;
};

// The joined session records of --json and the session metrics.
void CheckMultipath(Sections& sections, const std::vector<std::string>& marks, MultipathFigures& figures);

struct ViewFigures {
    std::string before, after;  // "2 of 2", as the dumps counted the multipath LUN's paths
    std::vector<std::string> peers;
};

// --luns, the LUN and disk metrics and --check, before and after one portal
// was disabled; the peers' times.
void CheckMultipathViews(Sections& sections, const Statuses& statuses, const std::string& failedSession,
                         ViewFigures& figures);

struct DmFigures {
    std::string path;              // "sdd 3:0:0:0 (8:48)", as the VM failed it in the map
    std::uint64_t failures = 0;    // its fail count then
    std::string reinstated;        // "2 of 2", the paths running after reinstate_path
};

// One path failed in the device-mapper alone, then reinstated: --luns,
// --json, the metrics and --check against dmsetup's view and the dumps, and
// --luns without the privilege to ask.
void CheckMultipathDm(Sections& sections, const Statuses& statuses, const std::vector<std::string>& marks,
                      DmFigures& figures);

struct IserFigures {
    std::string session, host;
    std::size_t disks = 0, tcpSessions = 0;
    std::string differences;  // attribute names only one transport's objects show
};

void CheckIser(Sections& sections, const std::vector<std::string>& marks, IserFigures& figures);

struct SanFigures {
    std::size_t disks = 0, sessions = 0;
    std::map<std::string, double> seconds;
    std::vector<std::string> peers;
};

void CheckSan(Sections& sections, SanFigures& figures);

}  // namespace vmcheck

#endif

// SPDX-License-Identifier: MIT
// The baseline of --check: the sessions and logical units a host is expected
// to have, saved from a run when all was well (--save-baseline) and held
// against a later one (--baseline).
//
// A session is known by its target, portal and iface: its number changes at
// every login.  A logical unit is known by its WWID, with one entry per path
// naming the session the path goes through, so that a selection (-T, -r) can
// take the paths it would see.  Units without a WWID are left out: their
// address changes across boots.
#ifndef ISCSI_INVENTORY_BASELINE_H
#define ISCSI_INVENTORY_BASELINE_H

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "walk/topology.h"

namespace inventory {

// What identifies a session across logins; each part unknown when the kernel
// did not show it.
struct SessionKey {
    std::optional<std::string> target, portal, iface;
};
bool operator<(const SessionKey& a, const SessionKey& b);
bool operator==(const SessionKey& a, const SessionKey& b);

struct BaselineLun {
    std::string wwid;
    std::vector<SessionKey> via;  // one per path: the session it goes through
};

struct Baseline {
    std::vector<SessionKey> sessions;
    std::vector<BaselineLun> luns;
};

// What the host shows now, as a baseline: each part in a fixed order, so that
// two saves of the same host give the same file.
Baseline BaselineOf(const std::vector<SessionBrief>& sessions, const std::vector<LunRecord>& luns);

// The largest baseline a check reads: a save refuses to write a larger one.
constexpr std::size_t kMaxBaselineBytes = 8u << 20;

// The file's content: a JSON object with "format_version", "sessions" and
// "luns", each string carrying sysfs bytes as Carry() does.
std::string BaselineDocument(const Baseline& baseline);

// Reads a baseline from its content.  False with why set ("line 3, column 5:
// expected ':'", "luns[2].paths: ...") when it is none.
bool ParseBaseline(std::string_view text, Baseline& baseline, std::string& why);

// Reads the file at path (a regular file, never waited on) into baseline.
// False with why set when it cannot be read or is no baseline, or when the
// path is not trusted (base/trusted_path.h, as PathTrust::Content): then it
// is never opened, and why says nothing of its content.
// *absent, when given, is set when nothing stands at path (or on the way).
bool LoadBaseline(const std::string& path, Baseline& baseline, std::string& why, bool* absent = nullptr);

// Replaces the file at path with baseline, whole (mode 0644), or writes it
// through a device or standard stream (write_file.h), under the trust a
// baseline is read with.  Returns 0 or the errno of the failure, with why
// set.
int SaveBaseline(const std::string& path, const Baseline& baseline, std::string& why);

// What a rolling baseline (--check with --baseline and --save-baseline)
// saves: what either holds, each session and each LUN's path through a
// session as many times as the more of the two has it.  What the host has
// lost stays expected, so that a loss is reported at every run until someone
// saves a baseline without --baseline on purpose; what is new is learnt.
Baseline MergedBaseline(const Baseline& expected, const Baseline& current);

// How many of the sessions and LUN paths that merged holds current lacks.
struct BaselineKept {
    std::size_t sessions = 0, paths = 0;
};
BaselineKept KeptFrom(const Baseline& merged, const Baseline& current);

// Which of a baseline's entries a selection takes: a session (or the path of
// a LUN through it) whose target is among targets (any when empty) and, when
// sessions is set, whose key is among them (the keys of the sessions that
// -r selected: the baseline holds no session names, which change at every
// login).
struct BaselineScope {
    std::vector<std::string> targets;
    std::optional<std::vector<SessionKey>> sessions;

    bool Takes(const SessionKey& key) const;
};

// How the host differs from what the baseline expects, for the entries the
// scope takes.  Sessions are counted per key, LUNs' paths per WWID.
struct BaselineDifference {
    enum class Kind {
        SessionMissing,  // fewer sessions with key than expected
        SessionExtra,    // more sessions with key than expected
        LunMissing,      // no path to wwid where paths were expected
        LunFewerPaths,
        LunMorePaths,    // expected counts 0 for a LUN the baseline does not hold
    };
    Kind kind;
    SessionKey session;  // for the session kinds
    std::string wwid;    // for the LUN kinds
    std::size_t expected = 0, found = 0;
};

std::vector<BaselineDifference> CompareBaseline(const Baseline& expected, const Baseline& current,
                                                const BaselineScope& scope);

}  // namespace inventory

#endif

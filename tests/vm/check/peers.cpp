// SPDX-License-Identifier: MIT
// The commands administrators would run instead of the tool, timed in the
// VM in turn with it, three runs each: "NAME CENTISECONDS STATUS" a line
// (init.sh's race).  Every run must have completed (a command that failed
// fast proves nothing): status 0, or up to CRITICAL's 2 for --check, whose
// status is its verdict; a ratio is the tool's median time over its peer's,
// so that below 1 the tool is the quicker.
#include <algorithm>
#include <cstdio>

#include "outputs.h"

namespace vmcheck {

const Peer kSessionsPeer{"sessions", "iscsiadm", "--sessions vs iscsiadm -P 3"};
const Peer kLunsMultipathPeer{"luns", "multipath", "--luns vs multipath -ll"};
const Peer kLunsIscsiadmPeer{"luns", "iscsiadm", "--luns vs iscsiadm -P 3"};
const Peer kCheckPeer{"check", "iscsiadm", "--check vs iscsiadm -P 3", 2};

namespace {

using Runs = std::map<std::string, std::vector<std::uint32_t>>;

// The times of each name's runs; a line that is no timed run, or a run that
// ended with a status above what the pairs accept of its name, fails.
Runs ReadRuns(const std::string& phase, const std::string& text, const std::vector<Peer>& pairs)
{
    std::map<std::string, std::uint32_t> worst;
    for (const Peer& pair : pairs)
        worst[pair.tool] = pair.worst;
    Runs runs;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream in(line);
        std::string name = Word(in), hundredths = Word(in), status = Word(in);
        if (!Number(hundredths) || !Number(status) || !Rest(in).empty()) {
            Fail(phase, "a timed run reads \"" + line + "\"");
            continue;
        }
        runs[name].push_back(*Number(hundredths));
        if (*Number(status) > (worst.count(name) ? worst[name] : 0))
            Fail(phase, "a timed run of " + name + " ended with status " + status);
    }
    return runs;
}

std::optional<std::uint32_t> Median(const std::string& phase, Runs& runs, const std::string& name)
{
    std::vector<std::uint32_t> times = runs[name];
    if (times.size() != 3) {
        Fail(phase, name + " was timed " + std::to_string(times.size()) + " times, not 3");
        return std::nullopt;
    }
    std::sort(times.begin(), times.end());
    return times[1];
}

}  // namespace

std::vector<std::string> CheckPeers(const std::string& phase, const std::string& text,
                                    const std::vector<Peer>& pairs)
{
    Runs runs = ReadRuns(phase, text, pairs);
    // Each name's median once (and a wrong count reported once): several
    // tools race the same peer.
    std::map<std::string, std::optional<std::uint32_t>> medians;
    auto median = [&](const std::string& name) {
        if (!medians.count(name))
            medians[name] = Median(phase, runs, name);
        return medians[name];
    };
    std::vector<std::string> ratios;
    for (const Peer& pair : pairs) {
        std::optional<std::uint32_t> tool = median(pair.tool), peer = median(pair.peer);
        if (!tool || !peer)
            continue;
        char ratio[160];
        if (*peer == 0)
            std::snprintf(ratio, sizeof ratio, "%s: n/a (%.2f s against under 0.01 s)", pair.label, *tool / 100.0);
        else
            std::snprintf(ratio, sizeof ratio, "%s: %.2f (%.2f s against %.2f s)", pair.label,
                          static_cast<double>(*tool) / *peer, *tool / 100.0, *peer / 100.0);
        ratios.push_back(ratio);
    }
    return ratios;
}

}  // namespace vmcheck

// SPDX-License-Identifier: MIT
// vm-check RESULTS: checks what the test VM reported (tests/vm/init.sh)
// against the rules of the inventory, the address decoding and the trace.
//
// For each phase (both sessions logged in; one session failed) the dump taken
// before and the one taken after the programs ran say what sysfs held; the
// inventory must list exactly the entries of the four iSCSI classes, and for
// each exactly: its class and path, every attribute file that could be read
// with its content (final newline dropped; a value that changed between the
// two dumps may show either), every file its owner may not read with an empty
// value, no file whose read failed otherwise (EIO, ENOTCONN), and the same
// for the device behind it with its identity (bus from the subsystem link).
// sysfs-buses must split every SCSI device name as the kernel names it, and
// iscsiadm must agree on targets, portals and session states.
//
// The churn phase ran the programs over and over while sessions logged out
// and in and LUNs came and went, each run between two dumps.  Every run must
// have ended with status 0 and listed nothing twice; every object both dumps
// show (the same object: same path, and for a host the same session beneath
// it) must be listed with each attribute as one of the dumps shows it (left
// out only where a dump shows a read error or no such file).  The SAN phase
// is the logged-in check with 256 LUNs on four sessions, timed.
//
// In every phase a set CHAP secret (password, password_in) must show as
// "********".  The chap phase adds a session that logged in with mutual CHAP
// (after the target refused a wrong password and the initiator a target that
// did not know its password_in): the dump, read as root, must hold both of
// its secrets; neither may appear in any other section (the text, --json,
// --sessions, --prometheus and facts outputs, the trace logs of the tool and
// of vm-chap-probe, iscsiadm),
// where each must show as "********" and a "(null)" as it is; --show-secrets
// must print the whole inventory with the secrets as they are; the probe's
// query must hand back the values sysfs holds (compared by hash); the facts
// script must leave no file; the tool's logs must have mode 600.
//
// The multipath phase logged in to one LUN through two portals, and
// multipath-tools made one dm-multipath map of the two disks.  Besides the
// logged-in checks, the joined session records of --json must show, for every
// session, the disks iscsiadm attached to it, each with the WWID, block
// device and holders an independent dump of the disks read, and the
// /dev/disk/by-path name made of the portal and target the dump shows; the
// two paths one WWID and one holder, a map whose dm uuid starts "mpath-";
// --prometheus the same disks, and every session's state as the dump shows
// it, before and after one portal was disabled (that path FAILED, the other
// LOGGED_IN).  Before and after, --luns must show every LUN the dumps taken
// beside it make, line for line (2 of 2 paths running, then 1 of 2), the
// LUN and disk metrics the same counts, states, flags and sizes, and --check
// (text, --json, against a baseline saved before) exit 0 saying OK, then 2
// saying CRITICAL with perfdata that counts what the dumps show and findings
// that name the failed session and the LUN, worst first; other findings may
// be there.  In the multipath and SAN phases the tool's views were timed
// against iscsiadm and multipath -ll: every run must have ended well, and
// the ratios of the medians are printed.
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "fnv1a.h"

namespace {

int g_failures = 0;

void Fail(const std::string& phase, const std::string& what)
{
    ++g_failures;
    std::cout << "FAIL [" << phase << "] " << what << "\n";
}

// ---------------------------------------------------------------- the dump

struct File {
    int mode = 0;
    bool ok = false;
    std::string value;  // content when ok, the error text otherwise
};
using Files = std::map<std::string, File>;

struct Object {
    std::string cls, name, path;
    Files files;
    bool hasDevice = false;
    std::string devicePath, subsystem, driver;
    Files deviceFiles;
};

struct Dump {
    std::map<std::pair<std::string, std::string>, Object> objects;  // (class, name)
    std::map<std::string, std::string> busDevices;                  // name -> driver link
    std::map<std::string, std::string> busPaths;                    // name -> resolved path
    std::map<std::string, std::string> busStates;                   // name -> its state file
    std::map<std::string, std::set<std::string>> busBlocks;         // name -> block devices
};

std::string Hex(const std::string& hex)
{
    std::string bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return bytes;
}

std::string Word(std::istringstream& in)
{
    std::string word;
    in >> word;
    return word;
}

std::string Rest(std::istringstream& in)
{
    std::string rest;
    std::getline(in >> std::ws, rest);
    return rest;
}

Dump ParseDump(const std::string& text)
{
    Dump dump;
    Object* current = nullptr;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream in(line);
        std::string tag = Word(in);
        if (tag == "ENTRY") {
            std::string cls = Word(in), name = Word(in);
            current = &dump.objects[{cls, name}];
            current->cls = cls;
            current->name = name;
        } else if (tag == "BUSDEV") {
            std::string name = Word(in);
            dump.busDevices[name] = Rest(in);
        } else if (tag == "BUSPATH") {
            std::string name = Word(in);
            dump.busPaths[name] = Rest(in);
        } else if (tag == "BUSSTATE") {
            std::string name = Word(in);
            dump.busStates[name] = Rest(in);
        } else if (tag == "BUSBLOCK") {
            std::string name = Word(in);
            dump.busBlocks[name].insert(Rest(in));
        } else if (current == nullptr) {
            continue;
        } else if (tag == "REALPATH") {
            current->path = Rest(in);
        } else if (tag == "DEVICE") {
            current->hasDevice = true;
            current->devicePath = Rest(in);
        } else if (tag == "SUBSYSTEM") {
            current->subsystem = Rest(in);
        } else if (tag == "DRIVER") {
            current->driver = Rest(in);
        } else if (tag == "C" || tag == "D") {
            std::string name = Word(in);
            File file;
            // A file gone between the directory listing and its stat has
            // no mode: count it as one its owner may read.
            std::string mode = Word(in);
            bool octal = !mode.empty() && mode.find_first_not_of("01234567") == std::string::npos;
            file.mode = octal ? std::stoi(mode, nullptr, 8) : 0400;
            file.ok = (octal ? Word(in) : mode) == "OK";
            file.value = file.ok ? Hex(Rest(in)) : Rest(in);
            (tag == "C" ? current->files : current->deviceFiles)[name] = file;
        }
    }
    return dump;
}

std::string BaseName(const std::string& path)
{
    std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The bus a subsystem link names, read lexically from the device directory.
std::string BusOf(const std::string& devicePath, const std::string& link)
{
    if (link.empty())
        return "";
    std::vector<std::string> parts;
    std::istringstream in(link[0] == '/' ? link : devicePath + "/" + link);
    for (std::string part; std::getline(in, part, '/');) {
        if (part.empty() || part == ".")
            continue;
        if (part == "..") {
            if (!parts.empty())
                parts.pop_back();
        } else {
            parts.push_back(part);
        }
    }
    return parts.size() == 3 && parts[0] == "sys" && parts[1] == "bus" ? parts[2] : "";
}

// What the inventory shows for a file: nothing when its read failed although
// its owner may read it; otherwise its value as the rules make it.
std::optional<std::string> Shown(const File& file)
{
    if (!file.ok)
        return (file.mode & 0400) ? std::nullopt : std::optional<std::string>("");
    std::string value = file.value.substr(0, 4096);
    if (value.empty() || value[0] == '\0')
        return std::string();
    if (value.back() == '\n')
        value.pop_back();
    return value;
}

// A CHAP secret: the kernel shows it to root in clear text; the inventory,
// its JSON, its facts and every trace log show "********" in its place once
// it is set.  An empty value and the kernel's "(null)" (a session without
// CHAP) say that none is set, and show as they are.
const char kMask[] = "********";

bool IsSecret(const std::string& name)
{
    return name == "password" || name == "password_in";
}

bool IsSet(const std::string& value)
{
    return !value.empty() && value != "(null)";
}

std::string Masked(const std::string& name, const std::string& value)
{
    return IsSecret(name) && IsSet(value) ? kMask : value;
}

// What the inventory shows for the file of that name: its secret masked
// unless the program was asked to show secrets.
std::optional<std::string> Shown(const std::string& name, const File& file, bool masked)
{
    std::optional<std::string> value = Shown(file);
    if (masked && value)
        value = Masked(name, *value);
    return value;
}

// ------------------------------------------------------ expected inventory

// A connection's expected status sequence number moves on its own (every
// response advances it, the NOP-Ins that answer the initiator's pings every
// few seconds included), so a program run between two dumps may show any
// value from one dump's on to the other's, counted modulo 2^32.  The slower
// the run (TCG on a busy host), the likelier a ping falls inside it.
bool IsCounter(const std::string& cls, const std::string& key)
{
    return cls == "iscsi_connection" && key == "exp_statsn";
}

std::optional<std::uint32_t> Number(const std::string& text)
{
    if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    unsigned long long value = std::stoull(text);
    if (value > UINT32_MAX)
        return std::nullopt;
    return static_cast<std::uint32_t>(value);
}

bool Between(const std::string& value, const std::string& low, const std::string& high)
{
    auto v = Number(value), l = Number(low), h = Number(high);
    return v && l && h && static_cast<std::uint32_t>(*v - *l) <= static_cast<std::uint32_t>(*h - *l);
}

// One printed key with the values it may show.
struct Line {
    Line(std::string k = {}, std::set<std::string> v = {}) : key(std::move(k)), values(std::move(v)) {}
    std::string key;
    std::set<std::string> values;
    bool counter = false;      // also anything from low on to high (IsCounter)
    std::string low, high;
    bool required = true;      // churn: both dumps show it
};

bool Accepts(const Line& line, const std::string& value)
{
    return line.values.count(value) || (line.counter && Between(value, line.low, line.high));
}

struct Block {
    std::string heading;
    std::vector<Line> lines;
};

// Adds a map's keys in order; file values from both dumps are acceptable.
void AddFiles(std::map<std::string, std::set<std::string>>& map, const Files& before,
              const Files* after, bool masked)
{
    for (const auto& [name, file] : before) {
        std::optional<std::string> shown = Shown(name, file, masked);
        std::optional<std::string> shownAfter;
        if (after != nullptr && after->count(name))
            shownAfter = Shown(name, after->at(name), masked);
        if (!shown && !shownAfter)
            continue;
        std::set<std::string>& values = map[name];
        if (shown)
            values.insert(*shown);
        if (shownAfter)
            values.insert(*shownAfter);
    }
}

void Append(Block& block, const std::map<std::string, std::set<std::string>>& map)
{
    for (const auto& [key, values] : map)
        block.lines.push_back({key, values});
}

std::vector<Block> Expected(const Dump& before, const Dump& after, bool counters,
                            bool masked = true)
{
    const std::pair<const char*, const char*> classes[] = {
        {"iscsi_host", "NAME DEVICE CLASS:: "},
        {"iscsi_transport", "NAME TRANSPORT CLASS  :: "},
        {"iscsi_connection", "NAME CONNECTION CLASS :: "},
        {"iscsi_session", "NAME SESSION CLASS :: "}};
    std::vector<Block> blocks;
    for (const auto& [cls, heading] : classes) {
        for (const auto& [key, object] : before.objects) {
            if (key.first != cls)
                continue;
            auto later = after.objects.find(key);
            const Object* next = later == after.objects.end() ? nullptr : &later->second;
            Block block{heading + object.name, {}};
            block.lines.push_back({"classname", {cls}});
            block.lines.push_back({"path", {object.path}});
            std::map<std::string, std::set<std::string>> attrs;
            AddFiles(attrs, object.files, next ? &next->files : nullptr, masked);
            Append(block, attrs);
            for (Line& line : block.lines) {
                if (!counters || !next || !IsCounter(cls, line.key) ||
                    !object.files.count(line.key) || !next->files.count(line.key))
                    continue;
                auto low = Shown(object.files.at(line.key)), high = Shown(next->files.at(line.key));
                if (low && high) {
                    line.counter = true;
                    line.low = *low;
                    line.high = *high;
                }
            }
            if (object.hasDevice) {
                std::map<std::string, std::set<std::string>> device;
                device["bus"] = {BusOf(object.devicePath, object.subsystem)};
                device["bus_id"] = {BaseName(object.devicePath)};
                device["name"] = {BaseName(object.devicePath)};
                device["driver_name"] = {object.driver.empty() ? "unknown" : BaseName(object.driver)};
                device["path"] = {object.devicePath};
                AddFiles(device, object.deviceFiles, next ? &next->deviceFiles : nullptr, masked);
                Append(block, device);
            }
            blocks.push_back(block);
        }
    }
    return blocks;
}

// ---------------------------------------------------------- the inventory

struct Printed {
    std::string heading;
    std::vector<std::pair<std::string, std::string>> lines;
};

// report: lines outside any entry fail the phase (once per text: a second
// parse of the same text passes false).
std::vector<Printed> ParseInventory(const std::string& text, const std::string& phase,
                                    bool report = true)
{
    std::vector<Printed> blocks;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        std::size_t separator = line.find(":: \t");
        if (line.rfind("NAME ", 0) == 0) {
            blocks.push_back({line, {}});
        } else if (!blocks.empty() && line[0] == '\t' && separator != std::string::npos) {
            blocks.back().lines.emplace_back(line.substr(1, separator - 1),
                                             line.substr(separator + 4));
        } else if (!blocks.empty() && !blocks.back().lines.empty()) {
            blocks.back().lines.back().second += "\n" + line;  // a value with a newline
        } else if (report) {
            Fail(phase, "inventory line outside any entry: " + line);
        }
    }
    return blocks;
}

void CheckInventory(const std::string& phase, const std::vector<Block>& expected,
                    const std::vector<Printed>& printed)
{
    if (expected.size() != printed.size())
        Fail(phase, "inventory has " + std::to_string(printed.size()) + " entries, sysfs " +
                        std::to_string(expected.size()));
    for (std::size_t i = 0; i < std::min(expected.size(), printed.size()); ++i) {
        const Block& want = expected[i];
        const Printed& got = printed[i];
        if (want.heading != got.heading) {
            Fail(phase, "entry " + std::to_string(i) + ": \"" + got.heading + "\", expected \"" +
                            want.heading + "\"");
            continue;
        }
        std::size_t n = std::max(want.lines.size(), got.lines.size());
        for (std::size_t j = 0; j < n; ++j) {
            if (j >= got.lines.size()) {
                Fail(phase, want.heading + ": missing " + want.lines[j].key);
            } else if (j >= want.lines.size()) {
                Fail(phase, want.heading + ": unexpected " + got.lines[j].first);
            } else if (want.lines[j].key != got.lines[j].first) {
                Fail(phase, want.heading + ": key " + got.lines[j].first + ", expected " +
                                want.lines[j].key);
                break;
            } else if (!Accepts(want.lines[j], got.lines[j].second)) {
                // A failure names a secret, it does not spell it out.
                auto quoted = [&](const std::string& value) {
                    return IsSecret(want.lines[j].key) && IsSet(value) && value != kMask
                               ? std::string("(the secret)")
                               : "\"" + value + "\"";
                };
                Fail(phase, want.heading + ": " + got.lines[j].first + " = " +
                                quoted(got.lines[j].second) + ", expected " +
                                quoted(*want.lines[j].values.begin()));
            }
        }
    }
}

std::map<std::string, std::string> Values(const std::vector<Printed>& printed,
                                          const std::string& heading)
{
    std::map<std::string, std::string> values;
    for (const Printed& block : printed) {
        if (block.heading == heading) {
            for (const auto& [key, value] : block.lines)
                values.emplace(key, value);  // the first of a key: the class device's own
        }
    }
    return values;
}

// ---------------------------------------------------- what the VM reported

std::map<std::string, std::string> Sections(const std::string& path, std::vector<std::string>& marks,
                                            std::map<std::string, int>& statuses)
{
    std::ifstream in(path, std::ios::binary);
    std::map<std::string, std::string> sections;
    std::string current, line;
    bool inside = false;
    while (std::getline(in, line)) {
        if (line.rfind("==== BEGIN ", 0) == 0) {
            current = line.substr(11);
            sections[current];
            inside = true;
        } else if (line.rfind("==== END ", 0) == 0) {
            inside = false;
            std::size_t rc = line.rfind(" rc=");
            if (rc != std::string::npos && Number(line.substr(rc + 4)))
                statuses[line.substr(9, rc - 9)] = static_cast<int>(*Number(line.substr(rc + 4)));
        } else if (inside) {
            sections[current] += line + "\n";
        } else if (line.rfind("==== ", 0) == 0) {
            marks.push_back(line.substr(5));
        }
    }
    return sections;
}

void CheckPhase(const std::string& phase, std::map<std::string, std::string>& sections)
{
    Dump before = ParseDump(sections[phase + " dump-before"]);
    Dump after = ParseDump(sections[phase + " dump-after"]);
    std::vector<Printed> printed = ParseInventory(sections[phase + " inventory"], phase);
    CheckInventory(phase, Expected(before, after, true), printed);

    // What the scenario must have shown for the check to mean anything.
    int hosts = 0, sessions = 0, connections = 0, transports = 0;
    for (const auto& [key, object] : before.objects) {
        hosts += key.first == "iscsi_host";
        sessions += key.first == "iscsi_session";
        transports += key.first == "iscsi_transport" && key.second == "tcp";
        if (key.first == "iscsi_connection") {
            ++connections;
            if (!std::regex_match(key.second, std::regex("connection[0-9]+:0")))
                Fail(phase, "unexpected connection name " + key.second);
        }
        if (key.first == "iscsi_host" && Values(printed, "NAME DEVICE CLASS:: " + key.second)["bus"] != "scsi")
            Fail(phase, "host " + key.second + " not on bus scsi");
    }
    if (hosts < 2 || sessions < 2 || connections < 2 || transports != 1)
        Fail(phase, "sysfs shows fewer objects than two logged-in sessions make");

    // The trace: one finished attribute query per printed entry.
    const std::string& log = sections[phase + " log"];
    std::size_t finished = 0;
    for (std::size_t at = 0; (at = log.find("\tLeaving SysfsReader::GetClsDeviceAttr\n", at)) !=
                             std::string::npos;
         ++at)
        ++finished;
    if (log.rfind("\nTime: ", 0) != 0 || finished != printed.size())
        Fail(phase, "SysReader.log does not hold the trace of every entry (" +
                        std::to_string(finished) + " of " + std::to_string(printed.size()) + ")");

    // sysfs-buses: every SCSI device named controller:bus:target:lun.
    const std::string& buses = sections[phase + " buses"];
    const std::regex cbtl("([0-9]+):([0-9]+):([0-9]+):([0-9]+)");
    int disks = 0;
    for (const auto& [name, driver] : before.busDevices) {
        std::smatch m;
        if (!std::regex_match(name, m, cbtl))
            continue;
        ++disks;
        std::string line = "  " + name + " driver=" + (driver.empty() ? "-" : BaseName(driver));
        std::string fields = " controller=" + m[1].str() + " bus=" + m[2].str() + " target=" +
                             m[3].str() + " lun=" + m[4].str() + " ";
        std::size_t at = buses.find("\n" + line + " ");
        if (at == std::string::npos ||
            buses.substr(at, buses.find('\n', at + 1) - at).find(fields) == std::string::npos)
            Fail(phase, "sysfs-buses does not show " + line + fields);
    }
    if (disks < 2)
        Fail(phase, "fewer than two SCSI disks on the scsi bus");
    std::string count = "scsi: " + std::to_string(before.busDevices.size()) + " devices\n";
    if (buses.find(count) == std::string::npos)
        Fail(phase, "sysfs-buses does not count " + count);

    // iscsiadm: targets, persistent portals and states per session id.
    std::istringstream adm(sections[phase + " iscsiadm"]);
    // A target's sessions follow its "Target:" line, each with its portal
    // and SID (two for the multipath LUN's target).
    std::string targetName, target, portal, line;
    int compared = 0;
    while (std::getline(adm, line)) {
        std::smatch m;
        if (std::regex_search(line, m, std::regex("^Target: (\\S+)")))
            target = targetName = m[1];
        else if (std::regex_search(line, m, std::regex("Persistent Portal: (\\S+):(\\d+),(\\d+)")))
            portal = m[1].str() + " " + m[2].str() + " " + m[3].str();
        else if (std::regex_search(line, m, std::regex("SID: (\\d+)")))
            target = targetName + " " + m[1].str();
        else if (std::regex_search(line, m, std::regex("iSCSI Session State: (\\S+)"))) {
            std::string sid = target.substr(target.rfind(' ') + 1);
            auto session = Values(printed, "NAME SESSION CLASS :: session" + sid);
            auto connection = Values(printed, "NAME CONNECTION CLASS :: connection" + sid + ":0");
            std::string want = target.substr(0, target.rfind(' ')) + " " + portal + " " + m[1].str();
            std::string got = session["targetname"] + " " + connection["persistent_address"] + " " +
                              connection["persistent_port"] + " " + session["tpgt"] + " " +
                              session["state"];
            if (want != got)
                Fail(phase, "iscsiadm says \"" + want + "\", the inventory \"" + got + "\"");
            ++compared;
        }
    }
    if (compared < 2)
        Fail(phase, "iscsiadm listed fewer than two sessions");
}

// ------------------------------------------------------------- churn phase

const std::pair<const char*, const char*> kPasses[] = {
    {"iscsi_host", "NAME DEVICE CLASS:: "},
    {"iscsi_transport", "NAME TRANSPORT CLASS  :: "},
    {"iscsi_connection", "NAME CONNECTION CLASS :: "},
    {"iscsi_session", "NAME SESSION CLASS :: "}};

// The sessions beneath the SCSI host a path runs through ("" when it runs
// through none).  Host numbers are handed out again once free, so a host, and
// everything below it, is the same object in two dumps only when the same
// session sits beneath it in both.
std::string Incarnation(const Dump& dump, const std::string& path)
{
    static const std::regex host("(.*?/host[0-9]+)(/.*)?");
    std::smatch m;
    if (!std::regex_match(path, m, host))
        return "";
    std::string sessions;
    for (const auto& [key, object] : dump.objects)
        if (key.first == "iscsi_session" && object.path.rfind(m[1].str() + "/", 0) == 0)
            sessions += key.second + " ";
    return sessions.empty() ? "none" : sessions;
}

bool SamePath(const Dump& before, const std::string& pathBefore, const Dump& after,
              const std::string& pathAfter)
{
    if (pathBefore.empty() || pathBefore != pathAfter)
        return false;
    std::string incarnation = Incarnation(before, pathBefore);
    return incarnation != "none" && incarnation == Incarnation(after, pathAfter);
}

const Object* Find(const Dump& dump, const std::string& cls, const std::string& name)
{
    auto at = dump.objects.find({cls, name});
    return at == dump.objects.end() ? nullptr : &at->second;
}

std::string Describe(const Files& files, const std::string& name)
{
    auto at = files.find(name);
    if (at == files.end())
        return "no such file";
    if (!at->second.ok)
        return "read error (" + at->second.value + ")";
    std::optional<std::string> shown = Shown(at->second);
    return "\"" + shown.value_or("") + "\"";
}

// The lines an object both dumps show must print, in order; a key is
// required where both dumps show a value, optional where one of them shows
// none (no such file, or a read error).
void AddChurnFiles(std::map<std::string, Line>& map, const std::string& cls, const Files& before,
                   const Files& after)
{
    std::set<std::string> names;
    for (const auto& [name, file] : before)
        names.insert(name);
    for (const auto& [name, file] : after)
        names.insert(name);
    for (const std::string& name : names) {
        std::optional<std::string> b, a;
        if (before.count(name))
            b = Shown(name, before.at(name), true);
        if (after.count(name))
            a = Shown(name, after.at(name), true);
        if (!b && !a)
            continue;
        Line line{name, {}};
        line.required = b && a;
        if (b)
            line.values.insert(*b);
        if (a)
            line.values.insert(*a);
        if (b && a && IsCounter(cls, name)) {
            line.counter = true;
            line.low = *b;
            line.high = *a;
        }
        map[name] = line;
    }
}

std::vector<Line> ChurnLines(const std::string& cls, const Object& before, const Object& after)
{
    std::vector<Line> lines{{"classname", {cls}}, {"path", {before.path}}};
    std::map<std::string, Line> attrs;
    AddChurnFiles(attrs, cls, before.files, after.files);
    for (const auto& [key, line] : attrs)
        lines.push_back(line);
    if (before.hasDevice || after.hasDevice) {
        std::map<std::string, Line> device;
        bool both = before.hasDevice && after.hasDevice;
        for (const Object* object : {&before, &after}) {
            if (!object->hasDevice)
                continue;
            device["bus"].values.insert(BusOf(object->devicePath, object->subsystem));
            device["bus_id"].values.insert(BaseName(object->devicePath));
            device["name"].values.insert(BaseName(object->devicePath));
            device["driver_name"].values.insert(object->driver.empty() ? "unknown"
                                                                       : BaseName(object->driver));
            device["path"].values.insert(object->devicePath);
        }
        for (auto& [key, line] : device) {
            line.key = key;
            line.required = both;
        }
        AddChurnFiles(device, cls, before.deviceFiles, after.deviceFiles);
        for (const auto& [key, line] : device)
            lines.push_back(line);
    }
    return lines;
}

std::string Choices(const Line& line)
{
    std::string text;
    for (const std::string& value : line.values)
        text += (text.empty() ? "\"" : " or \"") + value + "\"";
    if (line.counter)
        text += " (or a count between)";
    return text;
}

void CheckChurnObject(const std::string& run, const std::string& cls, const std::string& name,
                      const Object& before, const Object& after, const Printed& got)
{
    std::vector<Line> want = ChurnLines(cls, before, after);
    auto dumps = [&](const std::string& key) {
        return " (dumps: before " + Describe(before.files, key) + ", after " +
               Describe(after.files, key) + ")";
    };
    std::size_t next = 0;
    for (const auto& [key, value] : got.lines) {
        std::size_t at = next;
        while (at < want.size() && want[at].key != key)
            ++at;
        if (at == want.size()) {
            Fail(run, cls + " " + name + ": " + key + " = \"" + value +
                          "\" printed, which neither dump allows there" + dumps(key));
            continue;
        }
        for (; next < at; ++next)
            if (want[next].required)
                Fail(run, cls + " " + name + ": " + want[next].key + " missing" + dumps(want[next].key));
        if (!Accepts(want[at], value))
            Fail(run, cls + " " + name + ": " + key + " = \"" + value + "\", the dumps show " +
                          Choices(want[at]));
        next = at + 1;
    }
    for (; next < want.size(); ++next)
        if (want[next].required)
            Fail(run, cls + " " + name + ": " + want[next].key + " missing" + dumps(want[next].key));
}

void CheckChurnInventory(const std::string& run, const Dump& before, const Dump& after,
                         const std::string& text, const std::string& trace)
{
    std::vector<Printed> printed = ParseInventory(text, run);
    std::set<std::pair<std::string, std::string>> listed;
    std::pair<int, std::string> last{-1, ""};
    for (const Printed& block : printed) {
        int pass = -1;
        std::string cls, name;
        for (int i = 0; i < 4; ++i) {
            if (block.heading.rfind(kPasses[i].second, 0) == 0) {
                pass = i;
                cls = kPasses[i].first;
                name = block.heading.substr(std::string(kPasses[i].second).size());
            }
        }
        if (pass < 0) {
            Fail(run, "unexpected entry \"" + block.heading + "\"");
            continue;
        }
        std::pair<int, std::string> position{pass, name};
        if (position == last)
            Fail(run, cls + " " + name + " printed twice");
        else if (position < last)
            Fail(run, cls + " " + name + " printed after " + kPasses[last.first].first + " " +
                          last.second);
        last = std::max(last, position);
        if (!listed.insert({cls, name}).second)
            continue;
        if (!block.lines.empty() && block.lines[0] != std::make_pair(std::string("classname"), cls))
            Fail(run, cls + " " + name + ": first line " + block.lines[0].first + " = \"" +
                          block.lines[0].second + "\", expected classname " + cls);
        const Object* b = Find(before, cls, name);
        const Object* a = Find(after, cls, name);
        if (b && a && SamePath(before, b->path, after, a->path))
            CheckChurnObject(run, cls, name, *b, *a, block);
    }
    for (const auto& [key, object] : before.objects) {
        const Object* a = Find(after, key.first, key.second);
        if (key.first.rfind("iscsi_", 0) == 0 && a && SamePath(before, object.path, after, a->path) &&
            !listed.count(key))
            Fail(run, key.first + " " + key.second + " is in both dumps but not listed");
    }
    // The trace: one attribute query per printed entry, each ended.  A
    // class device gone between the list and the query ends it with "Class
    // Device not found:" (and the entry shows only classname and path).
    std::vector<std::string> ends;
    bool open = false;
    std::istringstream lines(trace);
    for (std::string line; std::getline(lines, line);) {
        std::string message = line.substr(line.rfind('\t') + 1);
        if (message == "Entering SysfsReader::GetClsDeviceAttr") {
            if (open)
                Fail(run, "SysReader.log: an attribute query without an end");
            open = true;
        } else if (open && (message == "Leaving SysfsReader::GetClsDeviceAttr" ||
                            message.rfind("Class Device not found: ", 0) == 0 ||
                            message.rfind("No devices found under device class: ", 0) == 0)) {
            ends.push_back(message);
            open = false;
        }
    }
    if (open || ends.size() != printed.size())
        Fail(run, "SysReader.log traces " + std::to_string(ends.size()) +
                      " ended attribute queries for " + std::to_string(printed.size()) + " entries");
    for (std::size_t i = 0; i < std::min(ends.size(), printed.size()); ++i) {
        std::string name = printed[i].heading.substr(printed[i].heading.rfind(' ') + 1);
        if (ends[i].rfind("Class Device not found: ", 0) == 0 &&
            ends[i] != "Class Device not found: " + name)
            Fail(run, "SysReader.log: the query for " + name + " ends \"" + ends[i] + "\"");
    }
}

// The order sysfs-buses lists the SCSI bus in: names of four numbers
// ("host:channel:target:lun") by those numbers, numerically equal ones byte-wise;
// then every other name (hosts, targets), byte-wise.
bool ScsiListedBefore(const std::string& a, const std::string& b)
{
    static const std::regex cbtl("([0-9]+):([0-9]+):([0-9]+):([0-9]+)");
    std::smatch ma, mb;
    const bool numericA = std::regex_match(a, ma, cbtl), numericB = std::regex_match(b, mb, cbtl);
    if (numericA != numericB)
        return numericA;
    // Numbers of any length: without leading zeros, the shorter is the smaller.
    auto digits = [](const std::string& number) {
        std::size_t first = number.find_first_not_of('0');
        return first == std::string::npos ? std::string() : number.substr(first);
    };
    if (numericA)
        for (int i = 1; i <= 4; ++i) {
            std::string x = digits(ma[i].str()), y = digits(mb[i].str());
            if (x.size() != y.size())
                return x.size() < y.size();
            if (x != y)
                return x < y;
        }
    return a < b;
}

void CheckChurnBuses(const std::string& run, const Dump& before, const Dump& after,
                     const std::string& text)
{
    static const std::regex heading("scsi: ([0-9]+) devices?");
    static const std::regex cbtl("([0-9]+):([0-9]+):([0-9]+):([0-9]+)");
    std::istringstream lines(text);
    std::string line;
    std::smatch m;
    if (!std::getline(lines, line) || !std::regex_match(line, m, heading)) {
        Fail(run, "sysfs-buses does not begin with the scsi count: \"" + line + "\"");
        return;
    }
    std::size_t count = std::stoul(m[1]);
    std::map<std::string, std::map<std::string, std::string>> listed;
    std::string last;
    std::size_t devices = 0;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::string name = Word(words);
        if (line.rfind("  ", 0) != 0 || name.empty()) {
            Fail(run, "sysfs-buses: unexpected line \"" + line + "\"");
            continue;
        }
        ++devices;
        if (name == last || listed.count(name))
            Fail(run, "sysfs-buses lists " + name + " twice");
        else if (!last.empty() && ScsiListedBefore(name, last))
            Fail(run, "sysfs-buses lists " + name + " after " + last);
        if (last.empty() || ScsiListedBefore(last, name))
            last = name;
        std::map<std::string, std::string>& fields = listed[name];
        for (std::string word; words >> word;) {
            std::size_t equals = word.find('=');
            fields[word.substr(0, equals)] = equals == std::string::npos ? "" : word.substr(equals + 1);
        }
        std::string address;
        if (std::regex_match(name, m, cbtl))
            address = m[1].str() + " " + m[2].str() + " " + m[3].str() + " " + m[4].str();
        std::string shown = fields.count("controller") ? fields["controller"] + " " + fields["bus"] +
                                                             " " + fields["target"] + " " + fields["lun"]
                                                       : "";
        if (shown != address)
            Fail(run, "sysfs-buses: " + name + " shows controller/bus/target/lun \"" + shown +
                          "\", expected \"" + address + "\"");
    }
    if (count != devices)
        Fail(run, "sysfs-buses counts " + std::to_string(count) + " devices and lists " +
                      std::to_string(devices));
    for (const auto& [name, driver] : before.busDevices) {
        auto b = before.busPaths.find(name);
        auto a = after.busPaths.find(name);
        if (!after.busDevices.count(name) || b == before.busPaths.end() || a == after.busPaths.end() ||
            !SamePath(before, b->second, after, a->second))
            continue;
        auto got = listed.find(name);
        if (got == listed.end()) {
            Fail(run, "sysfs-buses: " + name + " is in both dumps but not listed");
            continue;
        }
        std::set<std::string> drivers{driver.empty() ? "-" : BaseName(driver)};
        const std::string& later = after.busDevices.at(name);
        drivers.insert(later.empty() ? "-" : BaseName(later));
        if (!drivers.count(got->second["driver"]))
            Fail(run, "sysfs-buses: " + name + " driver=" + got->second["driver"] +
                          ", the dumps show " + *drivers.begin() + " / " + *drivers.rbegin());
        if (got->second["path"] != b->second)
            Fail(run, "sysfs-buses: " + name + " path=" + got->second["path"] + ", the dumps show " +
                          b->second);
    }
}

// Runs of each program the churn phase must have made (run.sh asks for 20
// in all by default: two kernels share the time CI allows).
const int kChurnRunsEach = 10;

struct ChurnFigures {
    int inventoryRuns = 0, busesRuns = 0, changedRuns = 0;
    std::set<std::string> sessions, luns;
};

void CheckChurn(std::map<std::string, std::string>& sections, const std::map<std::string, int>& statuses,
                ChurnFigures& figures)
{
    if (!sections.count("churn dump-0")) {
        Fail("churn", "no results");
        return;
    }
    static const std::regex lun("[0-9]+:[0-9]+:[0-9]+:([0-9]+)");
    Dump previous = ParseDump(sections["churn dump-0"]);
    for (int number = 1;; ++number) {
        std::string n = std::to_string(number);
        bool inventory = sections.count("churn inventory-" + n) != 0;
        if (!inventory && !sections.count("churn buses-" + n))
            break;
        std::string program = inventory ? "iscsi-inventory" : "sysfs-buses";
        std::string run = "churn run " + n + " " + program;
        if (!sections.count("churn dump-" + n)) {
            Fail(run, "no dump after the run");
            break;
        }
        Dump next = ParseDump(sections["churn dump-" + n]);
        std::string key = std::string("churn ") + (inventory ? "inventory-" : "buses-") + n;
        auto status = statuses.find(key);
        if (status == statuses.end())
            Fail(run, "no exit status");
        else if (status->second == 124 || status->second == 137 || status->second == 143)
            Fail(run, "did not finish within its bound (killed, exit status " +
                          std::to_string(status->second) + ")");
        else if (status->second != 0)
            Fail(run, "exit status " + std::to_string(status->second));
        if (inventory) {
            ++figures.inventoryRuns;
            CheckChurnInventory(run, previous, next, sections[key], sections["churn trace-" + n]);
        } else {
            ++figures.busesRuns;
            CheckChurnBuses(run, previous, next, sections[key]);
        }
        std::set<std::string> was, is;
        for (const auto& [object, _] : previous.objects)
            was.insert(object.first + " " + object.second);
        for (const auto& [object, _] : next.objects)
            is.insert(object.first + " " + object.second);
        for (const auto& [name, path] : previous.busPaths)
            was.insert(path);
        for (const auto& [name, path] : next.busPaths)
            is.insert(path);
        figures.changedRuns += was != is;
        // Sessions by the ids in the paths: a short-lived one may show up
        // only in its connection or its SCSI devices.
        static const std::regex session("/session([0-9]+)(/|$)");
        auto sessions = [&](const std::string& path) {
            std::smatch m;
            if (std::regex_search(path, m, session))
                figures.sessions.insert(m[1]);
        };
        for (const auto& [_, object] : next.objects)
            sessions(object.path);
        for (const auto& [_, path] : next.busPaths)
            sessions(path);
        for (const auto& [name, _] : next.busDevices) {
            std::smatch m;
            if (std::regex_match(name, m, lun) && m[1] != "0")
                figures.luns.insert(m[1]);
        }
        previous = std::move(next);
    }
    // What the loop must have done for the phase to mean anything.
    if (figures.inventoryRuns < kChurnRunsEach || figures.busesRuns < kChurnRunsEach)
        Fail("churn", "only " + std::to_string(figures.inventoryRuns) + " iscsi-inventory and " +
                          std::to_string(figures.busesRuns) + " sysfs-buses runs (" +
                          std::to_string(kChurnRunsEach) + " each needed)");
    if (figures.sessions.size() < 6)
        Fail("churn", "the dumps show only " + std::to_string(figures.sessions.size()) +
                          " sessions: sessions did not log out and in");
    if (figures.luns.size() < 5)
        Fail("churn", "the dumps show only " + std::to_string(figures.luns.size()) +
                          " added LUNs: LUNs did not come and go");
    if (figures.changedRuns < 10)
        Fail("churn", "sysfs changed during only " + std::to_string(figures.changedRuns) + " runs");
}

// ------------------------------------------------------------------ peers

// The commands administrators would run instead of the tool, timed in the
// VM in turn with it, three runs each: "NAME CENTISECONDS STATUS" a line
// (init.sh's race).  Every run must have ended with status 0 (a command that
// failed fast proves nothing); a ratio is the tool's median time over its
// peer's, so that below 1 the tool is the quicker.  Returns one text per
// pair: "--sessions vs iscsiadm -P 3: 0.48 (0.10 s against 0.21 s)".
struct Peer {
    const char* tool;   // the name of the tool's runs
    const char* peer;   // the name of its peer's
    const char* label;  // how the ratio is named
};

std::vector<std::string> CheckPeers(const std::string& phase, const std::string& text,
                                    const std::vector<Peer>& pairs)
{
    std::map<std::string, std::vector<std::uint32_t>> runs;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream in(line);
        std::string name = Word(in), hundredths = Word(in), status = Word(in);
        if (!Number(hundredths) || !Number(status) || !Rest(in).empty()) {
            Fail(phase, "a timed run reads \"" + line + "\"");
            continue;
        }
        runs[name].push_back(*Number(hundredths));
        if (*Number(status) != 0)
            Fail(phase, "a timed run of " + name + " ended with status " + status);
    }
    auto median = [&](const std::string& name) -> std::optional<std::uint32_t> {
        std::vector<std::uint32_t> times = runs[name];
        if (times.size() != 3) {
            Fail(phase, name + " was timed " + std::to_string(times.size()) + " times, not 3");
            return std::nullopt;
        }
        std::sort(times.begin(), times.end());
        return times[1];
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

std::string Joined(const std::vector<std::string>& texts, const std::string& separator)
{
    std::string joined;
    for (const std::string& text : texts)
        joined += (joined.empty() ? "" : separator) + text;
    return joined;
}

const Peer kSessionsPeer{"sessions", "iscsiadm", "--sessions vs iscsiadm -P 3"};
const Peer kLunsPeer{"luns", "multipath", "--luns vs multipath -ll"};

// --------------------------------------------------------------- SAN phase

struct SanFigures {
    std::size_t disks = 0, sessions = 0;
    std::map<std::string, double> seconds;
    std::vector<std::string> peers;
};

void CheckSan(std::map<std::string, std::string>& sections, SanFigures& figures)
{
    if (!sections.count("san inventory")) {
        Fail("san", "no results");
        return;
    }
    CheckPhase("san", sections);
    Dump dump = ParseDump(sections["san dump-before"]);
    static const std::regex cbtl("[0-9]+:[0-9]+:[0-9]+:[0-9]+");
    for (const auto& [name, driver] : dump.busDevices)
        figures.disks += std::regex_match(name, cbtl) && BaseName(driver) == "sd";
    for (const auto& [key, object] : dump.objects)
        figures.sessions += key.first == "iscsi_session";
    if (figures.disks < 256)
        Fail("san", "only " + std::to_string(figures.disks) + " SCSI disks bound to sd (256 needed)");
    if (figures.sessions < 4)
        Fail("san", "only " + std::to_string(figures.sessions) + " sessions (4 needed)");
    std::istringstream times(sections["san times"]);
    for (std::string name, hundredths; times >> name >> hundredths;)
        if (Number(hundredths))
            figures.seconds[name] = *Number(hundredths) / 100.0;
    for (const char* name : {"dump-before", "dump-after", "iscsi-inventory", "sysfs-buses"})
        if (!figures.seconds.count(name))
            Fail("san", std::string("no time for ") + name);
    // No multipath map here: iscsiadm is the one peer.
    figures.peers = CheckPeers("san peers", sections["san peers"], {kSessionsPeer});
}


// --------------------------------------------------------------- chap phase

// The session that logged in with mutual CHAP: its secrets as the dump read
// them, and what each program must show for every session.
struct ChapFigures {
    std::string session;
    std::string seconds;  // the phase's time, as the VM measured it
    std::size_t masked = 0;  // outputs, trace logs and facts that hid both secrets
};

const char kSecrets[] = "chap secrets";

// A value a program showed for a secret attribute, quoted for a failure
// message: "(the secret)" when it is the set secret sysfs holds, so that a
// failure names a leak without spelling the secret out.
std::string Quote(const std::string& value, const Object* session, const std::string& name)
{
    const Files* files = session ? &session->files : nullptr;
    auto file = files ? files->find(name) : Files::const_iterator();
    std::optional<std::string> actual;
    if (files && file != files->end())
        actual = Shown(file->second);
    return actual && IsSet(*actual) && value == *actual ? "(the secret)" : "\"" + value + "\"";
}

// The trace lines of secret attributes in a trace log, each checked against
// the session whose attribute query it belongs to ("Class device found: X"
// opens it): the value masked as the dump shows it.  Returns how many lines
// of the CHAP session's two secrets it found masked.
int CheckTraceSecrets(const std::string& what, const std::string& log, const Dump& dump,
                      const std::string& chapSession)
{
    int masked = 0;
    std::string current;
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);) {
        std::size_t tab = line.find('\t');
        if (tab == std::string::npos)
            continue;
        std::string message = line.substr(tab + 1);
        if (message.rfind("Class device found: ", 0) == 0) {
            current = message.substr(20);
            continue;
        }
        if (message.rfind("Leaving ", 0) == 0 || message.rfind("Entering ", 0) == 0) {
            current.clear();
            continue;
        }
        std::size_t colon = message.find(": ");
        if (colon == std::string::npos || !IsSecret(message.substr(0, colon)))
            continue;
        std::string name = message.substr(0, colon), value = message.substr(colon + 2);
        const Object* session = current.empty() ? nullptr : Find(dump, "iscsi_session", current);
        if (session == nullptr) {
            Fail(kSecrets, what + " traces " + name + " outside a session's attribute query");
            continue;
        }
        auto file = session->files.find(name);
        std::optional<std::string> want;
        if (file != session->files.end())
            want = Shown(name, file->second, true);
        if (!want || value != *want) {
            Fail(kSecrets, what + " traces the " + name + " of " + current + " as " +
                               Quote(value, session, name) + ", expected \"" +
                               want.value_or("(no line)") + "\"");
        } else if (current == chapSession && value == kMask) {
            ++masked;
        }
    }
    if (masked < 2)
        Fail(kSecrets, what + " does not trace both secrets of " + chapSession + " as " + kMask);
    return masked;
}

// The sessions of a --json document (the tool's or the facts script's): each
// secret as the dump shows it, masked.
bool CheckJsonSecrets(const std::string& what, const std::string& text, const Dump& dump,
                      const std::string& chapSession)
{
    nlohmann::json document = nlohmann::json::parse(text, nullptr, false);
    if (document.is_discarded() || !document.is_object() ||
        !document.contains("iscsi_session") || !document["iscsi_session"].is_array()) {
        Fail(kSecrets, what + " is no JSON document with an iscsi_session array");
        return false;
    }
    int masked = 0;
    for (const auto& session : document["iscsi_session"]) {
        if (!session.is_object() || !session.contains("name") || !session["name"].is_string() ||
            !session.contains("attributes") || !session["attributes"].is_object())
            continue;
        std::string name = session["name"];
        const Object* object = Find(dump, "iscsi_session", name);
        if (object == nullptr)
            continue;
        for (const char* secret : {"password", "password_in"}) {
            auto file = object->files.find(secret);
            if (file == object->files.end())
                continue;
            std::optional<std::string> want = Shown(secret, file->second, true);
            const auto& attributes = session["attributes"];
            bool present = attributes.contains(secret) && attributes[secret].is_string();
            std::string got = present ? attributes[secret].get<std::string>() : "";
            if (want && (!present || got != *want))
                Fail(kSecrets, what + " shows the " + secret + " of " + name + " as " +
                                   (!present ? std::string("nothing")
                                             : Quote(got, object, secret)) +
                                   ", expected \"" + *want + "\"");
            else if (name == chapSession && got == kMask)
                ++masked;
        }
    }
    if (masked < 2)
        Fail(kSecrets, what + " does not show both secrets of " + chapSession + " as " + kMask);
    return masked == 2;
}

// The CHAP lines of --sessions ("\t\tpassword: ********" in the block that
// "Target: NAME (sessionN)" opens), shown as iscsiadm shows them: a set secret
// masked, an unset one (empty, "(null)") as "<empty>", a missing one as
// "<unknown>".
bool CheckSessionsSecrets(const std::string& text, const Dump& dump, const std::string& chapSession)
{
    static const std::regex target("Target: .* \\((\\S+)\\)");
    static const std::regex secret("\t\t(password|password_in): (.*)");
    std::string current;
    int masked = 0;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        std::smatch m;
        if (std::regex_match(line, m, target)) {
            current = m[1];
            continue;
        }
        if (!std::regex_match(line, m, secret))
            continue;
        std::string name = m[1], value = m[2];
        const Object* session = current.empty() ? nullptr : Find(dump, "iscsi_session", current);
        if (session == nullptr) {
            Fail(kSecrets, "the --sessions output shows a " + name + " outside a session's block");
            continue;
        }
        auto file = session->files.find(name);
        std::string want = "<unknown>";
        if (file != session->files.end()) {
            want = Shown(name, file->second, true).value_or("");
            if (!IsSet(want))
                want = "<empty>";
        }
        if (value != want)
            Fail(kSecrets, "the --sessions output shows the " + name + " of " + current + " as " +
                               Quote(value, session, name) + ", expected \"" + want + "\"");
        else if (current == chapSession && value == kMask)
            ++masked;
    }
    if (masked != 2)
        Fail(kSecrets, "the --sessions output does not show both secrets of " + chapSession + " as " +
                           kMask);
    return masked == 2;
}

void CheckChap(std::map<std::string, std::string>& sections, const std::map<std::string, int>& statuses,
               const std::vector<std::string>& marks, ChapFigures& figures)
{
    if (!sections.count("chap inventory")) {
        Fail("chap", "no results");
        return;
    }
    for (const std::string& mark : marks) {
        if (mark.rfind("CHAPSESSION ", 0) == 0)
            figures.session = mark.substr(12);
        if (mark.rfind("CHAPPED in ", 0) == 0)
            figures.seconds = mark.substr(11);
    }
    // The whole inventory as with the other phases, the secrets masked; with
    // --show-secrets the same inventory with the secrets as they are.
    CheckPhase("chap", sections);
    Dump before = ParseDump(sections["chap dump-before"]);
    Dump after = ParseDump(sections["chap dump-after"]);
    CheckInventory("chap --show-secrets", Expected(before, after, true, false),
                   ParseInventory(sections["chap show-secrets"], "chap --show-secrets"));

    // The target asks for CHAP, and the initiator checks the target's answer.
    auto status = [&](const std::string& key) {
        auto found = statuses.find("chap " + key);
        return found == statuses.end() ? -1 : found->second;
    };
    if (status("login") != 0)
        Fail(kSecrets, "the login with both right secrets did not succeed");
    // The target refuses a wrong secret as an authorization failure; the
    // initiator gives up on a target whose answer it cannot verify (the only
    // change from the login that succeeds).
    if (status("login-wrong-password") <= 0 ||
        sections["chap login-wrong-password"].find("authorization failure") == std::string::npos)
        Fail(kSecrets, "the target did not refuse a wrong password as an authorization failure");
    if (status("login-wrong-password-in") <= 0)
        Fail(kSecrets, "the initiator logged in to a target that did not know its password_in");

    // The secrets, read independently: without them in sysfs nothing below
    // could fail.
    const std::string& session = figures.session;
    const Object* object = session.empty() ? nullptr : Find(before, "iscsi_session", session);
    if (object == nullptr) {
        Fail(kSecrets, "the dump shows no CHAP session (\"" + session + "\")");
        return;
    }
    std::map<std::string, std::string> secrets;
    for (const char* name : {"password", "password_in", "username", "username_in", "state"}) {
        auto file = object->files.find(name);
        std::optional<std::string> value;
        if (file != object->files.end())
            value = Shown(file->second);
        if (!value || !IsSet(*value))
            Fail(kSecrets, "the dump shows no " + std::string(name) + " for " + session);
        else if (IsSecret(name))
            secrets[name] = *value;
    }
    if (Shown(object->files.count("state") ? object->files.at("state") : File{}).value_or("") !=
        "LOGGED_IN")
        Fail(kSecrets, session + " is not LOGGED_IN in the dump");
    if (secrets.size() != 2 || secrets["password"] == secrets["password_in"] ||
        secrets["password"].find(kMask) != std::string::npos ||
        secrets["password_in"].find(kMask) != std::string::npos) {
        Fail(kSecrets, "the dump does not show two distinct secrets for " + session);
        return;
    }

    // Nowhere but in the dumps and under --show-secrets.
    const std::set<std::string> allowed{"chap dump-before", "chap dump-after", "chap show-secrets"};
    for (const auto& [name, text] : sections) {
        if (allowed.count(name))
            continue;
        for (const auto& [secret, value] : secrets)
            if (text.find(value) != std::string::npos)
                Fail(kSecrets, "the " + secret + " of " + session + " appears in \"" + name + "\"");
    }
    for (const std::string& mark : marks)
        for (const auto& [secret, value] : secrets)
            if (mark.find(value) != std::string::npos)
                Fail(kSecrets, "the " + secret + " of " + session + " appears in a mark");

    // "********" stands for them where the secrets would be.
    std::vector<Printed> text = ParseInventory(sections["chap inventory"], kSecrets, false);
    std::map<std::string, std::string> shown = Values(text, "NAME SESSION CLASS :: " + session);
    if (shown["password"] == kMask && shown["password_in"] == kMask)
        ++figures.masked;
    else
        Fail(kSecrets, "the inventory does not show both secrets of " + session + " as " + kMask);
    figures.masked += CheckJsonSecrets("the --json output", sections["chap json"], before, session);
    figures.masked += CheckJsonSecrets("the facts script", sections["chap fact"], before, session);
    figures.masked += CheckSessionsSecrets(sections["chap sessions"], before, session);
    for (const auto& [key, what] : std::vector<std::pair<std::string, std::string>>{
             {"chap log", "SysReader.log of the text run"},
             {"chap json-log", "SysReader.log of the --json run"},
             {"chap sessions-log", "SysReader.log of the --sessions run"},
             {"chap prometheus-log", "SysReader.log of the --prometheus run"},
             {"chap show-secrets-log", "SysReader.log of the --show-secrets run"},
             {"chap probe-log", "the probe's trace log"}})
        figures.masked += CheckTraceSecrets(what, sections[key], before, session) >= 2;
    std::istringstream left(sections["chap fact-files"]);
    std::string files;
    for (std::string file; left >> file;)
        files += " " + file;
    if (!files.empty())
        Fail(kSecrets, "the facts script left files behind:" + files);

    // --show-secrets shows them as they are, so the masking is the tool's
    // choice and not a value it could not read.
    std::map<std::string, std::string> revealed =
        Values(ParseInventory(sections["chap show-secrets"], kSecrets, false),
               "NAME SESSION CLASS :: " + session);
    for (const auto& [secret, value] : secrets)
        if (revealed[secret] != value)
            Fail(kSecrets, "--show-secrets does not show the " + secret + " of " + session);

    // The probe's query hands the caller the secrets themselves.
    std::istringstream probe(sections["chap probe"]);
    std::map<std::string, std::string> returned;
    std::string rc;
    for (std::string line; std::getline(probe, line);) {
        std::istringstream words(line);
        std::string tag = Word(words);
        if (tag == "rc")
            rc = Rest(words);
        else if (tag == "C") {
            std::string name = Word(words);
            returned[name] = Rest(words);
        }
    }
    if (rc != "0")
        Fail(kSecrets, "the probe's query of " + session + " returned \"" + rc + "\", not 0");
    for (const auto& [secret, value] : secrets)
        if (returned[secret] != Fnv1a64(value))
            Fail(kSecrets, "the probe's query did not return the " + secret + " that sysfs holds");

    // The tool's logs are its owner's alone.
    std::istringstream modes(sections["chap modes"]);
    int logs = 0;
    for (std::string line; std::getline(modes, line);) {
        std::smatch m;
        if (!std::regex_match(line, m, std::regex("([0-7]+) (\\S+)")))
            Fail(kSecrets, "the modes of the logs: \"" + line + "\"");
        else if (++logs, m[1] != "600")
            Fail(kSecrets, m[2].str() + " has mode " + m[1].str() + ", not 600");
    }
    if (logs != 5)
        Fail(kSecrets, "the modes of " + std::to_string(logs) + " logs, not 5");
}

// ---------------------------------------------------------- multipath phase

const char kMultipathTarget[] = "iqn.2003-01.org.example.vm:multipath";

// A logical unit as dump-sysfs --disks read it: its WWID, its inquiry
// strings (padded as the kernel shows them; none where unread), its block
// device with its size and read-only flag, and the device-mapper devices
// holding that.
struct DiskDump {
    std::string wwid, block;
    std::optional<std::string> vendor, model, rev;
    std::optional<std::uint64_t> sectors;  // 512-byte sectors
    std::optional<bool> readOnly;
    struct Holder {
        std::string device, uuid, name;
    };
    std::vector<Holder> holders;
};

// A hex dump's bytes less the final newline ("-": nothing read).
std::string HexValue(const std::string& hex)
{
    std::string value = hex == "-" ? "" : Hex(hex);
    if (!value.empty() && value.back() == '\n')
        value.pop_back();
    return value;
}

std::map<std::string, DiskDump> ParseDisks(const std::string& text)
{
    std::map<std::string, DiskDump> disks;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream in(line);
        std::string tag = Word(in), name = Word(in);
        if (tag == "DISK") {
            disks[name].wwid = HexValue(Word(in));
        } else if (tag == "INQUIRY") {
            for (std::optional<std::string>* field : {&disks[name].vendor, &disks[name].model, &disks[name].rev}) {
                std::string hex = Word(in);
                *field = hex.empty() || hex == "-" ? std::nullopt : std::optional<std::string>(HexValue(hex));
            }
        } else if (tag == "BLOCK") {
            disks[name].block = Word(in);
        } else if (tag == "SIZE") {
            std::string sectors = Word(in);
            if (!sectors.empty() && sectors.size() < 20 &&
                sectors.find_first_not_of("0123456789") == std::string::npos)
                disks[name].sectors = std::stoull(sectors);
        } else if (tag == "RO") {
            std::string ro = Word(in);
            if (ro == "0" || ro == "1")
                disks[name].readOnly = ro == "1";
        } else if (tag == "HOLDER") {
            DiskDump::Holder holder;
            holder.device = Word(in);
            holder.uuid = HexValue(Word(in));
            holder.name = HexValue(Word(in));
            disks[name].holders.push_back(holder);
        }
    }
    return disks;
}

// What iscsiadm -m session -P 3 lists as attached to each session (by SID):
// "H:C:T:L sdX" for every "Attached scsi disk sdX" under "scsiH Channel C Id
// T Lun: L".
std::map<std::string, std::set<std::string>> AttachedDisks(const std::string& text)
{
    static const std::regex sidLine("SID: (\\d+)");
    static const std::regex lunLine("scsi(\\d+) Channel (\\d+) Id (\\d+) Lun: (\\d+)");
    static const std::regex diskLine("Attached scsi disk (\\S+)");
    std::map<std::string, std::set<std::string>> attached;
    std::string sid, hctl;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        std::smatch m;
        if (std::regex_search(line, m, sidLine)) {
            sid = m[1];
            attached[sid];
            hctl.clear();
        } else if (std::regex_search(line, m, lunLine)) {
            hctl.clear();
            for (int i = 1; i <= 4; ++i)
                hctl += (i > 1 ? ":" : "") + std::to_string(std::stoul(m[i].str()));
        } else if (!sid.empty() && std::regex_search(line, m, diskLine)) {
            attached[sid].insert(hctl + " " + m[1].str());
        }
    }
    return attached;
}

// A member of a JSON object; null where there is none (a document that is
// not as the schema says fails the checks, it does not end vm-check).
nlohmann::json Member(const nlohmann::json& object, const char* key)
{
    return object.is_object() && object.contains(key) ? object[key] : nlohmann::json();
}

nlohmann::json Items(const nlohmann::json& object, const char* key)
{
    nlohmann::json items = Member(object, key);
    return items.is_array() ? items : nlohmann::json::array();
}

std::string Text(const nlohmann::json& value)
{
    return value.is_string() ? value.get<std::string>() : value.is_null() ? "null" : value.dump();
}

// The value of a dump's file as the tool would show it ("" when unread).
std::string DumpValue(const Object* object, const std::string& file)
{
    if (object == nullptr || !object->files.count(file))
        return "";
    return Shown(object->files.at(file)).value_or("");
}

// iscsi_session_state of an exposition: session -> state -> sample value.
std::map<std::string, std::map<std::string, std::string>> SessionStates(const std::string& text)
{
    static const std::regex sample("iscsi_session_state\\{session=\"([^\"]*)\",state=\"([^\"]*)\"\\} (\\S+)");
    std::map<std::string, std::map<std::string, std::string>> states;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        std::smatch m;
        if (std::regex_match(line, m, sample))
            states[m[1]][m[2]] = m[3];
    }
    return states;
}

// Every session of the dump with its state 1 and the other known states 0,
// and no series for a session the dump does not show.
void CheckStates(const std::string& phase, const std::string& what, const std::string& text,
                 const Dump& dump)
{
    auto states = SessionStates(text);
    for (const auto& [key, object] : dump.objects) {
        if (key.first != "iscsi_session")
            continue;
        std::string state = DumpValue(&object, "state");
        auto& shown = states[key.second];
        for (const char* known : {"LOGGED_IN", "FAILED", "FREE"}) {
            std::string want = state == known ? "1" : "0";
            if (shown[known] != want)
                Fail(phase, what + ": iscsi_session_state{session=\"" + key.second + "\",state=\"" +
                                known + "\"} is \"" + shown[known] + "\", the dump shows " + state);
        }
    }
    for (const auto& [session, _] : states)
        if (Find(dump, "iscsi_session", session) == nullptr)
            Fail(phase, what + " shows the state of " + session + ", which the dump does not show");
}

struct MultipathFigures {
    std::vector<std::string> paths;  // "sessionN (address)"
    std::string wwid, map, uuid, failed, seconds;
};

void CheckMultipath(std::map<std::string, std::string>& sections, const std::vector<std::string>& marks,
                    MultipathFigures& figures)
{
    if (!sections.count("multipath inventory")) {
        Fail("multipath", "no results");
        return;
    }
    // The logged-in checks fail as "multipath", those of the joined records
    // and the metrics as "multipath records".
    const std::string phase = "multipath records";
    for (const std::string& mark : marks) {
        if (mark.rfind("MPFAILED ", 0) == 0)
            figures.failed = mark.substr(9);
        if (mark.rfind("MULTIPATHED in ", 0) == 0)
            figures.seconds = mark.substr(15);
    }
    CheckPhase("multipath", sections);
    Dump dump = ParseDump(sections["multipath dump-before"]);
    std::map<std::string, DiskDump> disks = ParseDisks(sections["multipath disks"]);
    std::map<std::string, std::set<std::string>> attached = AttachedDisks(sections["multipath iscsiadm"]);
    // The links udev made in /dev/disk/by-path (ls -l: "NAME -> ../../sdX").
    std::map<std::string, std::set<std::string>> byPathLinks;
    {
        static const std::regex link(".* (\\S+) -> \\.\\./\\.\\./(\\S+)");
        std::istringstream lines(sections["multipath by-path"]);
        for (std::string line; std::getline(lines, line);) {
            std::smatch m;
            if (std::regex_match(line, m, link))
                byPathLinks[m[2]].insert(m[1]);
        }
    }
    nlohmann::json document = nlohmann::json::parse(sections["multipath json"], nullptr, false);
    if (document.is_discarded() || !document.is_object() || !document.contains("sessions") ||
        !document["sessions"].is_array()) {
        Fail(phase, "the --json output is no document with a sessions array");
        return;
    }

    // Every session record: its disks those iscsiadm attached to it, each
    // with the WWID, block device and holders the disk dump shows, and the
    // by-path name made of the portal and target the dump shows.
    std::vector<nlohmann::json> paths;
    std::set<std::string> listedSids;
    std::set<std::string> diskInfo;  // the iscsi_disk_info labels the records make
    for (const nlohmann::json& session : document["sessions"]) {
        std::string name = Text(Member(session, "name"));
        const Object* object = Find(dump, "iscsi_session", name);
        if (object == nullptr || name.rfind("session", 0) != 0) {
            Fail(phase, "--json has a record of " + name + ", which the dump does not show");
            continue;
        }
        std::string sid = name.substr(7);
        listedSids.insert(sid);
        const Object* connection = Find(dump, "iscsi_connection", "connection" + sid + ":0");
        std::string target = DumpValue(object, "targetname");
        std::string address = DumpValue(connection, "persistent_address");
        std::string port = DumpValue(connection, "persistent_port");
        std::set<std::string> listed;
        const nlohmann::json& records = Items(session, "disks");
        for (const nlohmann::json& disk : records) {
            std::string hctl = Text(Member(disk, "hctl"));
            std::string block = Text(Member(disk, "block_device"));
            listed.insert(hctl + " " + block);
            std::string byPath = "ip-" + address + ":" + port + "-iscsi-" + target + "-lun-" +
                                 hctl.substr(hctl.rfind(':') + 1);
            std::string shownByPath = Text(Member(disk, "by_path"));
            if (shownByPath != byPath)
                Fail(phase, name + " " + hctl + ": by_path \"" + shownByPath + "\", expected \"" +
                                byPath + "\"");
            auto found = disks.find(hctl);
            if (found == disks.end()) {
                Fail(phase, name + ": the disk dump does not show " + hctl);
                continue;
            }
            const DiskDump& want = found->second;
            std::string wwid = Text(Member(disk, "wwid"));
            // No wwid where the kernel has no VPD page 0x83 to make one of
            // (target0's and target1's LUNs have no unit serial).
            if (wwid != (want.wwid.empty() ? "null" : want.wwid))
                Fail(phase, name + " " + hctl + ": wwid \"" + wwid + "\", the dump shows \"" +
                                want.wwid + "\"");
            if (block != "null" && !byPathLinks[block].count(shownByPath))
                Fail(phase, name + " " + hctl + ": by_path \"" + shownByPath +
                                "\" is no /dev/disk/by-path link of " + block);
            if (block != want.block)
                Fail(phase, name + " " + hctl + ": block_device \"" + block + "\", the dump shows \"" +
                                want.block + "\"");
            std::set<std::string> holders, wantHolders;
            std::string mapName;
            for (const nlohmann::json& holder : Items(disk, "holders")) {
                holders.insert(Text(Member(holder, "device")) + " " +
                               Text(Member(holder, "name")) + " " +
                               Text(Member(holder, "dm_uuid")) + " " +
                               Text(Member(holder, "multipath")));
                if (Member(holder, "multipath") == true)
                    mapName = Text(Member(holder, "name"));
            }
            for (const DiskDump::Holder& holder : want.holders)
                wantHolders.insert(holder.device + " " + holder.name + " " + holder.uuid + " " +
                                   (holder.uuid.rfind("mpath-", 0) == 0 ? "true" : "false"));
            if (holders != wantHolders) {
                auto list = [](const std::set<std::string>& set) {
                    std::string text;
                    for (const std::string& holder : set)
                        text += (text.empty() ? "" : ", ") + holder;
                    return "[" + text + "]";
                };
                Fail(phase, name + " " + hctl + ": holders " + list(holders) + ", the dump shows " +
                                list(wantHolders));
            }
            // The metric's labels: empty where the record has null.
            auto label = [](const std::string& text) { return text == "null" ? "" : text; };
            diskInfo.insert(name + " " + hctl + " " + label(block) + " " + label(wwid) + " " + byPath +
                            " " + mapName);
        }
        if (listed != attached[sid]) {
            std::string text;
            for (const std::string& disk : attached[sid])
                text += " " + disk;
            Fail(phase, name + ": --json lists " + std::to_string(listed.size()) +
                            " disks, iscsiadm attached" + (text.empty() ? " none" : text));
        }
        if (target == kMultipathTarget)
            paths.push_back(session);
    }
    for (const auto& [sid, _] : attached)
        if (!listedSids.count(sid))
            Fail(phase, "iscsiadm lists session " + sid + ", --json has no record of it");

    // The two paths: one LUN, one WWID, one multipath map above both.
    if (paths.size() != 2) {
        Fail(phase, "--json has " + std::to_string(paths.size()) + " sessions to " + kMultipathTarget +
                        ", not 2");
        return;
    }
    std::set<std::string> portals, wwids, maps;
    for (const nlohmann::json& path : paths) {
        std::string name = Text(Member(path, "name"));
        const Object* connection = Find(dump, "iscsi_connection", "connection" + name.substr(7) + ":0");
        portals.insert(DumpValue(connection, "persistent_address"));
        figures.paths.push_back(name + " (" + DumpValue(connection, "persistent_address") + ")");
        const nlohmann::json& records = Items(path, "disks");
        if (records.size() != 1) {
            Fail(phase, name + " has " + std::to_string(records.size()) + " disks, not 1");
            continue;
        }
        const nlohmann::json& disk = records[0];
        std::string wwid = Text(Member(disk, "wwid"));
        wwids.insert(wwid);
        const nlohmann::json& holders = Items(disk, "holders");
        if (holders.size() != 1) {
            Fail(phase, name + "'s disk has " + std::to_string(holders.size()) + " holders, not 1");
            continue;
        }
        const nlohmann::json& holder = holders[0];
        std::string uuid = Text(Member(holder, "dm_uuid"));
        if (uuid.rfind("mpath-", 0) != 0 || Member(holder, "multipath") != true)
            Fail(phase, name + "'s holder is no multipath map: dm_uuid \"" + uuid + "\", multipath " +
                            Text(Member(holder, "multipath")));
        // multipath names a map by the WWID it read from VPD page 0x83: for an
        // NAA designator, "3" (its type) and the same hex digits the kernel
        // shows after "naa.".
        if (wwid.rfind("naa.", 0) == 0 && uuid != "mpath-3" + wwid.substr(4))
            Fail(phase, name + ": the map " + uuid + " was not built by the disk's WWID " + wwid);
        maps.insert(Text(Member(holder, "device")) + " " +
                    Text(Member(holder, "name")) + " " + uuid);
        figures.wwid = wwid;
        figures.map = Text(Member(holder, "name"));
        figures.uuid = uuid;
    }
    if (portals.size() != 2)
        Fail(phase, "the two paths do not run through two portals");
    if (wwids.size() != 1 || wwids.begin()->empty() || *wwids.begin() == "null")
        Fail(phase, "the two paths do not show one WWID");
    if (maps.size() != 1)
        Fail(phase, "the two paths are not held by one map");

    // --prometheus: a disk series for each disk record, with the same labels;
    // each session's state as the dump shows it.
    static const std::regex info("iscsi_disk_info\\{session=\"([^\"]*)\",hctl=\"([^\"]*)\",device=\"([^\"]*)\","
                                 "wwid=\"([^\"]*)\",by_path=\"([^\"]*)\",multipath_device=\"([^\"]*)\"\\} 1");
    std::set<std::string> series;
    std::istringstream exposition(sections["multipath prometheus"]);
    for (std::string line; std::getline(exposition, line);) {
        std::smatch m;
        if (std::regex_match(line, m, info))
            series.insert(m[1].str() + " " + m[2].str() + " " + m[3].str() + " " + m[4].str() + " " +
                          m[5].str() + " " + m[6].str());
    }
    for (const std::string& want : diskInfo)
        if (!series.count(want))
            Fail(phase, "--prometheus has no iscsi_disk_info for \"" + want + "\"");
    if (series.size() != diskInfo.size())
        Fail(phase, "--prometheus has " + std::to_string(series.size()) + " iscsi_disk_info series for " +
                        std::to_string(diskInfo.size()) + " disks");
    CheckStates(phase, "--prometheus", sections["multipath prometheus"], dump);

    // One portal disabled: its session FAILED in the metrics and the dump
    // taken after them, the other path still logged in.
    Dump failed = ParseDump(sections["multipath sessions-failed"]);
    std::string failedSession = figures.failed.substr(0, figures.failed.find(' '));
    if (failedSession.empty()) {
        Fail(phase, "the VM did not report which path it failed");
        return;
    }
    CheckStates(phase, "--prometheus after the portal was disabled", sections["multipath prometheus-failed"],
                failed);
    auto states = SessionStates(sections["multipath prometheus-failed"]);
    for (const nlohmann::json& path : paths) {
        std::string name = Text(Member(path, "name"));
        std::string want = name == failedSession ? "FAILED" : "LOGGED_IN";
        if (states[name][want] != "1")
            Fail(phase, "after the portal was disabled, --prometheus does not show " + name + " " + want);
    }
    if (Text(Member(paths[0], "name")) != failedSession && Text(Member(paths[1], "name")) != failedSession)
        Fail(phase, "the failed session " + failedSession + " is no path of the map");
}

// --------------------------------------------------------------- iser phase

// The SCSI host a session's path runs through ("host3"), "" when none.
std::string HostOf(const std::string& path)
{
    static const std::regex host(".*/(host[0-9]+)/session[0-9]+(/.*)?");
    std::smatch m;
    return std::regex_match(path, m, host) ? m[1].str() : "";
}

// The transport a session uses, as the dump shows it: its SCSI host's
// proc_name names the driver ("iscsi_tcp", "iscsi_iser"), which for the
// software transports is "iscsi_" and the transport's name.  "" when the
// dump does not show it.
std::string TransportOf(const Dump& dump, const Object& session)
{
    const Object* host = Find(dump, "scsi_host", HostOf(session.path));
    if (host == nullptr || !host->files.count("proc_name"))
        return "";
    std::string name = Shown(host->files.at("proc_name")).value_or("");
    return name.rfind("iscsi_", 0) == 0 ? name.substr(6) : name;
}

// The logical units below a session as the dump's SCSI bus shows them, in
// the order of their address.
std::vector<std::string> DisksOf(const Dump& dump, const Object& session)
{
    static const std::regex cbtl("[0-9]+:[0-9]+:[0-9]+:[0-9]+");
    std::string below = (session.hasDevice ? session.devicePath : "") + "/";
    std::vector<std::string> disks;
    for (const auto& [name, path] : dump.busPaths)
        if (std::regex_match(name, cbtl) && below != "/" && path.rfind(below, 0) == 0)
            disks.push_back(name);
    std::sort(disks.begin(), disks.end(), ScsiListedBefore);
    return disks;
}

std::string BlockOf(const Dump& dump, const std::string& disk)
{
    auto found = dump.busBlocks.find(disk);
    return found == dump.busBlocks.end() || found->second.size() != 1 ? "" : *found->second.begin();
}

// A JSON string as the bytes it carries: "\\" is a backslash, "\xHH" the
// byte HH; everything else as it is.
std::string Decoded(const std::string& text)
{
    std::string bytes;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size() && text[i + 1] == '\\') {
            bytes += '\\';
            ++i;
        } else if (text[i] == '\\' && i + 3 < text.size() && text[i + 1] == 'x' &&
                   std::isxdigit(static_cast<unsigned char>(text[i + 2])) &&
                   std::isxdigit(static_cast<unsigned char>(text[i + 3]))) {
            bytes += static_cast<char>(std::stoi(text.substr(i + 2, 2), nullptr, 16));
            i += 3;
        } else {
            bytes += text[i];
        }
    }
    return bytes;
}

std::string JsonText(const nlohmann::json& value)
{
    return value.is_string() ? Decoded(value.get<std::string>()) : value.is_null() ? "(null)" : value.dump();
}

// The --json document read as the text inventory reads: an entry per class
// device, in the same order, with its class, path, attributes and the
// device's identity and attributes as lines, so that the text's expectation
// applies as it is.
std::vector<Printed> JsonInventory(const nlohmann::json& document, const std::string& phase)
{
    std::vector<Printed> printed;
    for (const auto& [cls, heading] : kPasses) {
        if (!document.contains(cls) || !document[cls].is_array()) {
            Fail(phase, std::string("--json has no array ") + cls);
            continue;
        }
        for (const auto& entry : document[cls]) {
            if (!entry.is_object() || !entry.contains("name")) {
                Fail(phase, std::string("--json: an element of ") + cls + " without a name");
                continue;
            }
            Printed block{heading + JsonText(entry["name"]), {}};
            block.lines.emplace_back("classname", JsonText(entry.value("classname", nlohmann::json())));
            block.lines.emplace_back("path", JsonText(entry.value("path", nlohmann::json())));
            if (entry.contains("attributes") && entry["attributes"].is_object())
                for (const auto& [key, value] : entry["attributes"].items())
                    block.lines.emplace_back(key, JsonText(value));
            if (entry.contains("device") && entry["device"].is_object()) {
                const auto& device = entry["device"];
                std::map<std::string, std::string> lines;
                for (const char* key : {"bus", "bus_id", "name", "driver_name", "path"})
                    lines[key] = JsonText(device.value(key, nlohmann::json()));
                if (device.contains("attributes") && device["attributes"].is_object())
                    for (const auto& [key, value] : device["attributes"].items())
                        lines.emplace(key, JsonText(value));
                for (const auto& line : lines)
                    block.lines.push_back(line);
            }
            printed.push_back(block);
        }
    }
    return printed;
}

// Each session's disks in --json as the dump's SCSI bus shows them.
void CheckJsonDisks(const std::string& phase, const nlohmann::json& document, const Dump& dump)
{
    if (!document.contains("iscsi_session") || !document["iscsi_session"].is_array())
        return;
    for (const auto& session : document["iscsi_session"]) {
        std::string name = JsonText(session.value("name", nlohmann::json()));
        const Object* object = Find(dump, "iscsi_session", name);
        if (object == nullptr)
            continue;  // CheckInventory names it
        std::vector<std::string> want = DisksOf(dump, *object), got;
        if (!session.contains("disks") || !session["disks"].is_array()) {
            Fail(phase, "--json: " + name + " has no disks array");
            continue;
        }
        for (const auto& disk : session["disks"]) {
            std::string id = JsonText(disk.value("name", nlohmann::json()));
            got.push_back(id);
            std::vector<std::string> parts;
            std::istringstream in(id);
            for (std::string part; std::getline(in, part, ':');)
                parts.push_back(part);
            std::string fields = JsonText(disk.value("controller", nlohmann::json())) + ":" +
                                 JsonText(disk.value("bus", nlohmann::json())) + ":" +
                                 JsonText(disk.value("target", nlohmann::json())) + ":" +
                                 JsonText(disk.value("lun", nlohmann::json()));
            if (fields != id)
                Fail(phase, "--json: disk " + id + " of " + name + " splits into " + fields);
            auto path = dump.busPaths.find(id);
            if (path != dump.busPaths.end() && JsonText(disk.value("path", nlohmann::json())) != path->second)
                Fail(phase, "--json: disk " + id + " of " + name + " has path " +
                                JsonText(disk.value("path", nlohmann::json())) + ", the dump " + path->second);
            auto state = dump.busStates.find(id);
            std::string wantState = state == dump.busStates.end() ? "(null)" : state->second;
            if (JsonText(disk.value("state", nlohmann::json())) != wantState)
                Fail(phase, "--json: disk " + id + " of " + name + " has state " +
                                JsonText(disk.value("state", nlohmann::json())) + ", the dump " + wantState);
            std::string block = BlockOf(dump, id);
            if (JsonText(disk.value("block_device", nlohmann::json())) != (block.empty() ? "(null)" : block))
                Fail(phase, "--json: disk " + id + " of " + name + " has block device " +
                                JsonText(disk.value("block_device", nlohmann::json())) + ", the dump " +
                                (block.empty() ? "none" : block));
        }
        if (got != want) {
            std::string w, g;
            for (const auto& d : want)
                w += " " + d;
            for (const auto& d : got)
                g += " " + d;
            Fail(phase, "--json: " + name + " lists disks" + g + ", the dump shows" + w);
        }
    }
}

// The joined "sessions" of --json: one per session of the dump, each with
// the host and transport the dump shows, and its disks (address, block
// device).
void CheckJsonSessions(const std::string& phase, const nlohmann::json& document, const Dump& dump)
{
    if (!document.contains("sessions") || !document["sessions"].is_array()) {
        Fail(phase, "--json has no sessions array");
        return;
    }
    std::map<std::string, const nlohmann::json*> joined;
    for (const auto& session : document["sessions"])
        joined[JsonText(session.value("name", nlohmann::json()))] = &session;
    std::size_t sessions = 0;
    for (const auto& [key, object] : dump.objects) {
        if (key.first != "iscsi_session")
            continue;
        ++sessions;
        if (!joined.count(key.second)) {
            Fail(phase, "--json: sessions lacks " + key.second);
            continue;
        }
        const nlohmann::json& session = *joined[key.second];
        std::string got = "transport " + JsonText(session.value("transport", nlohmann::json())) + " host " +
                          JsonText(session.value("host", nlohmann::json()));
        std::string want = "transport " + TransportOf(dump, object) + " host " + HostOf(object.path);
        for (const auto& disk : session.value("disks", nlohmann::json::array()))
            got += " disk " + JsonText(disk.value("hctl", nlohmann::json())) + " " +
                   JsonText(disk.value("block_device", nlohmann::json()));
        for (const std::string& disk : DisksOf(dump, object))
            want += " disk " + disk + " " + (BlockOf(dump, disk).empty() ? "(null)" : BlockOf(dump, disk));
        if (got != want)
            Fail(phase, "--json: sessions shows " + key.second + " as \"" + got + "\", the dump as \"" +
                            want + "\"");
    }
    if (joined.size() != sessions)
        Fail(phase, "--json: sessions has " + std::to_string(joined.size()) + " elements, the dump " +
                        std::to_string(sessions) + " sessions");
}

// --sessions: a block per session of the dump, each naming its transport,
// host and disks (address, state, block device) as the dump shows them.
void CheckSessionsOutput(const std::string& phase, const std::string& text, const Dump& dump)
{
    static const std::regex target("Target: .* \\((\\S+)\\)");
    static const std::regex transport("\t\tIface Transport: (.*)");
    static const std::regex host("\t\tHost Number: (.*)");
    static const std::regex disk("\t\tscsi(\\S+) Channel (\\S+) Id (\\S+) Lun: (\\S+)\tState: (.*)");
    static const std::regex block("\t\t\tAttached scsi disk (\\S+)\tSize: .*");
    std::map<std::string, std::string> shown;  // session -> what its block says
    std::string current, lastDisk;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        std::smatch m;
        if (std::regex_match(line, m, target)) {
            current = m[1];
            if (shown.count(current))
                Fail(phase, "--sessions shows " + current + " twice");
            shown[current];
        } else if (current.empty()) {
            continue;
        } else if (std::regex_match(line, m, transport)) {
            shown[current] += "transport " + m[1].str() + "; ";
        } else if (std::regex_match(line, m, host)) {
            shown[current] += "host host" + m[1].str() + "; ";
        } else if (std::regex_match(line, m, disk)) {
            lastDisk = m[1].str() + ":" + m[2].str() + ":" + m[3].str() + ":" + m[4].str();
            shown[current] += "disk " + lastDisk + " " + m[5].str() + "; ";
        } else if (std::regex_match(line, m, block)) {
            shown[current] += "block " + lastDisk + " " + m[1].str() + "; ";
        }
    }
    std::size_t sessions = 0;
    for (const auto& [key, object] : dump.objects) {
        if (key.first != "iscsi_session")
            continue;
        ++sessions;
        std::string want = "transport " + TransportOf(dump, object) + "; host " + HostOf(object.path) + "; ";
        for (const std::string& name : DisksOf(dump, object)) {
            auto state = dump.busStates.find(name);
            want += "disk " + name + " " + (state == dump.busStates.end() ? "<unknown>" : state->second) + "; ";
            if (!BlockOf(dump, name).empty())
                want += "block " + name + " " + BlockOf(dump, name) + "; ";
        }
        if (!shown.count(key.second))
            Fail(phase, "--sessions does not show " + key.second);
        else if (shown[key.second] != want)
            Fail(phase, "--sessions shows " + key.second + " as \"" + shown[key.second] + "\", the dump as \"" +
                            want + "\"");
    }
    if (shown.size() != sessions)
        Fail(phase, "--sessions shows " + std::to_string(shown.size()) + " sessions, the dump " +
                        std::to_string(sessions));
}

// The labels of a metrics line "family{a="x",b="y"} value".
std::map<std::string, std::string> Labels(const std::string& line)
{
    static const std::regex label("(\\w+)=\"((?:[^\"\\\\]|\\\\.)*)\"");
    std::map<std::string, std::string> labels;
    std::size_t open = line.find('{'), close = line.rfind('}');
    if (open == std::string::npos || close == std::string::npos || close < open)
        return labels;
    std::string inside = line.substr(open + 1, close - open - 1);
    for (std::sregex_iterator it(inside.begin(), inside.end(), label), end; it != end; ++it)
        labels[(*it)[1]] = (*it)[2];
    return labels;
}

// --prometheus: each session's transport and host, its number of disks and
// each disk with its block device, as the dump shows them.
void CheckPrometheus(const std::string& phase, const std::string& text, const Dump& dump)
{
    std::set<std::string> got, want;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        std::string family = line.substr(0, line.find('{'));
        std::string value = line.substr(line.rfind(' ') + 1);
        auto labels = Labels(line);
        if (family == "iscsi_session_info")
            got.insert("session " + labels["session"] + " transport=" + labels["transport"] +
                       " host=" + labels["host"] + " " + value);
        else if (family == "iscsi_session_disks")
            got.insert("disks " + labels["session"] + " " + value);
        else if (family == "iscsi_disk_info")
            got.insert("disk " + labels["session"] + " " + labels["hctl"] + " device=" + labels["device"] +
                       " " + value);
    }
    for (const auto& [key, object] : dump.objects) {
        if (key.first != "iscsi_session")
            continue;
        want.insert("session " + key.second + " transport=" + TransportOf(dump, object) +
                    " host=" + HostOf(object.path) + " 1");
        std::vector<std::string> disks = DisksOf(dump, object);
        want.insert("disks " + key.second + " " + std::to_string(disks.size()));
        for (const std::string& disk : disks)
            want.insert("disk " + key.second + " " + disk + " device=" + BlockOf(dump, disk) + " 1");
    }
    for (const std::string& sample : want)
        if (!got.count(sample))
            Fail(phase, "--prometheus lacks \"" + sample + "\"");
    for (const std::string& sample : got)
        if (!want.count(sample))
            Fail(phase, "--prometheus shows \"" + sample + "\", which the dump does not");
}

struct IserFigures {
    std::string session, host;
    std::size_t disks = 0, tcpSessions = 0;
    std::string differences;  // attribute names only one transport's objects show
};

// Names that one object shows and the other does not.
std::string Difference(const std::string& what, const Files& iser, const Files& tcp)
{
    std::string only;
    for (const auto& [name, file] : iser)
        if (!tcp.count(name))
            only += " +" + name;
    for (const auto& [name, file] : tcp)
        if (!iser.count(name))
            only += " -" + name;
    return only.empty() ? "" : " " + what + ":" + only + ";";
}

void CheckIser(std::map<std::string, std::string>& sections, const std::vector<std::string>& marks,
               IserFigures& figures)
{
    if (!sections.count("iser inventory")) {
        Fail("iser", "no results");
        return;
    }
    for (const std::string& mark : marks)
        if (mark.rfind("ISERSESSION ", 0) == 0)
            figures.session = mark.substr(12);
    // The text inventory with everything as in the other phases, the tcp
    // sessions beside it included.
    CheckPhase("iser", sections);
    Dump before = ParseDump(sections["iser dump-before"]);
    Dump after = ParseDump(sections["iser dump-after"]);

    // The scenario: both transports, the iSER session on a host of its own,
    // with its disks, beside tcp sessions; open-iscsi agrees on the transport.
    if (!Find(before, "iscsi_transport", "iser") || !Find(before, "iscsi_transport", "tcp"))
        Fail("iser", "the dump does not show both transports, tcp and iser");
    const Object* session = figures.session.empty() ? nullptr : Find(before, "iscsi_session", figures.session);
    if (session == nullptr) {
        Fail("iser", "the dump shows no iSER session (\"" + figures.session + "\")");
        return;
    }
    if (TransportOf(before, *session) != "iser")
        Fail("iser", figures.session + " runs over \"" + TransportOf(before, *session) + "\", not iser");
    figures.host = HostOf(session->path);
    const Object* host = Find(before, "iscsi_host", figures.host);
    if (host == nullptr)
        Fail("iser", "the dump shows no iscsi_host " + figures.host + " for " + figures.session);
    for (const std::string& disk : DisksOf(before, *session))
        figures.disks += BaseName(before.busDevices[disk]) == "sd" && !BlockOf(before, disk).empty();
    if (figures.disks < 2)
        Fail("iser", figures.session + " has " + std::to_string(figures.disks) +
                         " disks bound to sd with a block device, not 2");
    const Object* tcpSession = nullptr;
    for (const auto& [key, object] : before.objects)
        if (key.first == "iscsi_session" && TransportOf(before, object) == "tcp") {
            ++figures.tcpSessions;
            tcpSession = tcpSession ? tcpSession : &object;
        }
    if (figures.tcpSessions < 2)
        Fail("iser", "only " + std::to_string(figures.tcpSessions) + " tcp sessions beside the iSER one");
    std::string line;
    std::map<std::string, std::string> transports;
    // iscsiadm -P 3 names the transport before the SID.
    std::istringstream blocks(sections["iser iscsiadm"]);
    std::string pending;
    while (std::getline(blocks, line)) {
        std::smatch m;
        if (std::regex_search(line, m, std::regex("Iface Transport: (\\S+)")))
            pending = m[1];
        else if (std::regex_search(line, m, std::regex("SID: (\\d+)")))
            transports["session" + m[1].str()] = pending;
    }
    for (const auto& [key, object] : before.objects)
        if (key.first == "iscsi_session" && transports[key.second] != TransportOf(before, object))
            Fail("iser", "iscsiadm names the transport of " + key.second + " \"" + transports[key.second] +
                             "\", the dump \"" + TransportOf(before, object) + "\"");

    // The other outputs, against the same dumps.
    nlohmann::json document = nlohmann::json::parse(sections["iser json"], nullptr, false);
    if (document.is_discarded() || !document.is_object()) {
        Fail("iser --json", "no JSON document");
    } else {
        CheckInventory("iser --json", Expected(before, after, true), JsonInventory(document, "iser --json"));
        CheckJsonDisks("iser --json", document, before);
        CheckJsonSessions("iser --json", document, before);
    }
    CheckSessionsOutput("iser --sessions", sections["iser sessions"], before);
    CheckPrometheus("iser --prometheus", sections["iser prometheus"], before);

    // What the two transports' objects show differently, for the summary.
    if (host && tcpSession) {
        const Object* tcpHost = Find(before, "iscsi_host", HostOf(tcpSession->path));
        if (tcpHost)
            figures.differences += Difference("iscsi_host", host->files, tcpHost->files);
        figures.differences += Difference("iscsi_session", session->files, tcpSession->files);
        std::string number = figures.session.substr(7);
        const Object* connection = Find(before, "iscsi_connection", "connection" + number + ":0");
        const Object* tcpConnection =
            Find(before, "iscsi_connection", "connection" + tcpSession->name.substr(7) + ":0");
        if (connection && tcpConnection)
            figures.differences += Difference("iscsi_connection", connection->files, tcpConnection->files);
    }
}

// ------------------------------------ multipath phase: the views per LUN

// A path to a logical unit as the dumps show it: the full dump gives its
// session (state, target, portal, iface) and the SCSI device's state, the
// disk dump its WWID, inquiry strings, block device, size, read-only flag
// and holders.
struct PathFacts {
    std::string session, hctl, block, wwid;
    std::uint64_t sid = 0;
    std::optional<std::string> sessionState, target, portal, iface, state;
    std::optional<std::string> vendor, model, rev;
    std::optional<std::uint64_t> bytes;
    std::optional<bool> readOnly;
    std::optional<DiskDump::Holder> map;  // the holder that is a multipath map

    // A path takes I/O when its device runs and its session is logged in.
    bool Running() const { return state == "running" && sessionState == "LOGGED_IN"; }
};

// A logical unit: the paths that name one WWID, or a path without one alone.
struct LunFacts {
    std::string wwid;  // "" for a path without one
    std::vector<PathFacts> paths;

    std::size_t Running() const
    {
        return std::count_if(paths.begin(), paths.end(), [](const PathFacts& p) { return p.Running(); });
    }
    std::string Heading() const { return "LUN: " + (wwid.empty() ? paths.front().hctl + " (no WWID)" : wwid); }
};

// A file of an object as the tool reads it; none where the dump shows no
// such file or a read error.
std::optional<std::string> FileValue(const Object* object, const std::string& name)
{
    if (object == nullptr || !object->files.count(name))
        return std::nullopt;
    return Shown(object->files.at(name));
}

// Inquiry strings come padded with spaces to their field's width.
std::optional<std::string> Unpadded(const std::optional<std::string>& text)
{
    if (!text)
        return std::nullopt;
    std::size_t end = text->find_last_not_of(' ');
    return end == std::string::npos ? std::string() : text->substr(0, end + 1);
}

// Every logical unit below the dump's sessions, in the order the views list
// them: those with a WWID by its bytes, then those without, each path by
// its session's number and then its address.
std::vector<LunFacts> LunsOf(const Dump& dump, const std::map<std::string, DiskDump>& disks)
{
    std::vector<PathFacts> all;
    for (const auto& [key, session] : dump.objects) {
        if (key.first != "iscsi_session")
            continue;
        std::string sid = key.second.rfind("session", 0) == 0 ? key.second.substr(7) : "";
        const Object* connection = Find(dump, "iscsi_connection", "connection" + sid + ":0");
        std::optional<std::string> address = FileValue(connection, "persistent_address");
        std::optional<std::string> port = FileValue(connection, "persistent_port");
        for (const std::string& hctl : DisksOf(dump, session)) {
            PathFacts& path = all.emplace_back();
            path.session = key.second;
            path.sid = Number(sid).value_or(UINT32_MAX);
            path.hctl = hctl;
            path.sessionState = FileValue(&session, "state");
            path.target = FileValue(&session, "targetname");
            path.iface = FileValue(&session, "ifacename");
            if (address && port && !address->empty() && !port->empty())
                path.portal = (address->find(':') == std::string::npos ? *address : "[" + *address + "]") +
                              ":" + *port;
            auto state = dump.busStates.find(hctl);
            if (state != dump.busStates.end())
                path.state = state->second;
            path.block = BlockOf(dump, hctl);
            auto disk = disks.find(hctl);
            if (disk == disks.end())
                continue;
            const DiskDump& facts = disk->second;
            path.wwid = facts.wwid;
            if (!facts.block.empty())
                path.block = facts.block;
            path.vendor = Unpadded(facts.vendor);
            path.model = Unpadded(facts.model);
            path.rev = Unpadded(facts.rev);
            if (facts.sectors)
                path.bytes = *facts.sectors * 512;
            path.readOnly = facts.readOnly;
            for (const DiskDump::Holder& holder : facts.holders)
                if (!path.map && holder.uuid.rfind("mpath-", 0) == 0)
                    path.map = holder;
        }
    }
    std::stable_sort(all.begin(), all.end(), [](const PathFacts& a, const PathFacts& b) {
        return a.sid != b.sid ? a.sid < b.sid : ScsiListedBefore(a.hctl, b.hctl);
    });
    std::map<std::string, LunFacts> named;
    std::vector<LunFacts> luns;
    for (const PathFacts& path : all) {
        if (path.wwid.empty()) {
            luns.push_back({"", {path}});
            continue;
        }
        named[path.wwid].wwid = path.wwid;
        named[path.wwid].paths.push_back(path);
    }
    std::vector<LunFacts> ordered;
    for (auto& [wwid, lun] : named)
        ordered.push_back(std::move(lun));
    ordered.insert(ordered.end(), luns.begin(), luns.end());
    return ordered;
}

// A size in the binary units people read: bytes as they are, anything
// larger with two decimals.
std::string IecSize(std::optional<std::uint64_t> bytes)
{
    if (!bytes)
        return "<unknown>";
    static const char* const units[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    double value = static_cast<double>(*bytes);
    int unit = 0;
    for (; value >= 1024 && unit < 6; ++unit)
        value /= 1024;
    char text[40];
    std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.2f %s", value, units[unit]);
    return text;
}

std::string People(const std::optional<std::string>& value)
{
    return !value ? "<unknown>" : value->empty() || *value == "(null)" ? "<empty>" : *value;
}

std::string YesNo(std::optional<bool> value)
{
    return !value ? "<unknown>" : *value ? "Yes" : "No";
}

// The map's name and device as a view names it ("mpatha (dm-0)").
std::string MapName(const DiskDump::Holder& map)
{
    return (map.name.empty() ? std::string("<unknown>") : map.name) + " (" + map.device + ")";
}

// The lines of --luns for one LUN after its heading.  What describes the
// LUN as a whole comes from its first path that shows it; it is read-only
// when any path is.
std::vector<std::string> LunLines(const LunFacts& lun)
{
    std::optional<std::uint64_t> bytes;
    std::optional<std::string> vendor, model, rev;
    std::optional<bool> readOnly;
    std::optional<DiskDump::Holder> map;
    for (const PathFacts& path : lun.paths) {
        bytes = bytes ? bytes : path.bytes;
        vendor = vendor ? vendor : path.vendor;
        model = model ? model : path.model;
        rev = rev ? rev : path.rev;
        map = map ? map : path.map;
        if (path.readOnly)
            readOnly = readOnly.value_or(false) || *path.readOnly;
    }
    std::vector<std::string> lines{"\tSize: " + IecSize(bytes), "\tVendor: " + People(vendor),
                                   "\tModel: " + People(model), "\tRev: " + People(rev),
                                   "\tRead-only: " + YesNo(readOnly),
                                   "\tMultipath: " + (map ? MapName(*map) : "none")};
    for (const PathFacts& path : lun.paths) {
        lines.push_back("\tPath: " + path.hctl + " " + (path.block.empty() ? "(no block device)" : path.block) +
                        (path.Running() ? ": running" : ": not running"));
        lines.push_back("\t\tSession: " + path.session + " (" + People(path.sessionState) + ")");
        lines.push_back("\t\tTarget: " + People(path.target));
        lines.push_back("\t\tPortal: " + People(path.portal));
        lines.push_back("\t\tIface: " + People(path.iface));
        lines.push_back("\t\tSCSI Device State: " + People(path.state));
        lines.push_back("\t\tRead-only: " + YesNo(path.readOnly));
    }
    lines.push_back("\t" + std::to_string(lun.Running()) + " of " + std::to_string(lun.paths.size()) +
                    (lun.paths.size() == 1 ? " path running" : " paths running"));
    return lines;
}

std::string Tabs(const std::string& line)
{
    std::string shown;
    for (char c : line)
        shown += c == '\t' ? std::string("\\t") : std::string(1, c);
    return "\"" + shown + "\"";
}

// --luns: a block per LUN the dumps show, each exactly as the rules make it,
// in their order.  A failure names the LUN and its first wrong line.
void CheckLuns(const std::string& phase, const std::string& what, const std::string& text,
               const std::vector<LunFacts>& luns)
{
    // Blocks are apart by one blank line, which stands before every heading
    // but the first and nowhere else.
    std::vector<std::pair<std::string, std::vector<std::string>>> got;
    std::istringstream lines(text);
    bool blank = false;
    for (std::string line; std::getline(lines, line);) {
        const bool heading = line.rfind("LUN: ", 0) == 0;
        if (heading && blank != !got.empty())
            Fail(phase, what + ": \"" + line + "\" " +
                            (blank ? "comes after a blank line" : "has no blank line before it"));
        if (!heading && blank)
            Fail(phase, what + ": a blank line inside a LUN's block");
        blank = line.empty();
        if (heading)
            got.push_back({line, {}});
        else if (blank)
            continue;
        else if (got.empty())
            Fail(phase, what + ": a line outside any LUN's block: " + Tabs(line));
        else
            got.back().second.push_back(line);
    }
    if (blank)
        Fail(phase, what + " ends in a blank line");
    std::vector<std::string> gotOrder, wantOrder;
    std::map<std::string, const std::vector<std::string>*> shown;
    for (const auto& [heading, body] : got) {
        if (shown.count(heading))
            Fail(phase, what + " shows \"" + heading + "\" twice");
        shown[heading] = &body;
        gotOrder.push_back(heading);
    }
    std::set<std::string> expected;
    for (const LunFacts& lun : luns) {
        const std::string heading = lun.Heading();
        expected.insert(heading);
        wantOrder.push_back(heading);
        if (!shown.count(heading)) {
            Fail(phase, what + " does not show \"" + heading + "\"");
            continue;
        }
        const std::vector<std::string>& body = *shown[heading];
        const std::vector<std::string> want = LunLines(lun);
        for (std::size_t i = 0; i < std::max(body.size(), want.size()); ++i) {
            if (i < body.size() && i < want.size() && body[i] == want[i])
                continue;
            Fail(phase, what + ": " + heading.substr(5) + ": " +
                            (i < body.size() ? Tabs(body[i]) : std::string("nothing")) + ", expected " +
                            (i < want.size() ? Tabs(want[i]) : std::string("nothing")));
            break;
        }
    }
    for (const std::string& heading : gotOrder)
        if (!expected.count(heading))
            Fail(phase, what + " shows \"" + heading + "\", which the dumps do not");
    std::vector<std::string> common;
    std::copy_if(gotOrder.begin(), gotOrder.end(), std::back_inserter(common),
                 [&](const std::string& heading) { return expected.count(heading) != 0; });
    std::vector<std::string> wanted;
    std::copy_if(wantOrder.begin(), wantOrder.end(), std::back_inserter(wanted),
                 [&](const std::string& heading) { return shown.count(heading) != 0; });
    if (common != wanted)
        Fail(phase, what + " lists the LUNs in the order " + Joined(common, ", ") + "; expected " +
                        Joined(wanted, ", "));
}

// A sample's value against a whole number: equal as numbers, whatever the
// notation.
bool SameNumber(const std::string& value, std::uint64_t want)
{
    char* end = nullptr;
    double number = std::strtod(value.c_str(), &end);
    return !value.empty() && end != nullptr && *end == '\0' && number == static_cast<double>(want);
}

// The LUN and disk metrics: per LUN with a WWID its paths and map
// (iscsi_lun_paths) and its running paths (iscsi_lun_paths_running); per
// disk its state as an enum (1 for the dump's, 0 for any other state shown),
// its read-only flag and its size in bytes.  Other families, other states at
// 0 and LUNs without a WWID are left to the rest of the checks.
void CheckLunMetrics(const std::string& phase, const std::string& what, const std::string& text,
                     const std::vector<LunFacts>& luns)
{
    std::map<std::string, const LunFacts*> byWwid;
    std::map<std::string, const PathFacts*> byDisk;  // "session hctl"
    for (const LunFacts& lun : luns) {
        if (!lun.wwid.empty())
            byWwid[lun.wwid] = &lun;
        for (const PathFacts& path : lun.paths)
            byDisk[path.session + " " + path.hctl] = &path;
    }
    std::map<std::string, std::map<std::string, std::string>> seen;  // family -> key -> value
    std::map<std::string, std::map<std::string, std::string>> states;  // disk -> state -> value
    std::map<std::string, std::string> maps;                           // wwid -> multipath_device
    const std::set<std::string> lunFamilies{"iscsi_lun_paths", "iscsi_lun_paths_running"};
    const std::set<std::string> diskFamilies{"iscsi_disk_state", "iscsi_disk_read_only",
                                             "iscsi_disk_size_bytes"};
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (line.empty() || line[0] == '#')
            continue;
        std::string family = line.substr(0, line.find_first_of("{ "));
        if (!lunFamilies.count(family) && !diskFamilies.count(family))
            continue;
        std::string value = line.substr(line.rfind(' ') + 1);
        std::map<std::string, std::string> labels = Labels(line);
        std::string key;
        if (lunFamilies.count(family)) {
            key = labels["wwid"];
            if (key.empty())
                continue;
            if (!byWwid.count(key)) {
                Fail(phase, what + " shows " + family + " of a LUN " + key + ", which the dumps do not show");
                continue;
            }
            if (family == "iscsi_lun_paths")
                maps[key] = labels["multipath_device"];
        } else {
            key = labels["session"] + " " + labels["hctl"];
            if (!byDisk.count(key)) {
                Fail(phase, what + " shows " + family + " of " + key + ", which the dumps do not show");
                continue;
            }
            if (family == "iscsi_disk_state") {
                if (states[key].count(labels["state"]))
                    Fail(phase, what + " shows the state " + labels["state"] + " of " + key + " twice");
                states[key][labels["state"]] = value;
                continue;
            }
        }
        if (seen[family].count(key))
            Fail(phase, what + " shows " + family + " of " + key + " twice");
        seen[family][key] = value;
    }
    auto expect = [&](const std::string& family, const std::string& key, std::uint64_t want,
                      const std::string& series) {
        auto found = seen[family].find(key);
        if (found == seen[family].end())
            Fail(phase, what + " lacks " + family + "{" + series + "}");
        else if (!SameNumber(found->second, want))
            Fail(phase, what + ": " + family + "{" + series + "} is " + found->second + ", the dumps show " +
                            std::to_string(want));
    };
    for (const auto& [wwid, lun] : byWwid) {
        const std::string series = "wwid=\"" + wwid + "\"";
        expect("iscsi_lun_paths", wwid, lun->paths.size(), series);
        expect("iscsi_lun_paths_running", wwid, lun->Running(), series);
        // The map as the disk metrics name it: its device-mapper name, else
        // its device; nothing where no map holds the LUN.
        std::string map;
        for (const PathFacts& path : lun->paths)
            if (map.empty() && path.map)
                map = path.map->name.empty() ? path.map->device : path.map->name;
        if (seen["iscsi_lun_paths"].count(wwid) && maps[wwid] != map)
            Fail(phase, what + ": iscsi_lun_paths{" + series + "} names the map \"" + maps[wwid] +
                            "\", the dumps \"" + map + "\"");
    }
    for (const auto& [key, path] : byDisk) {
        const std::string series = "session=\"" + path->session + "\",hctl=\"" + path->hctl + "\"";
        if (path->state) {
            auto& shown = states[key];
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
            expect("iscsi_disk_read_only", key, *path->readOnly ? 1 : 0, series);
        if (path->bytes)
            expect("iscsi_disk_size_bytes", key, *path->bytes, series);
    }
}

// ------------------------------------- multipath phase: the plugin's verdict

// What the verdict counts, from the dumps.
struct Census {
    std::size_t sessions = 0, loggedIn = 0, luns = 0, paths = 0, running = 0;
};

Census CensusOf(const Dump& dump, const std::vector<LunFacts>& luns)
{
    Census census;
    for (const auto& [key, object] : dump.objects)
        if (key.first == "iscsi_session") {
            ++census.sessions;
            census.loggedIn += FileValue(&object, "state") == "LOGGED_IN";
        }
    census.luns = luns.size();
    for (const LunFacts& lun : luns) {
        census.paths += lun.paths.size();
        census.running += lun.Running();
    }
    return census;
}

// What a finding must name, each as a word of its own: the failed session
// with its target and portal, and the LUN with its WWID, block devices and
// HCTLs and how many of its paths run.
struct Named {
    std::vector<std::string> session, lun;
    std::size_t running = 0, paths = 0;
};

bool NamesWord(const std::string& text, const std::string& word)
{
    if (word.empty())
        return true;
    auto part = [](char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; };
    for (std::size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) {
        bool starts = at == 0 || !part(text[at - 1]) || !part(word.front());
        std::size_t end = at + word.size();
        bool ends = end == text.size() || !part(text[end]) || !part(word.back());
        if (starts && ends)
            return true;
    }
    return false;
}

bool NamesAll(const std::string& text, const std::vector<std::string>& words)
{
    return std::all_of(words.begin(), words.end(), [&](const std::string& w) { return NamesWord(text, w); });
}

// "1 of 2" (or "1/2") paths running.
bool NamesCount(const std::string& text, std::size_t running, std::size_t paths)
{
    const std::string r = std::to_string(running), p = std::to_string(paths);
    return NamesWord(text, r + " of " + p) || NamesWord(text, r + "/" + p);
}

const char* const kStates[] = {"OK", "WARNING", "CRITICAL", "UNKNOWN"};

const std::set<std::string> kRules{"session-state",    "no-path",          "baseline-missing",
                                   "path-lost",        "read-only",        "recovery-timeout",
                                   "connection-state", "baseline-extra"};

// The exit status against the state the run had to end in.
void CheckStatus(const std::string& phase, const std::string& what, std::optional<int> status, int want)
{
    if (!status)
        Fail(phase, what + ": no exit status");
    else if (*status != want)
        Fail(phase, what + ": exit status " + std::to_string(*status) + ", expected " + std::to_string(want) +
                        " (" + kStates[want] + ")");
}

// The plugin's text: "ISCSI <STATE> - <summary> | <perfdata>" in the state
// its exit status says, perfdata that counts what the dumps show, then a
// line per finding, worst first.  named: what the findings must name when
// the run had to be CRITICAL.
void CheckVerdictText(const std::string& phase, const std::string& what, const std::string& text,
                      std::optional<int> status, int want, const Census& census, const Named* named)
{
    CheckStatus(phase, what, status, want);
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    static const std::regex first("ISCSI (OK|WARNING|CRITICAL|UNKNOWN) - (.*)");
    std::smatch m;
    if (lines.empty() || !std::regex_match(lines[0], m, first)) {
        Fail(phase, what + ": the first line is " + (lines.empty() ? "missing" : "\"" + lines[0] + "\"") +
                        ", not \"ISCSI <STATE> - <summary> | <perfdata>\"");
        return;
    }
    const std::string state = m[1], rest = m[2];
    if (state != kStates[want])
        Fail(phase, what + " says " + state + ", expected " + kStates[want]);
    if (status && *status >= 0 && *status <= 3 && state != kStates[*status])
        Fail(phase, what + " says " + state + " but exits " + std::to_string(*status));
    std::size_t bar = rest.rfind(" | ");
    if (bar == std::string::npos) {
        Fail(phase, what + ": no perfdata after \" | \" in \"" + lines[0] + "\"");
    } else {
        static const std::regex datum("'?([^'=]+)'?=([0-9.]+)[^;]*(;.*)?");
        const std::map<std::string, std::size_t> counts{{"sessions", census.sessions},
                                                        {"sessions_logged_in", census.loggedIn},
                                                        {"luns", census.luns},
                                                        {"paths", census.paths},
                                                        {"paths_running", census.running}};
        std::istringstream data(rest.substr(bar + 3));
        std::size_t parsed = 0;
        for (std::string word; data >> word;) {
            std::smatch d;
            if (!std::regex_match(word, d, datum)) {
                Fail(phase, what + ": perfdata \"" + word + "\" is no label=value");
                continue;
            }
            ++parsed;
            auto count = counts.find(d[1]);
            if (count != counts.end() && !SameNumber(d[2], count->second))
                Fail(phase, what + ": perfdata " + d[1].str() + "=" + d[2].str() + ", the dumps show " +
                                std::to_string(count->second));
        }
        if (parsed == 0)
            Fail(phase, what + ": no perfdata in \"" + lines[0] + "\"");
    }
    if (named == nullptr)
        return;
    std::optional<std::size_t> session, lun;
    for (std::size_t i = 1; i < lines.size(); ++i) {
        if (!session && NamesAll(lines[i], named->session))
            session = i;
        else if (!lun && NamesAll(lines[i], named->lun) && NamesCount(lines[i], named->running, named->paths))
            lun = i;
    }
    if (!session)
        Fail(phase, what + " has no line naming " + Joined(named->session, " "));
    if (!lun)
        Fail(phase, what + " has no line naming " + Joined(named->lun, " ") + " with " +
                        std::to_string(named->running) + " of " + std::to_string(named->paths) + " paths running");
    if (session && lun && *lun < *session)
        Fail(phase, what + " names the LUN (a WARNING) before the failed session (CRITICAL): not worst first");
}

// --check --json: status and exit code as the run ended, each finding with a
// known severity and rule, worst first, and perfdata that counts what the
// dumps show; when CRITICAL, a CRITICAL session-state finding for the failed
// session and a WARNING for the LUN, each naming them as the text must.
void CheckVerdictJson(const std::string& phase, const std::string& what, const std::string& text,
                      std::optional<int> status, int want, const Census& census, const Named* named)
{
    CheckStatus(phase, what, status, want);
    nlohmann::json document = nlohmann::json::parse(text, nullptr, false);
    if (document.is_discarded() || !document.is_object()) {
        Fail(phase, what + " is no JSON object");
        return;
    }
    if (Member(document, "status") != kStates[want])
        Fail(phase, what + ": status " + Text(Member(document, "status")) + ", expected " + kStates[want]);
    if (!Member(document, "exit_code").is_number_integer() ||
        (status && Member(document, "exit_code") != *status))
        Fail(phase, what + ": exit_code " + Text(Member(document, "exit_code")) + ", the run exited " +
                        (status ? std::to_string(*status) : "with no status"));
    if (!Member(document, "summary").is_string())
        Fail(phase, what + " has no summary");
    const nlohmann::json perfdata = Member(document, "perfdata");
    for (const auto& [key, count] : std::vector<std::pair<const char*, std::size_t>>{
             {"sessions", census.sessions},
             {"sessions_logged_in", census.loggedIn},
             {"luns", census.luns},
             {"paths", census.paths},
             {"paths_running", census.running}})
        if (!Member(perfdata, key).is_number_unsigned() || Member(perfdata, key) != count)
            Fail(phase, what + ": perfdata " + key + " is " + Text(Member(perfdata, key)) + ", the dumps show " +
                            std::to_string(count));
    const std::map<std::string, int> rank{{"OK", 0}, {"WARNING", 1}, {"CRITICAL", 2}};
    int previous = 2, worst = 0;
    bool sessionFound = false, lunFound = false;
    if (!Member(document, "findings").is_array())
        Fail(phase, what + " has no findings array");
    for (const nlohmann::json& finding : Items(document, "findings")) {
        std::string severity = Text(Member(finding, "severity")), rule = Text(Member(finding, "rule"));
        std::string object = Text(Member(finding, "object")), message = Text(Member(finding, "message"));
        if (!Member(finding, "object").is_string() || !Member(finding, "message").is_string())
            Fail(phase, what + ": a finding without object or message: " + finding.dump());
        if (!kRules.count(rule))
            Fail(phase, what + ": a finding of no known rule: " + finding.dump());
        if (severity == "UNKNOWN")
            continue;
        if (!rank.count(severity)) {
            Fail(phase, what + ": a finding of no known severity: " + finding.dump());
            continue;
        }
        if (rank.at(severity) > previous)
            Fail(phase, what + ": a " + severity + " finding after a less severe one: not worst first");
        previous = rank.at(severity);
        worst = std::max(worst, rank.at(severity));
        const std::string names = object + " " + message;
        if (named && severity == "CRITICAL" && rule == "session-state" && NamesAll(names, named->session))
            sessionFound = true;
        if (named && severity == "WARNING" && NamesAll(names, named->lun) &&
            NamesCount(names, named->running, named->paths))
            lunFound = true;
    }
    if (worst > want)
        Fail(phase, what + " has a " + kStates[worst] + " finding but says " + kStates[want]);
    if (want == 2 && worst < 2)
        Fail(phase, what + " is CRITICAL without a CRITICAL finding");
    if (named && !sessionFound)
        Fail(phase, what + " has no CRITICAL session-state finding naming " + Joined(named->session, " "));
    if (named && !lunFound)
        Fail(phase, what + " has no WARNING finding naming " + Joined(named->lun, " ") + " with " +
                        std::to_string(named->running) + " of " + std::to_string(named->paths) + " paths running");
}

struct ViewFigures {
    std::string before, after;  // "2 of 2", as the dumps counted the multipath LUN's paths
    std::vector<std::string> peers;
};

// The multipath LUN of a dump: the one whose paths run to its target.
const LunFacts* MultipathLun(const std::vector<LunFacts>& luns)
{
    for (const LunFacts& lun : luns)
        for (const PathFacts& path : lun.paths)
            if (path.target == kMultipathTarget && !lun.wwid.empty())
                return &lun;
    return nullptr;
}

// The views per LUN, the LUN and disk metrics and the plugin's verdict,
// before and after one portal was disabled, each against the dumps taken
// beside it; and the peers' times.  Failures name "multipath luns",
// "multipath metrics", "multipath check" and "multipath peers".
void CheckMultipathViews(std::map<std::string, std::string>& sections, const std::map<std::string, int>& statuses,
                         const std::string& failedSession, ViewFigures& figures)
{
    auto status = [&](const std::string& name) -> std::optional<int> {
        auto found = statuses.find("multipath " + name);
        return found == statuses.end() ? std::nullopt : std::optional<int>(found->second);
    };
    // Before: the LUN with both paths running (else nothing below could show
    // a path lost).
    Dump dump = ParseDump(sections["multipath dump-before"]);
    std::vector<LunFacts> luns = LunsOf(dump, ParseDisks(sections["multipath disks"]));
    const LunFacts* lun = MultipathLun(luns);
    if (lun == nullptr || lun->paths.size() != 2 || lun->Running() != 2)
        Fail("multipath luns", "the dumps do not show the multipath LUN with 2 of 2 paths running");
    else
        figures.before = "2 of 2";
    CheckLuns("multipath luns", "--luns", sections["multipath luns"], luns);
    CheckLunMetrics("multipath metrics", "--prometheus", sections["multipath prometheus"], luns);
    Census census = CensusOf(dump, luns);
    CheckVerdictText("multipath check", "--check", sections["multipath check"], status("check"), 0, census,
                     nullptr);
    CheckVerdictJson("multipath check", "--check --json", sections["multipath check-json"], status("check-json"),
                     0, census, nullptr);
    CheckStatus("multipath check", "--save-baseline", status("save-baseline"), 0);
    if (sections["multipath baseline"].empty())
        Fail("multipath check", "--save-baseline left no baseline");
    CheckVerdictText("multipath check", "--check --baseline", sections["multipath check-baseline"],
                     status("check-baseline"), 0, census, nullptr);

    // After: the failed session's path not running, the other running.
    const std::string after = " after the portal was disabled";
    Dump failed = ParseDump(sections["multipath dump-failed"]);
    std::vector<LunFacts> failedLuns = LunsOf(failed, ParseDisks(sections["multipath disks-failed"]));
    lun = MultipathLun(failedLuns);
    Named named;
    if (lun == nullptr || lun->paths.size() != 2 || lun->Running() != 1 ||
        std::none_of(lun->paths.begin(), lun->paths.end(), [&](const PathFacts& path) {
            return path.session == failedSession && !path.Running();
        })) {
        Fail("multipath luns", "the dumps do not show the multipath LUN with 1 of 2 paths running, " +
                                   (failedSession.empty() ? std::string("the failed one's") : failedSession) +
                                   " not");
    } else {
        figures.after = "1 of 2";
        named.lun = {lun->wwid};
        named.running = 1;
        named.paths = 2;
        for (const PathFacts& path : lun->paths) {
            if (!path.block.empty())
                named.lun.push_back(path.block);
            named.lun.push_back(path.hctl);
            if (path.session != failedSession)
                continue;
            named.session = {path.session};
            if (path.target)
                named.session.push_back(*path.target);
            if (path.portal)
                named.session.push_back(*path.portal);
        }
    }
    CheckLuns("multipath luns", "--luns" + after, sections["multipath luns-failed"], failedLuns);
    CheckLunMetrics("multipath metrics", "--prometheus" + after, sections["multipath prometheus-failed"],
                    failedLuns);
    census = CensusOf(failed, failedLuns);
    const Named* names = named.session.empty() ? nullptr : &named;
    CheckVerdictText("multipath check", "--check" + after, sections["multipath check-failed"],
                     status("check-failed"), 2, census, names);
    CheckVerdictJson("multipath check", "--check --json" + after, sections["multipath check-json-failed"],
                     status("check-json-failed"), 2, census, names);
    CheckVerdictText("multipath check", "--check --baseline" + after, sections["multipath check-baseline-failed"],
                     status("check-baseline-failed"), 2, census, names);

    figures.peers = CheckPeers("multipath peers", sections["multipath peers"], {kSessionsPeer, kLunsPeer});
}

}  // namespace

int main(int argc, char** argv)
{
    // The phases to check: those named, else all of them.  A phase named
    // that the VM did not report fails as "no results".
    const std::set<std::string> known{"loggedin", "failed", "chap", "multipath", "iser", "churn", "san"};
    std::set<std::string> phases;
    for (int i = 2; i < argc; ++i) {
        if (!known.count(argv[i])) {
            std::cerr << "vm-check: unknown phase " << argv[i] << "\n";
            return 2;
        }
        phases.insert(argv[i]);
    }
    if (argc < 2) {
        std::cerr << "usage: vm-check RESULTS [PHASE...]\n";
        return 2;
    }
    if (phases.empty())
        phases = known;
    auto checks = [&](const char* phase) { return phases.count(phase) != 0; };
    std::vector<std::string> marks;
    std::map<std::string, int> statuses;
    std::map<std::string, std::string> sections = Sections(argv[1], marks, statuses);
    std::string failedSession;  // the session whose target was disabled
    bool done = false;
    for (const std::string& mark : marks) {
        if (mark.rfind("FATAL", 0) == 0)
            Fail("vm", mark);
        if (mark.rfind("FAILED ", 0) == 0)
            failedSession = mark.substr(7);
        done = done || mark == "DONE";
    }
    if (!done)
        Fail("vm", "the VM did not finish its run");
    for (const char* phase : {"loggedin", "failed"}) {
        if (!checks(phase))
            continue;
        if (!sections.count(std::string(phase) + " inventory")) {
            Fail(phase, "no results");
            continue;
        }
        CheckPhase(phase, sections);
    }
    // The failed phase must really show a failed session, and its lost
    // connection's unreadable files.
    if (checks("failed") && !failedSession.empty()) {
        Dump dump = ParseDump(sections["failed dump-before"]);
        std::vector<Printed> printed = ParseInventory(sections["failed inventory"], "failed");
        if (Values(printed, "NAME SESSION CLASS :: " + failedSession)["state"] != "FAILED")
            Fail("failed", failedSession + " is not FAILED in the inventory");
        bool notConnected = false;
        for (const auto& [key, object] : dump.objects)
            for (const auto& [name, file] : object.files)
                notConnected = notConnected || file.value.find("not connected") != std::string::npos;
        if (!notConnected)
            Fail("failed", "no attribute read failed with ENOTCONN: the connection was not lost");
    }
    ChurnFigures churn;
    if (checks("churn"))
        CheckChurn(sections, statuses, churn);
    ChapFigures chap;
    if (checks("chap"))
        CheckChap(sections, statuses, marks, chap);
    MultipathFigures multipath;
    ViewFigures views;
    if (checks("multipath")) {
        CheckMultipath(sections, marks, multipath);
        CheckMultipathViews(sections, statuses, multipath.failed.substr(0, multipath.failed.find(' ')), views);
    }
    IserFigures iser;
    if (checks("iser"))
        CheckIser(sections, marks, iser);
    SanFigures san;
    if (checks("san"))
        CheckSan(sections, san);
    if (g_failures == 0 && checks("iser"))
        std::printf("vm-check: iser: %s on %s over iSER (%zu disks) beside %zu tcp sessions; "
                    "text, --json, --sessions, --prometheus match the dump; its objects against "
                    "tcp's (+ only iSER, - only tcp):%s\n",
                    iser.session.c_str(), iser.host.c_str(), iser.disks, iser.tcpSessions,
                    iser.differences.empty() ? " none" : iser.differences.c_str());
    if (g_failures == 0 && checks("churn"))
        std::printf("vm-check: churn: %d iscsi-inventory and %d sysfs-buses runs, sysfs changed "
                    "during %d; %zu sessions and %zu added LUNs seen\n",
                    churn.inventoryRuns, churn.busesRuns, churn.changedRuns, churn.sessions.size(),
                    churn.luns.size());
    if (g_failures == 0 && checks("chap"))
        std::printf("vm-check: chap: %s logged in with mutual CHAP (refused with either secret "
                    "wrong); sysfs shows its secrets to root, %zu masked outputs, facts and "
                    "trace logs do not, --show-secrets does; phase %s\n",
                    chap.session.c_str(), chap.masked, chap.seconds.c_str());
    if (g_failures == 0 && checks("multipath")) {
        const std::string& failed = multipath.failed;  // "sessionN after S s"
        std::printf("vm-check: multipath: %s and %s are the paths of %s (%s), WWID %s; with its "
                    "portal disabled %s showed FAILED in the metrics %s; phase %s\n",
                    multipath.paths[0].c_str(), multipath.paths[1].c_str(), multipath.map.c_str(),
                    multipath.uuid.c_str(), multipath.wwid.c_str(),
                    failed.substr(0, failed.find(' ')).c_str(),
                    failed.find(' ') == std::string::npos ? "" : failed.substr(failed.find(' ') + 1).c_str(),
                    multipath.seconds.c_str());
        std::printf("vm-check: multipath: --luns and the metrics show %s paths running, %s with the portal "
                    "disabled; --check OK, then CRITICAL naming the failed session and the LUN (also "
                    "against a baseline saved before)\n",
                    views.before.c_str(), views.after.c_str());
    }
    // The peers' times are figures, not verdicts: shown whatever failed.
    if (!views.peers.empty())
        std::printf("vm-check: peers: multipath: %s\n", Joined(views.peers, "; ").c_str());
    if (!san.peers.empty())
        std::printf("vm-check: peers: san: %s\n", Joined(san.peers, "; ").c_str());
    if (g_failures == 0 && checks("san"))
        std::printf("vm-check: san: %zu SCSI disks on %zu sessions: dump %.2f s (after: %.2f s), "
                    "iscsi-inventory %.2f s, sysfs-buses scsi %.2f s\n",
                    san.disks, san.sessions, san.seconds["dump-before"], san.seconds["dump-after"],
                    san.seconds["iscsi-inventory"], san.seconds["sysfs-buses"]);
    std::cout << (g_failures == 0 ? "vm-check: all checks passed\n"
                                  : "vm-check: " + std::to_string(g_failures) + " failures\n");
    return g_failures == 0 ? 0 : 1;
}

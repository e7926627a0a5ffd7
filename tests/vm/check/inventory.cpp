// SPDX-License-Identifier: MIT
// The text inventory against the dumps: exactly the entries of the four
// iSCSI classes, and for each its class and path, every attribute file that
// could be read with its content (a value that changed between the two dumps
// may show either), every file its owner may not read with an empty value,
// no file whose read failed otherwise, and the same for the device behind it
// with its identity (bus from the subsystem link).
#include <algorithm>

#include "outputs.h"

namespace vmcheck {

const std::pair<const char*, const char*> kClasses[4] = {
    {"iscsi_host", "NAME DEVICE CLASS:: "},
    {"iscsi_transport", "NAME TRANSPORT CLASS  :: "},
    {"iscsi_connection", "NAME CONNECTION CLASS :: "},
    {"iscsi_session", "NAME SESSION CLASS :: "}};

// A connection's expected status sequence number moves on its own (every
// response advances it, the NOP-Ins that answer the initiator's pings every
// few seconds included), so a program run between two dumps may show any
// value from one dump's on to the other's, counted modulo 2^32.  The slower
// the run (TCG on a busy host), the likelier a ping falls inside it.
bool IsCounter(const std::string& cls, const std::string& key)
{
    return cls == "iscsi_connection" && key == "exp_statsn";
}

namespace {

bool Between(const std::string& value, const std::string& low, const std::string& high)
{
    auto v = Number(value), l = Number(low), h = Number(high);
    return v && l && h && static_cast<std::uint32_t>(*v - *l) <= static_cast<std::uint32_t>(*h - *l);
}

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

// A counter may show anything from the first dump's value on to the second's.
void AllowCounts(Block& block, const std::string& cls, const Object& object, const Object* next)
{
    for (Line& line : block.lines) {
        if (!next || !IsCounter(cls, line.key) || !object.files.count(line.key) ||
            !next->files.count(line.key))
            continue;
        auto low = Shown(object.files.at(line.key)), high = Shown(next->files.at(line.key));
        if (low && high) {
            line.counter = true;
            line.low = *low;
            line.high = *high;
        }
    }
}

// The entry of an object the first dump shows (next: the same in the second,
// if any).
Block ExpectedEntry(const std::string& cls, const std::string& heading, const Object& object,
                    const Object* next, bool counters, bool masked)
{
    Block block{heading + object.name, {}};
    block.lines.push_back({"classname", {cls}});
    block.lines.push_back({"path", {object.path}});
    std::map<std::string, std::set<std::string>> attrs;
    AddFiles(attrs, object.files, next ? &next->files : nullptr, masked);
    Append(block, attrs);
    if (counters)
        AllowCounts(block, cls, object, next);
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
    return block;
}

}  // namespace

bool Accepts(const Line& line, const std::string& value)
{
    return line.values.count(value) || (line.counter && Between(value, line.low, line.high));
}

std::vector<Block> Expected(const Dump& before, const Dump& after, bool counters, bool masked)
{
    std::vector<Block> blocks;
    for (const auto& [cls, heading] : kClasses) {
        for (const auto& [key, object] : before.objects) {
            if (key.first != cls)
                continue;
            auto later = after.objects.find(key);
            const Object* next = later == after.objects.end() ? nullptr : &later->second;
            blocks.push_back(ExpectedEntry(cls, heading, object, next, counters, masked));
        }
    }
    return blocks;
}

std::vector<Printed> ParseInventory(const std::string& text, const std::string& phase, bool report)
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

namespace {

// The lines of one entry, in order; a key out of place ends the comparison.
void CheckEntryLines(const std::string& phase, const Block& want, const Printed& got)
{
    std::size_t n = std::max(want.lines.size(), got.lines.size());
    for (std::size_t j = 0; j < n; ++j) {
        if (j >= got.lines.size()) {
            Fail(phase, want.heading + ": missing " + want.lines[j].key);
        } else if (j >= want.lines.size()) {
            Fail(phase, want.heading + ": unexpected " + got.lines[j].first);
        } else if (want.lines[j].key != got.lines[j].first) {
            Fail(phase, want.heading + ": key " + got.lines[j].first + ", expected " + want.lines[j].key);
            break;
        } else if (!Accepts(want.lines[j], got.lines[j].second)) {
            // A failure names a secret, it does not spell it out.
            auto quoted = [&](const std::string& value) {
                return IsSecret(want.lines[j].key) && IsSet(value) && value != kMask
                           ? std::string("(the secret)")
                           : "\"" + value + "\"";
            };
            Fail(phase, want.heading + ": " + got.lines[j].first + " = " + quoted(got.lines[j].second) +
                            ", expected " + quoted(*want.lines[j].values.begin()));
        }
    }
}

}  // namespace

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
        CheckEntryLines(phase, want, got);
    }
}

std::map<std::string, std::string> Values(const std::vector<Printed>& printed, const std::string& heading)
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

}  // namespace vmcheck

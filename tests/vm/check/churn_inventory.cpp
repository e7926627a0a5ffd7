// SPDX-License-Identifier: MIT
// The text inventory of a churn run, made while sessions logged out and in
// and LUNs came and went: every object both dumps show (the same object:
// same path, and for a host the same session beneath it) must be listed once,
// in order, with each attribute as one of the dumps shows it (left out only
// where a dump shows a read error or no such file); nothing listed twice;
// and the trace must end every attribute query it began.
#include <algorithm>

#include "outputs.h"

namespace vmcheck {

namespace {

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

// The device's identity and files, from whichever dumps show a device.
void AddChurnDevice(std::vector<Line>& lines, const std::string& cls, const Object& before, const Object& after)
{
    std::map<std::string, Line> device;
    bool both = before.hasDevice && after.hasDevice;
    for (const Object* object : {&before, &after}) {
        if (!object->hasDevice)
            continue;
        device["bus"].values.insert(BusOf(object->devicePath, object->subsystem));
        device["bus_id"].values.insert(BaseName(object->devicePath));
        device["name"].values.insert(BaseName(object->devicePath));
        device["driver_name"].values.insert(object->driver.empty() ? "unknown" : BaseName(object->driver));
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

std::vector<Line> ChurnLines(const std::string& cls, const Object& before, const Object& after)
{
    std::vector<Line> lines{{"classname", {cls}}, {"path", {before.path}}};
    std::map<std::string, Line> attrs;
    AddChurnFiles(attrs, cls, before.files, after.files);
    for (const auto& [key, line] : attrs)
        lines.push_back(line);
    if (before.hasDevice || after.hasDevice)
        AddChurnDevice(lines, cls, before, after);
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
        return " (dumps: before " + Describe(before.files, key) + ", after " + Describe(after.files, key) + ")";
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
            Fail(run, cls + " " + name + ": " + key + " = \"" + value + "\", the dumps show " + Choices(want[at]));
        next = at + 1;
    }
    for (; next < want.size(); ++next)
        if (want[next].required)
            Fail(run, cls + " " + name + ": " + want[next].key + " missing" + dumps(want[next].key));
}

// The class of an entry by its heading (its place in kClasses) and its
// name; -1 for no known heading.
int ClassOf(const std::string& heading, std::string& cls, std::string& name)
{
    int pass = -1;
    for (int i = 0; i < 4; ++i) {
        if (heading.rfind(kClasses[i].second, 0) == 0) {
            pass = i;
            cls = kClasses[i].first;
            name = heading.substr(std::string(kClasses[i].second).size());
        }
    }
    return pass;
}

// Each entry once and in order, beginning with its class, and as the dumps
// show it where both show the object.  Returns the objects listed.
std::set<std::pair<std::string, std::string>> CheckChurnEntries(const std::string& run, const Dump& before,
                                                                const Dump& after,
                                                                const std::vector<Printed>& printed)
{
    std::set<std::pair<std::string, std::string>> listed;
    std::pair<int, std::string> last{-1, ""};
    for (const Printed& block : printed) {
        std::string cls, name;
        int pass = ClassOf(block.heading, cls, name);
        if (pass < 0) {
            Fail(run, "unexpected entry \"" + block.heading + "\"");
            continue;
        }
        std::pair<int, std::string> position{pass, name};
        if (position == last)
            Fail(run, cls + " " + name + " printed twice");
        else if (position < last)
            Fail(run, cls + " " + name + " printed after " + kClasses[last.first].first + " " + last.second);
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
    return listed;
}

// The trace: one attribute query per printed entry, each ended.  A class
// device gone between the list and the query ends it with "Class Device not
// found:" (and the entry shows only classname and path).
void CheckChurnTrace(const std::string& run, const std::string& trace, const std::vector<Printed>& printed)
{
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
        Fail(run, "SysReader.log traces " + std::to_string(ends.size()) + " ended attribute queries for " +
                      std::to_string(printed.size()) + " entries");
    for (std::size_t i = 0; i < std::min(ends.size(), printed.size()); ++i) {
        std::string name = printed[i].heading.substr(printed[i].heading.rfind(' ') + 1);
        if (ends[i].rfind("Class Device not found: ", 0) == 0 && ends[i] != "Class Device not found: " + name)
            Fail(run, "SysReader.log: the query for " + name + " ends \"" + ends[i] + "\"");
    }
}

}  // namespace

void CheckChurnInventory(const std::string& run, const Dump& before, const Dump& after, const std::string& text,
                         const std::string& trace)
{
    std::vector<Printed> printed = ParseInventory(text, run);
    std::set<std::pair<std::string, std::string>> listed = CheckChurnEntries(run, before, after, printed);
    for (const auto& [key, object] : before.objects) {
        const Object* a = Find(after, key.first, key.second);
        if (key.first.rfind("iscsi_", 0) == 0 && a && SamePath(before, object.path, after, a->path) &&
            !listed.count(key))
            Fail(run, key.first + " " + key.second + " is in both dumps but not listed");
    }
    CheckChurnTrace(run, trace, printed);
}

}  // namespace vmcheck

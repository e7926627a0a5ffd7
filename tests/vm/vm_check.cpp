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
#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

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
            file.mode = std::stoi(Word(in), nullptr, 8);
            file.ok = Word(in) == "OK";
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

// ------------------------------------------------------ expected inventory

// One printed key with the values it may show.
struct Line {
    std::string key;
    std::set<std::string> values;
};
struct Block {
    std::string heading;
    std::vector<Line> lines;
};

// Adds a map's keys in order; file values from both dumps are acceptable.
void AddFiles(std::map<std::string, std::set<std::string>>& map, const Files& before,
              const Files* after)
{
    for (const auto& [name, file] : before) {
        std::optional<std::string> shown = Shown(file);
        std::optional<std::string> shownAfter;
        if (after != nullptr && after->count(name))
            shownAfter = Shown(after->at(name));
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

std::vector<Block> Expected(const Dump& before, const Dump& after)
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
            AddFiles(attrs, object.files, next ? &next->files : nullptr);
            Append(block, attrs);
            if (object.hasDevice) {
                std::map<std::string, std::set<std::string>> device;
                device["bus"] = {BusOf(object.devicePath, object.subsystem)};
                device["bus_id"] = {BaseName(object.devicePath)};
                device["name"] = {BaseName(object.devicePath)};
                device["driver_name"] = {object.driver.empty() ? "unknown" : BaseName(object.driver)};
                device["path"] = {object.devicePath};
                AddFiles(device, object.deviceFiles, next ? &next->deviceFiles : nullptr);
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

std::vector<Printed> ParseInventory(const std::string& text, const std::string& phase)
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
        } else {
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
            } else if (!want.lines[j].values.count(got.lines[j].second)) {
                Fail(phase, want.heading + ": " + got.lines[j].first + " = \"" +
                                got.lines[j].second + "\", expected \"" +
                                *want.lines[j].values.begin() + "\"");
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

std::map<std::string, std::string> Sections(const std::string& path, std::vector<std::string>& marks)
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
    CheckInventory(phase, Expected(before, after), printed);

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
    std::string target, portal, line;
    int compared = 0;
    while (std::getline(adm, line)) {
        std::smatch m;
        if (std::regex_search(line, m, std::regex("^Target: (\\S+)")))
            target = m[1];
        else if (std::regex_search(line, m, std::regex("Persistent Portal: (\\S+):(\\d+),(\\d+)")))
            portal = m[1].str() + " " + m[2].str() + " " + m[3].str();
        else if (std::regex_search(line, m, std::regex("SID: (\\d+)")))
            target += " " + m[1].str();
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

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::cerr << "usage: vm-check RESULTS\n";
        return 2;
    }
    std::vector<std::string> marks;
    std::map<std::string, std::string> sections = Sections(argv[1], marks);
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
        if (!sections.count(std::string(phase) + " inventory")) {
            Fail(phase, "no results");
            continue;
        }
        CheckPhase(phase, sections);
    }
    // The failed phase must really show a failed session, and its lost
    // connection's unreadable files.
    if (!failedSession.empty()) {
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
    std::cout << (g_failures == 0 ? "vm-check: all checks passed\n"
                                  : "vm-check: " + std::to_string(g_failures) + " failures\n");
    return g_failures == 0 ? 0 : 1;
}

// SPDX-License-Identifier: MIT
// --json against the dumps: its class arrays as the text inventory must
// show them, each session's disks as the SCSI bus shows them, and the joined
// session records with their transport, host and disks.
#include <cctype>

#include "outputs.h"

namespace vmcheck {

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

// "\\" is a backslash, "\xHH" the byte HH; everything else as it is.
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

namespace {

// A value as the text inventory shows it: a string decoded, null "(null)".
std::string JsonText(const nlohmann::json& value)
{
    return value.is_string() ? Decoded(value.get<std::string>()) : value.is_null() ? "(null)" : value.dump();
}

// An element of a class array as a text entry: its class, path and
// attributes, then the device's identity and attributes in the order of
// their names.
Printed JsonEntry(const std::string& heading, const nlohmann::json& entry)
{
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
    return block;
}

}  // namespace

// An entry per class device, in the same order as the text.
std::vector<Printed> JsonInventory(const nlohmann::json& document, const std::string& phase)
{
    std::vector<Printed> printed;
    for (const auto& [cls, heading] : kClasses) {
        if (!document.contains(cls) || !document[cls].is_array()) {
            Fail(phase, std::string("--json has no array ") + cls);
            continue;
        }
        for (const auto& entry : document[cls]) {
            if (!entry.is_object() || !entry.contains("name")) {
                Fail(phase, std::string("--json: an element of ") + cls + " without a name");
                continue;
            }
            printed.push_back(JsonEntry(heading, entry));
        }
    }
    return printed;
}

namespace {

// One disk of a session's array: its address split as its name says, and
// its path, state and block device as the dump shows them.  Returns its name.
std::string CheckJsonDisk(const std::string& phase, const std::string& name, const nlohmann::json& disk,
                          const Dump& dump)
{
    std::string id = JsonText(disk.value("name", nlohmann::json()));
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
    return id;
}

}  // namespace

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
        for (const auto& disk : session["disks"])
            got.push_back(CheckJsonDisk(phase, name, disk, dump));
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

}  // namespace vmcheck

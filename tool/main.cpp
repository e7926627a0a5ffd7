// iscsi-inventory: prints every iSCSI object the kernel shows in sysfs.
//
// Four passes over the iSCSI classes print each class device with its own
// attributes and those of the device behind it; a fifth prints the scsi_host
// entry named "iscsi" and what lies below each of its paths.  The reader's
// trace goes to "SysReader.log" in the current directory unless --log or
// --no-log says otherwise.  With --json the same inventory is one JSON
// document, with each session's disks added.  A set CHAP secret shows as
// "********" in every form unless --show-secrets asks for it; the reader
// never traces one.
//
// Run bare, the text and the log are what they have always been.  The exit
// status tells the truth: 1 when sysfs cannot be reached or standard output
// cannot be written, 2 on a usage error.
#include <dirent.h>
#include <fcntl.h>
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <sysfsreader/reader.h>

#include "log_file.h"

#ifndef ISCSI_INVENTORY_VERSION
#define ISCSI_INVENTORY_VERSION "unknown"
#endif

using namespace Quentor::LinuxEnum;
using Json = nlohmann::ordered_json;

namespace {

constexpr const char* kProgram = "iscsi-inventory";
constexpr const char* kDefaultLog = "SysReader.log";

struct Pass {
    const char* cls;
    const char* heading;
};
const Pass kIscsiPasses[] = {
    {"iscsi_host", "NAME DEVICE CLASS:: "},
    {"iscsi_transport", "NAME TRANSPORT CLASS  :: "},
    {"iscsi_connection", "NAME CONNECTION CLASS :: "},
    {"iscsi_session", "NAME SESSION CLASS :: "},
};

// Standard output with its first failure kept: the errno of a failed write
// is caught before the next query's system calls overwrite it.
class Output {
public:
    // One line, flushed as it is written, so that a run cut short has printed
    // everything up to its last line.
    void Line(std::initializer_list<std::string_view> parts)
    {
        for (std::string_view part : parts)
            std::cout << part;
        std::cout << std::endl;
        Watch();
    }
    void Text(const std::string& text)
    {
        std::cout << text << std::flush;
        Watch();
    }
    bool Failed() const { return m_errno != 0; }

    // Flushes and closes standard output, as the last thing the program does
    // with it: a file system may report a failed write only at the close.
    // Returns 0 or the errno of the first failure.
    int Close()
    {
        std::cout.flush();
        Watch();
        errno = 0;
        if (std::fflush(stdout) != 0 && m_errno == 0)
            m_errno = errno ? errno : EIO;
        if (close(STDOUT_FILENO) != 0 && m_errno == 0 && errno != EBADF)
            m_errno = errno;
        return m_errno;
    }

private:
    void Watch()
    {
        if (!std::cout && m_errno == 0)
            m_errno = errno ? errno : EIO;
    }
    int m_errno = 0;
};

// The reader, with the one result that ends the run: sysfs not mounted and
// not mountable.  Every other result is left aside, as the inventory prints
// whatever the maps hold.  What it hands on is what the output may show: a
// set CHAP secret only as the mask, unless the administrator asked to see
// secrets on this run, so no form of the output can print one by mistake.
class Inventory {
public:
    Inventory(std::ofstream* log, Output& out, bool showSecrets)
        : m_reader(log), m_out(out), m_showSecrets(showSecrets)
    {
    }

    bool Stopped() const { return m_mountFailed || m_out.Failed(); }
    bool MountFailed() const { return m_mountFailed; }

    void ClassList(const std::string& cls, DeviceMap& devices)
    {
        Note(m_reader.GetClsDeviceList(cls, devices));
    }
    void ClassAttributes(const std::string& cls, const std::string& name,
                         AttributeMap& classDevice, AttributeMap& device)
    {
        Note(m_reader.GetClsDeviceAttr(cls, name, classDevice, device));
        MaskSecrets(classDevice);
        MaskSecrets(device);
    }
    int PathAttributes(const std::string& path, DeviceMap& directories)
    {
        int result = Note(m_reader.GetDevicePathAttr(path, directories));
        for (auto& [directory, attributes] : directories)
            MaskSecrets(attributes);
        return result;
    }
    int SplitScsiName(const std::string& name, std::string& controller, std::string& bus,
                      std::string& target, std::string& lun)
    {
        return m_reader.GetScsiDeviceCBTL(name, controller, bus, target, lun);
    }

private:
    void MaskSecrets(AttributeMap& attributes) const
    {
        if (m_showSecrets)
            return;
        for (auto& [key, value] : attributes)
            if (IsSecretAttribute(key, value))
                value = kSecretMask;
    }

    int Note(int result)
    {
        if (result == READER_MOUNT_FAILED)
            m_mountFailed = true;
        return result;
    }

    CSysfsReader m_reader;
    Output& m_out;
    bool m_showSecrets;
    bool m_mountFailed = false;
};

// ---- Text output -----------------------------------------------------------

void PrintAttributes(Output& out, const AttributeMap& attributes)
{
    for (const auto& [key, value] : attributes)
        out.Line({"\t", key, ":: \t", value});
}

void ClassPass(Inventory& inventory, Output& out, const Pass& pass)
{
    DeviceMap devices;
    inventory.ClassList(pass.cls, devices);
    AttributeMap listAttributes, classDeviceAttributes, deviceAttributes;
    for (const auto& [name, entry] : devices) {
        if (inventory.Stopped())
            return;
        out.Line({pass.heading, name});
        inventory.ClassAttributes(pass.cls, name, classDeviceAttributes, deviceAttributes);
        listAttributes = entry;
        PrintAttributes(out, listAttributes);
        PrintAttributes(out, classDeviceAttributes);
        PrintAttributes(out, deviceAttributes);
        classDeviceAttributes.clear();
        deviceAttributes.clear();
    }
}

// The "iscsi" scsi_host entry; every "path" among its attributes is followed
// one level down.  The directory map is kept across paths, so each listing
// shows every directory found so far.
void IscsiHostPass(Inventory& inventory, Output& out)
{
    const std::string cls = "scsi_host";
    DeviceMap devices, directories;
    inventory.ClassList(cls, devices);
    auto entry = devices.find("iscsi");
    if (entry == devices.end() || inventory.Stopped())
        return;
    out.Line({"NAME ISCSI HOST:: ", entry->first});
    AttributeMap listAttributes = entry->second;
    AttributeMap classDeviceAttributes, deviceAttributes;
    inventory.ClassAttributes(cls, entry->first, classDeviceAttributes, deviceAttributes);
    for (const AttributeMap* attributes : {&listAttributes, &classDeviceAttributes, &deviceAttributes}) {
        for (const auto& [key, value] : *attributes) {
            out.Line({"\t", key, ":: \t", value});
            if (key != "path")
                continue;
            inventory.PathAttributes(value, directories);
            for (const auto& [directory, directoryAttributes] : directories) {
                out.Line({"\t Directory ::", directory});
                out.Line({"\t Attributes ::"});
                for (const auto& [name, content] : directoryAttributes)
                    out.Line({"\t\t", name, "::\t", content});
            }
        }
    }
}

void PrintText(Inventory& inventory, Output& out)
{
    for (const Pass& pass : kIscsiPasses) {
        if (inventory.Stopped())
            return;
        ClassPass(inventory, out, pass);
    }
    if (!inventory.Stopped())
        IscsiHostPass(inventory, out);
}

// ---- JSON output -----------------------------------------------------------

// Length of the valid UTF-8 sequence at the start of s, 0 if there is none
// (RFC 3629: no overlong forms, no surrogates, nothing above U+10FFFF).
std::size_t Utf8Sequence(std::string_view s)
{
    auto byte = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
    auto continuation = [&](std::size_t i, unsigned low = 0x80, unsigned high = 0xBF) {
        return i < s.size() && byte(i) >= low && byte(i) <= high;
    };
    unsigned lead = byte(0);
    if (lead < 0x80)
        return 1;
    if (lead >= 0xC2 && lead <= 0xDF)
        return continuation(1) ? 2 : 0;
    if (lead >= 0xE0 && lead <= 0xEF) {
        unsigned low = lead == 0xE0 ? 0xA0 : 0x80, high = lead == 0xED ? 0x9F : 0xBF;
        return continuation(1, low, high) && continuation(2) ? 3 : 0;
    }
    if (lead >= 0xF0 && lead <= 0xF4) {
        unsigned low = lead == 0xF0 ? 0x90 : 0x80, high = lead == 0xF4 ? 0x8F : 0xBF;
        return continuation(1, low, high) && continuation(2) && continuation(3) ? 4 : 0;
    }
    return 0;
}

// Sysfs names and contents are bytes; a JSON string is Unicode.  Every
// string of the document carries its bytes reversibly: valid UTF-8 as it is,
// each byte that is not part of valid UTF-8 as the four characters \xHH
// (lowercase hex), and the backslash itself doubled so that no \x in the
// bytes can be mistaken for an escape.  Control characters are valid UTF-8
// and travel as JSON's own escapes.
std::string Carry(std::string_view bytes)
{
    static const char kHex[] = "0123456789abcdef";
    std::string carried;
    carried.reserve(bytes.size());
    while (!bytes.empty()) {
        std::size_t length = Utf8Sequence(bytes);
        if (length == 0) {
            unsigned char b = static_cast<unsigned char>(bytes[0]);
            carried += "\\x";
            carried += kHex[b >> 4];
            carried += kHex[b & 0xF];
            length = 1;
        } else if (bytes[0] == '\\') {
            carried += "\\\\";
        } else {
            carried.append(bytes.data(), length);
        }
        bytes.remove_prefix(length);
    }
    return carried;
}

Json Attributes(const AttributeMap& attributes)
{
    Json object = Json::object();
    for (const auto& [key, value] : attributes)
        object[Carry(key)] = Carry(value);
    return object;
}

std::string ValueOf(const AttributeMap& attributes, const std::string& key)
{
    auto found = attributes.find(key);
    return found == attributes.end() ? std::string() : found->second;
}

// The device behind a class device: the reader puts its identity first and
// its attribute files after, under the names of neither.
Json PhysicalDevice(const AttributeMap& deviceAttributes)
{
    if (deviceAttributes.empty())
        return nullptr;
    static const char* const kIdentity[] = {"bus_id", "bus", "driver_name", "path", "name"};
    Json device = Json::object();
    AttributeMap rest = deviceAttributes;
    for (const char* key : kIdentity) {
        device[key] = Carry(ValueOf(deviceAttributes, key));
        rest.erase(key);
    }
    device["attributes"] = Attributes(rest);
    return device;
}

Json ClassDevice(const std::string& name, const AttributeMap& listAttributes,
                 const AttributeMap& classDeviceAttributes, const AttributeMap& deviceAttributes)
{
    Json object = Json::object();
    object["name"] = Carry(name);
    object["classname"] = Carry(ValueOf(listAttributes, "classname"));
    object["path"] = Carry(ValueOf(listAttributes, "path"));
    object["attributes"] = Attributes(classDeviceAttributes);
    object["device"] = PhysicalDevice(deviceAttributes);
    return object;
}

// Numbers of a SCSI address compare as numbers (LUN 2 before LUN 10); a
// field that is not all digits compares by its bytes.
bool FieldLess(const std::string& a, const std::string& b)
{
    auto digits = [](const std::string& s) {
        return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
    };
    if (digits(a) && digits(b)) {
        std::string_view x(a), y(b);
        x.remove_prefix(std::min(x.find_first_not_of('0'), x.size()));
        y.remove_prefix(std::min(y.find_first_not_of('0'), y.size()));
        if (x.size() != y.size())
            return x.size() < y.size();
        return x < y;
    }
    return a < b;
}

struct Disk {
    std::string name, path, fields[4];
    std::string stateValue, block;
    bool hasState = false, hasBlock = false;
};

// The directories directly inside dir whose names start with prefix, in
// byte order.  Links are not followed: sysfs's "subsystem" and "device"
// links lead back up the tree.
std::vector<std::string> Subdirectories(const std::string& dir, std::string_view prefix)
{
    std::vector<std::string> names;
    DIR* stream = opendir(dir.c_str());
    if (stream == nullptr)
        return names;
    while (dirent* entry = readdir(stream)) {
        std::string_view name(entry->d_name);
        if (name.substr(0, prefix.size()) != prefix)
            continue;
        bool directory = entry->d_type == DT_DIR;
        if (entry->d_type == DT_UNKNOWN) {
            struct stat st;
            directory = lstat((dir + "/" + entry->d_name).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
        }
        if (directory)
            names.emplace_back(name);
    }
    closedir(stream);
    std::sort(names.begin(), names.end());
    return names;
}

// A session's logical units, as the kernel lays them out below the session's
// device: targetH:C:T/H:C:T:L, each with its state and, for a disk,
// block/sdX.  The targets are found by listing the session's directory (the
// reader's path query stops at the session's iscsi_session/ directory, which
// holds no attributes); what lies below them comes through the reader.
Json SessionDisks(Inventory& inventory, const std::string& sessionPath)
{
    Json disks = Json::array();
    if (sessionPath.empty())
        return disks;
    std::vector<Disk> found;
    for (const std::string& target : Subdirectories(sessionPath, "target")) {
        std::string targetPath = sessionPath + "/" + target;
        DeviceMap units;
        inventory.PathAttributes(targetPath, units);
        for (const auto& [name, attributes] : units) {
            Disk disk;
            if (inventory.SplitScsiName(name, disk.fields[0], disk.fields[1], disk.fields[2],
                                        disk.fields[3]) != READER_OK)
                continue;  // power/ and the like
            disk.name = name;
            disk.path = targetPath + "/" + name;
            auto state = attributes.find("state");
            if (state != attributes.end()) {
                disk.hasState = true;
                disk.stateValue = state->second;
            }
            DeviceMap blocks;
            inventory.PathAttributes(disk.path + "/block", blocks);
            if (!blocks.empty()) {
                disk.hasBlock = true;
                disk.block = blocks.begin()->first;
            }
            found.push_back(std::move(disk));
        }
    }
    std::sort(found.begin(), found.end(), [](const Disk& a, const Disk& b) {
        for (int i = 0; i < 4; ++i) {
            if (FieldLess(a.fields[i], b.fields[i]))
                return true;
            if (FieldLess(b.fields[i], a.fields[i]))
                return false;
        }
        return a.name < b.name;
    });
    for (const Disk& disk : found) {
        Json object = Json::object();
        object["name"] = Carry(disk.name);
        object["path"] = Carry(disk.path);
        object["controller"] = Carry(disk.fields[0]);
        object["bus"] = Carry(disk.fields[1]);
        object["target"] = Carry(disk.fields[2]);
        object["lun"] = Carry(disk.fields[3]);
        object["state"] = disk.hasState ? Json(Carry(disk.stateValue)) : Json(nullptr);
        object["block_device"] = disk.hasBlock ? Json(Carry(disk.block)) : Json(nullptr);
        disks.push_back(std::move(object));
    }
    return disks;
}

Json ClassArray(Inventory& inventory, const std::string& cls)
{
    Json array = Json::array();
    DeviceMap devices;
    inventory.ClassList(cls, devices);
    for (const auto& [name, entry] : devices) {
        if (inventory.Stopped())
            break;
        AttributeMap classDeviceAttributes, deviceAttributes;
        inventory.ClassAttributes(cls, name, classDeviceAttributes, deviceAttributes);
        Json object = ClassDevice(name, entry, classDeviceAttributes, deviceAttributes);
        if (cls == "iscsi_session")
            object["disks"] = SessionDisks(inventory, deviceAttributes.empty()
                                                          ? std::string()
                                                          : ValueOf(deviceAttributes, "path"));
        array.push_back(std::move(object));
    }
    return array;
}

Json IscsiScsiHost(Inventory& inventory)
{
    const std::string cls = "scsi_host";
    DeviceMap devices, directories;
    inventory.ClassList(cls, devices);
    auto entry = devices.find("iscsi");
    if (entry == devices.end() || inventory.Stopped())
        return nullptr;
    AttributeMap classDeviceAttributes, deviceAttributes;
    inventory.ClassAttributes(cls, entry->first, classDeviceAttributes, deviceAttributes);
    Json object = ClassDevice(entry->first, entry->second, classDeviceAttributes, deviceAttributes);
    // The same paths as the text output follows, in the same order; the
    // directories are what all of them together hold.
    for (const AttributeMap* attributes : {&entry->second, &classDeviceAttributes, &deviceAttributes}) {
        auto path = attributes->find("path");
        if (path != attributes->end())
            inventory.PathAttributes(path->second, directories);
    }
    Json listing = Json::object();
    for (const auto& [directory, directoryAttributes] : directories)
        listing[Carry(directory)] = Attributes(directoryAttributes);
    object["directories"] = std::move(listing);
    return object;
}

void PrintJson(Inventory& inventory, Output& out)
{
    Json document = Json::object();
    for (const Pass& pass : kIscsiPasses)
        document[pass.cls] = ClassArray(inventory, pass.cls);
    document["iscsi_scsi_host"] = IscsiScsiHost(inventory);
    if (inventory.Stopped())
        return;
    out.Text(document.dump(2) + "\n");
}

// ---- Command line ----------------------------------------------------------

void Usage(std::ostream& stream)
{
    stream << "Usage: " << kProgram << " [OPTION]...\n"
           << "Print the iSCSI hosts, transports, connections and sessions that sysfs shows,\n"
              "and the scsi_host entry named \"iscsi\".\n"
              "\n"
              "  -l, --log=FILE   write the trace of every query to FILE (default SysReader.log\n"
              "                   in the current directory); never through a symbolic link\n"
              "      --no-log     write no trace (of --log and --no-log, the last one counts)\n"
              "      --json       print the inventory as one JSON document, with each\n"
              "                   session's disks\n"
              "      --show-secrets  print CHAP secrets (password, password_in) as they are\n"
              "                   instead of ********; they never reach the log\n"
              "  -h, --help       print this help and exit\n"
              "  -V, --version    print the version and exit\n"
              "\n"
              "Exit status: 0 on success (also when there is no iSCSI object), 1 when sysfs is\n"
              "not mounted and cannot be mounted, standard output cannot be written or the\n"
              "log named by --log cannot be opened, 2 on a usage error.\n";
}

int UsageError()
{
    std::cerr << "Usage: " << kProgram << " [-h] [-V] [-l FILE] [--no-log] [--json] [--show-secrets]\n"
              << "Try '" << kProgram << " --help' for more information." << std::endl;
    return 2;
}

void Complain(const std::string& message)
{
    std::cerr << kProgram << ": " << message << std::endl;
}

// What getopt_long found wrong, for a message under the program's own name
// rather than getopt's (which would use argv[0], a path as often as not).
// result is what getopt_long returned (':' for a missing argument, '?' for
// the rest) and before the optind it was called with.  optopt holds the short
// option, the value of a long option given an argument it does not take, or
// 0 for an unknown long option.  A long option is always stepped over, so its
// text is the argument before optind; a short option inside a cluster is not.
std::string OptionError(int result, int before, char** argv)
{
    std::string given = optind > before ? argv[optind - 1] : "";
    bool isLong = given.compare(0, 2, "--") == 0;
    std::string name = given.substr(0, given.find('='));
    if (result == ':')
        return isLong ? "option '" + name + "' requires an argument"
                      : std::string("option requires an argument -- '") + char(optopt) + "'";
    if (isLong)
        return optopt == 0 ? "unrecognized option '" + name + "'"
                           : "option '" + name + "' doesn't allow an argument";
    return std::string("invalid option -- '") + char(optopt) + "'";
}

// Ends a run whose inventory is written: the close of standard output is the
// last check.
int Finish(Output& out, int status)
{
    int error = out.Close();
    if (error != 0) {
        Complain(std::string("write error: ") + std::strerror(error));
        return 1;
    }
    return status;
}

int Run(int argc, char** argv)
{
    enum { kNoLog = 256, kJson, kShowSecrets };
    static const option kOptions[] = {
        {"help", no_argument, nullptr, 'h'},   {"version", no_argument, nullptr, 'V'},
        {"log", required_argument, nullptr, 'l'}, {"no-log", no_argument, nullptr, kNoLog},
        {"json", no_argument, nullptr, kJson},   {"show-secrets", no_argument, nullptr, kShowSecrets},
        {nullptr, 0, nullptr, 0},
    };
    std::string logPath = kDefaultLog;
    bool logNamed = false, noLog = false, json = false, showSecrets = false, help = false,
         version = false;
    opterr = 0;  // the messages are ours, under the program's name
    int option, before = optind;
    while ((option = getopt_long(argc, argv, ":hVl:", kOptions, nullptr)) != -1) {
        switch (option) {
        case 'h': help = true; break;
        case 'V': version = true; break;
        case 'l': logPath = optarg; logNamed = true; noLog = false; break;
        case kNoLog: noLog = true; logNamed = false; break;
        case kJson: json = true; break;
        case kShowSecrets: showSecrets = true; break;
        default: Complain(OptionError(option, before, argv)); return UsageError();
        }
        before = optind;
    }
    if (optind < argc) {
        Complain(std::string("unexpected argument '") + argv[optind] + "'");
        return UsageError();
    }

    Output out;
    if (help) {
        Usage(std::cout);
        return Finish(out, 0);
    }
    if (version) {
        std::cout << kProgram << " (sysfsreader) " << ISCSI_INVENTORY_VERSION << std::endl;
        return Finish(out, 0);
    }

    std::ofstream log;
    if (!noLog) {
        programs::LogRefusal refused = programs::OpenLog(log, logPath.c_str());
        // The default log is a convenience: where it cannot be opened the
        // inventory goes on without it.  A log asked for by name is not.
        // Something planted at the default log's name is worth a word.
        if (refused && logNamed) {
            Complain("cannot open log '" + logPath + "': " + refused.why);
            return 1;
        }
        if (refused && !refused.cannotCreate)
            Complain("not writing the log '" + logPath + "': " + refused.why);
    }
    Inventory inventory(&log, out, showSecrets);
    if (json)
        PrintJson(inventory, out);
    else
        PrintText(inventory, out);
    log.close();
    if (inventory.MountFailed()) {
        out.Close();
        Complain("sysfs is not mounted at /sys and cannot be mounted (mounting it needs root)");
        return 1;
    }
    return Finish(out, 0);
}

}  // namespace

int main(int argc, char** argv)
{
    programs::KeepStandardDescriptors();
    try {
        return Run(argc, argv);
    } catch (const std::exception& failure) {
        // Out of memory, mostly: what was printed stands, but the run did
        // not finish.
        Complain(failure.what());
    } catch (...) {
        Complain("unexpected failure");
    }
    return 1;
}

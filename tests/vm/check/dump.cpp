// SPDX-License-Identifier: MIT
// The dumps dump-sysfs.sh took in the VM, independently of the library:
// every class entry with its files (mode, then content in hex or the read
// error) and the device behind it, the SCSI bus, and (--disks) the logical
// units with their WWIDs, block devices and holders.
#include "check.h"

namespace vmcheck {

namespace {

std::string Hex(const std::string& hex)
{
    std::string bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return bytes;
}

// A hex dump's bytes less the final newline ("-": nothing read).
std::string HexValue(const std::string& hex)
{
    std::string value = hex == "-" ? "" : Hex(hex);
    if (!value.empty() && value.back() == '\n')
        value.pop_back();
    return value;
}

// "C NAME MODE OK HEX" or "C NAME MODE ERROR": a file of the class device
// ("D": of the device behind it).
File ParseFile(std::istringstream& in)
{
    File file;
    // A file gone between the directory listing and its stat has
    // no mode: count it as one its owner may read.
    std::string mode = Word(in);
    bool octal = !mode.empty() && mode.find_first_not_of("01234567") == std::string::npos;
    file.mode = octal ? std::stoi(mode, nullptr, 8) : 0400;
    file.ok = (octal ? Word(in) : mode) == "OK";
    file.value = file.ok ? Hex(Rest(in)) : Rest(in);
    return file;
}

// A line of the SCSI bus's listing; false for any other.
bool ParseBusLine(const std::string& tag, std::istringstream& in, Dump& dump)
{
    if (tag == "BUSDEV") {
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
    } else {
        return false;
    }
    return true;
}

// A line about the class entry the last "ENTRY" line opened.
void ParseEntryLine(const std::string& tag, std::istringstream& in, Object& current)
{
    if (tag == "REALPATH") {
        current.path = Rest(in);
    } else if (tag == "DEVICE") {
        current.hasDevice = true;
        current.devicePath = Rest(in);
    } else if (tag == "SUBSYSTEM") {
        current.subsystem = Rest(in);
    } else if (tag == "DRIVER") {
        current.driver = Rest(in);
    } else if (tag == "C" || tag == "D") {
        std::string name = Word(in);
        File file = ParseFile(in);
        (tag == "C" ? current.files : current.deviceFiles)[name] = file;
    }
}

}  // namespace

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
        } else if (!ParseBusLine(tag, in, dump) && current != nullptr) {
            ParseEntryLine(tag, in, *current);
        }
    }
    return dump;
}

const Object* Find(const Dump& dump, const std::string& cls, const std::string& name)
{
    auto at = dump.objects.find({cls, name});
    return at == dump.objects.end() ? nullptr : &at->second;
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
        } else if (tag == "DEV") {
            disks[name].dev = Word(in);
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

std::string BaseName(const std::string& path)
{
    std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

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

}  // namespace vmcheck

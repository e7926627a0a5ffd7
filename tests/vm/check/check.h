// SPDX-License-Identifier: MIT
// What every check of vm-check stands on: how a failure is reported, the
// results file the VM sent back, the independent dumps of sysfs in it, and
// what the tool must show for a file the dump read.
#ifndef VM_CHECK_CHECK_H
#define VM_CHECK_CHECK_H

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace vmcheck {

// ------------------------------------------------------------ reporting

// Prints "FAIL [phase] what" and counts it.
void Fail(const std::string& phase, const std::string& what);
int Failures();

std::string Joined(const std::vector<std::string>& texts, const std::string& separator);

// ------------------------------------------------------- the results file

// The sections "==== BEGIN NAME" ... "==== END NAME rc=N" by name, with the
// exit status of those that have one; every other "==== " line is a mark.
using Sections = std::map<std::string, std::string>;
using Statuses = std::map<std::string, int>;

Sections ReadSections(const std::string& path, std::vector<std::string>& marks, Statuses& statuses);

// A decimal that fits in 32 bits, nothing else.
std::optional<std::uint32_t> Number(const std::string& text);

// The next word of a line, and what follows it (leading blanks dropped).
std::string Word(std::istringstream& in);
std::string Rest(std::istringstream& in);

// ------------------------------------------------------------- the dump

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

Dump ParseDump(const std::string& text);
const Object* Find(const Dump& dump, const std::string& cls, const std::string& name);

// A logical unit as dump-sysfs --disks read it: its WWID, its inquiry
// strings (padded as the kernel shows them; none where unread), its block
// device with its number (major:minor, as a map's table names it), size and
// read-only flag, and the device-mapper devices holding that.
struct DiskDump {
    std::string wwid, block, dev;
    std::optional<std::string> vendor, model, rev;
    std::optional<std::uint64_t> sectors;  // 512-byte sectors
    std::optional<bool> readOnly;
    struct Holder {
        std::string device, uuid, name;
    };
    std::vector<Holder> holders;
};

// By H:C:T:L.
std::map<std::string, DiskDump> ParseDisks(const std::string& text);

std::string BaseName(const std::string& path);
// The bus a subsystem link names, read lexically from the device directory.
std::string BusOf(const std::string& devicePath, const std::string& link);

// ------------------------------------------------ where objects sit in sysfs

// The SCSI host a session's path runs through ("host3"), "" when none.
std::string HostOf(const std::string& path);
// The transport a session uses, as its SCSI host's driver names it.
std::string TransportOf(const Dump& dump, const Object& session);
// The logical units below a session, in the order of their address.
std::vector<std::string> DisksOf(const Dump& dump, const Object& session);
// A SCSI device's one block device, "" when it has none or several.
std::string BlockOf(const Dump& dump, const std::string& disk);
// The order sysfs-buses lists the SCSI bus in.
bool ScsiListedBefore(const std::string& a, const std::string& b);
// Whether two paths are the same object in two dumps: host numbers are
// handed out again, so the same session must sit beneath the host in both.
bool SamePath(const Dump& before, const std::string& pathBefore, const Dump& after,
              const std::string& pathAfter);

// ---------------------------------------------- what the tool shows of a file

// A CHAP secret: the kernel shows it to root in clear text; the inventory,
// its JSON, its facts and every trace log show "********" in its place once
// it is set.  An empty value and the kernel's "(null)" (a session without
// CHAP) say that none is set, and show as they are.
extern const char kMask[];

bool IsSecret(const std::string& name);
bool IsSet(const std::string& value);

// Nothing when its read failed although its owner may read it; otherwise
// its value as the rules make it.
std::optional<std::string> Shown(const File& file);
// The same, a secret masked unless the program was asked to show secrets.
std::optional<std::string> Shown(const std::string& name, const File& file, bool masked);
// A file of an object as the tool reads it; none where the dump shows no
// such file or a read error.
std::optional<std::string> FileValue(const Object* object, const std::string& name);
// The same, "" when unread.
std::string DumpValue(const Object* object, const std::string& file);

}  // namespace vmcheck

#endif

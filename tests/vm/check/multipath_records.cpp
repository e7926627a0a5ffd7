// SPDX-License-Identifier: MIT
// The multipath phase logged in to one LUN through two portals, and
// multipath-tools made one dm-multipath map of the two disks.  Besides the
// logged-in checks, the joined session records of --json must show, for every
// session, the disks iscsiadm attached to it, each with the WWID, block
// device and holders an independent dump of the disks read, and the
// /dev/disk/by-path name made of the portal and target the dump shows; the
// two paths one WWID and one holder, a map whose dm uuid starts "mpath-";
// --prometheus the same disks, and every session's state as the dump shows
// it, before and after one portal was disabled (that path FAILED, the other
// LOGGED_IN).  The logged-in checks fail as "multipath", these as
// "multipath records".
#include <regex>

#include "outputs.h"
#include "phases.h"

namespace vmcheck {

const char kMultipathTarget[] = "iqn.2003-01.org.example.vm:multipath";

namespace {

const char kRecords[] = "multipath records";

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

// The links udev made in /dev/disk/by-path (ls -l: "NAME -> ../../sdX"), by
// block device.
std::map<std::string, std::set<std::string>> ByPathLinks(const std::string& text)
{
    static const std::regex link(".* (\\S+) -> \\.\\./\\.\\./(\\S+)");
    std::map<std::string, std::set<std::string>> byPathLinks;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        std::smatch m;
        if (std::regex_match(line, m, link))
            byPathLinks[m[2]].insert(m[1]);
    }
    return byPathLinks;
}

// What the records are checked against.
struct RecordSources {
    const Dump& dump;
    const std::map<std::string, DiskDump>& disks;
    std::map<std::string, std::set<std::string>> attached;     // sid -> "H:C:T:L sdX"
    std::map<std::string, std::set<std::string>> byPathLinks;  // block device -> link names
};

// What the records showed, for the checks after them.
struct RecordsSeen {
    std::vector<nlohmann::json> paths;  // the sessions to the multipath target
    std::set<std::string> listedSids;
    std::set<std::string> diskInfo;  // the iscsi_disk_info labels the records make
};

// A disk record's holders against those the disk dump shows.  Returns the
// name of the one that is a multipath map ("" for none).
std::string CheckHolders(const std::string& name, const std::string& hctl, const nlohmann::json& disk,
                         const DiskDump& want)
{
    std::set<std::string> holders, wantHolders;
    std::string mapName;
    for (const nlohmann::json& holder : Items(disk, "holders")) {
        holders.insert(Text(Member(holder, "device")) + " " + Text(Member(holder, "name")) + " " +
                       Text(Member(holder, "dm_uuid")) + " " + Text(Member(holder, "multipath")));
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
        Fail(kRecords, name + " " + hctl + ": holders " + list(holders) + ", the dump shows " + list(wantHolders));
    }
    return mapName;
}

// One disk of a session's record: the by-path name made of the session's
// portal and target, the WWID, block device and holders the disk dump shows.
void CheckDiskRecord(const std::string& name, const std::string& byPath, const nlohmann::json& disk,
                     RecordSources& sources, RecordsSeen& seen)
{
    std::string hctl = Text(Member(disk, "hctl"));
    std::string block = Text(Member(disk, "block_device"));
    std::string shownByPath = Text(Member(disk, "by_path"));
    if (shownByPath != byPath)
        Fail(kRecords, name + " " + hctl + ": by_path \"" + shownByPath + "\", expected \"" + byPath + "\"");
    auto found = sources.disks.find(hctl);
    if (found == sources.disks.end()) {
        Fail(kRecords, name + ": the disk dump does not show " + hctl);
        return;
    }
    const DiskDump& want = found->second;
    std::string wwid = Text(Member(disk, "wwid"));
    // No wwid where the kernel has no VPD page 0x83 to make one of
    // (target0's and target1's LUNs have no unit serial).
    if (wwid != (want.wwid.empty() ? "null" : want.wwid))
        Fail(kRecords, name + " " + hctl + ": wwid \"" + wwid + "\", the dump shows \"" + want.wwid + "\"");
    if (block != "null" && !sources.byPathLinks[block].count(shownByPath))
        Fail(kRecords, name + " " + hctl + ": by_path \"" + shownByPath + "\" is no /dev/disk/by-path link of " +
                           block);
    if (block != want.block)
        Fail(kRecords, name + " " + hctl + ": block_device \"" + block + "\", the dump shows \"" + want.block +
                           "\"");
    std::string mapName = CheckHolders(name, hctl, disk, want);
    // The metric's labels: empty where the record has null.
    auto label = [](const std::string& text) { return text == "null" ? "" : text; };
    seen.diskInfo.insert(name + " " + hctl + " " + label(block) + " " + label(wwid) + " " + byPath + " " +
                         mapName);
}

// A session's record: one the dump shows, with the disks iscsiadm attached
// to it.
void CheckSessionRecord(const nlohmann::json& session, RecordSources& sources, RecordsSeen& seen)
{
    std::string name = Text(Member(session, "name"));
    const Object* object = Find(sources.dump, "iscsi_session", name);
    if (object == nullptr || name.rfind("session", 0) != 0) {
        Fail(kRecords, "--json has a record of " + name + ", which the dump does not show");
        return;
    }
    std::string sid = name.substr(7);
    seen.listedSids.insert(sid);
    const Object* connection = Find(sources.dump, "iscsi_connection", "connection" + sid + ":0");
    std::string target = DumpValue(object, "targetname");
    std::string address = DumpValue(connection, "persistent_address");
    std::string port = DumpValue(connection, "persistent_port");
    std::set<std::string> listed;
    for (const nlohmann::json& disk : Items(session, "disks")) {
        std::string hctl = Text(Member(disk, "hctl"));
        listed.insert(hctl + " " + Text(Member(disk, "block_device")));
        std::string byPath = "ip-" + address + ":" + port + "-iscsi-" + target + "-lun-" +
                             hctl.substr(hctl.rfind(':') + 1);
        CheckDiskRecord(name, byPath, disk, sources, seen);
    }
    if (listed != sources.attached[sid]) {
        std::string text;
        for (const std::string& disk : sources.attached[sid])
            text += " " + disk;
        Fail(kRecords, name + ": --json lists " + std::to_string(listed.size()) + " disks, iscsiadm attached" +
                           (text.empty() ? " none" : text));
    }
    if (target == kMultipathTarget)
        seen.paths.push_back(session);
}

// The figures of one path: its disk one WWID, held by one multipath map
// built by that WWID.
void CheckPath(const nlohmann::json& path, const Dump& dump, MultipathFigures& figures,
               std::set<std::string>& portals, std::set<std::string>& wwids, std::set<std::string>& maps)
{
    std::string name = Text(Member(path, "name"));
    const Object* connection = Find(dump, "iscsi_connection", "connection" + name.substr(7) + ":0");
    portals.insert(DumpValue(connection, "persistent_address"));
    figures.paths.push_back(name + " (" + DumpValue(connection, "persistent_address") + ")");
    const nlohmann::json& records = Items(path, "disks");
    if (records.size() != 1) {
        Fail(kRecords, name + " has " + std::to_string(records.size()) + " disks, not 1");
        return;
    }
    const nlohmann::json& disk = records[0];
    std::string wwid = Text(Member(disk, "wwid"));
    wwids.insert(wwid);
    const nlohmann::json& holders = Items(disk, "holders");
    if (holders.size() != 1) {
        Fail(kRecords, name + "'s disk has " + std::to_string(holders.size()) + " holders, not 1");
        return;
    }
    const nlohmann::json& holder = holders[0];
    std::string uuid = Text(Member(holder, "dm_uuid"));
    if (uuid.rfind("mpath-", 0) != 0 || Member(holder, "multipath") != true)
        Fail(kRecords, name + "'s holder is no multipath map: dm_uuid \"" + uuid + "\", multipath " +
                           Text(Member(holder, "multipath")));
    // multipath names a map by the WWID it read from VPD page 0x83: for an
    // NAA designator, "3" (its type) and the same hex digits the kernel
    // shows after "naa.".
    if (wwid.rfind("naa.", 0) == 0 && uuid != "mpath-3" + wwid.substr(4))
        Fail(kRecords, name + ": the map " + uuid + " was not built by the disk's WWID " + wwid);
    maps.insert(Text(Member(holder, "device")) + " " + Text(Member(holder, "name")) + " " + uuid);
    figures.wwid = wwid;
    figures.map = Text(Member(holder, "name"));
    figures.uuid = uuid;
}

// The two paths: one LUN, one WWID, one multipath map above both.  False
// when there are not two.
bool CheckTwoPaths(const std::vector<nlohmann::json>& paths, const Dump& dump, MultipathFigures& figures)
{
    if (paths.size() != 2) {
        Fail(kRecords,
             "--json has " + std::to_string(paths.size()) + " sessions to " + kMultipathTarget + ", not 2");
        return false;
    }
    std::set<std::string> portals, wwids, maps;
    for (const nlohmann::json& path : paths)
        CheckPath(path, dump, figures, portals, wwids, maps);
    if (portals.size() != 2)
        Fail(kRecords, "the two paths do not run through two portals");
    if (wwids.size() != 1 || wwids.begin()->empty() || *wwids.begin() == "null")
        Fail(kRecords, "the two paths do not show one WWID");
    if (maps.size() != 1)
        Fail(kRecords, "the two paths are not held by one map");
    return true;
}

// --prometheus: a disk series for each disk record, with the same labels.
void CheckDiskInfo(const std::string& text, const std::set<std::string>& diskInfo)
{
    static const std::regex info("iscsi_disk_info\\{session=\"([^\"]*)\",hctl=\"([^\"]*)\",device=\"([^\"]*)\","
                                 "wwid=\"([^\"]*)\",by_path=\"([^\"]*)\",multipath_device=\"([^\"]*)\"\\} 1");
    std::set<std::string> series;
    std::istringstream exposition(text);
    for (std::string line; std::getline(exposition, line);) {
        std::smatch m;
        if (std::regex_match(line, m, info))
            series.insert(m[1].str() + " " + m[2].str() + " " + m[3].str() + " " + m[4].str() + " " + m[5].str() +
                          " " + m[6].str());
    }
    for (const std::string& want : diskInfo)
        if (!series.count(want))
            Fail(kRecords, "--prometheus has no iscsi_disk_info for \"" + want + "\"");
    if (series.size() != diskInfo.size())
        Fail(kRecords, "--prometheus has " + std::to_string(series.size()) + " iscsi_disk_info series for " +
                           std::to_string(diskInfo.size()) + " disks");
}

// One portal disabled: its session FAILED in the metrics and the dump taken
// after them, the other path still logged in.
void CheckFailedPath(Sections& sections, const std::vector<nlohmann::json>& paths, const MultipathFigures& figures)
{
    Dump failed = ParseDump(sections["multipath sessions-failed"]);
    std::string failedSession = figures.failed.substr(0, figures.failed.find(' '));
    if (failedSession.empty()) {
        Fail(kRecords, "the VM did not report which path it failed");
        return;
    }
    CheckStates(kRecords, "--prometheus after the portal was disabled", sections["multipath prometheus-failed"],
                failed);
    auto states = SessionStates(sections["multipath prometheus-failed"]);
    for (const nlohmann::json& path : paths) {
        std::string name = Text(Member(path, "name"));
        std::string want = name == failedSession ? "FAILED" : "LOGGED_IN";
        if (states[name][want] != "1")
            Fail(kRecords, "after the portal was disabled, --prometheus does not show " + name + " " + want);
    }
    if (Text(Member(paths[0], "name")) != failedSession && Text(Member(paths[1], "name")) != failedSession)
        Fail(kRecords, "the failed session " + failedSession + " is no path of the map");
}

}  // namespace

void CheckMultipath(Sections& sections, const std::vector<std::string>& marks, MultipathFigures& figures)
{
    if (!sections.count("multipath inventory")) {
        Fail("multipath", "no results");
        return;
    }
    for (const std::string& mark : marks) {
        if (mark.rfind("MPFAILED ", 0) == 0)
            figures.failed = mark.substr(9);
        if (mark.rfind("MULTIPATHED in ", 0) == 0)
            figures.seconds = mark.substr(15);
    }
    CheckLoggedIn("multipath", sections);
    Dump dump = ParseDump(sections["multipath dump-before"]);
    std::map<std::string, DiskDump> disks = ParseDisks(sections["multipath disks"]);
    RecordSources sources{dump, disks, AttachedDisks(sections["multipath iscsiadm"]),
                          ByPathLinks(sections["multipath by-path"])};
    nlohmann::json document = nlohmann::json::parse(sections["multipath json"], nullptr, false);
    if (document.is_discarded() || !document.is_object() || !document.contains("sessions") ||
        !document["sessions"].is_array()) {
        Fail(kRecords, "the --json output is no document with a sessions array");
        return;
    }
    RecordsSeen seen;
    for (const nlohmann::json& session : document["sessions"])
        CheckSessionRecord(session, sources, seen);
    for (const auto& [sid, _] : sources.attached)
        if (!seen.listedSids.count(sid))
            Fail(kRecords, "iscsiadm lists session " + sid + ", --json has no record of it");
    if (!CheckTwoPaths(seen.paths, dump, figures))
        return;
    CheckDiskInfo(sections["multipath prometheus"], seen.diskInfo);
    CheckStates(kRecords, "--prometheus", sections["multipath prometheus"], dump);
    CheckFailedPath(sections, seen.paths, figures);
}

}  // namespace vmcheck

// SPDX-License-Identifier: MIT
// inventory-floor [--rules | --joined=FORM]: the least work that printing the
// iSCSI inventory takes.  For the four iSCSI classes it lists each class
// directory, and for every class device reads each attribute file the
// inventory prints (those of the class device and of the device behind it)
// exactly once, with one open, one read and one close, and writes as many
// output lines as the inventory, through one buffered stream.  Nothing is
// checked, traced or resolved twice.
//
// With --rules it also does what the reader's rules demand of every query and
// cannot be skipped: the mount check (one statfs of /sys) before each of the
// inventory's queries, and a trace entry with its header (time, thread and
// process) for every line the reader traces, flushed at both of its ends, to
// ./SysReader.log, and every output line flushed as it is written.  Its time
// is the floor for a tool that keeps those rules.
//
// The joined forms join each session with its host, connections and disks,
// and run without a log.  Their floors walk what those forms walk, once:
//
// --joined=whole reads every file of every device they meet: the bare
// floor's, the attribute files of each iSCSI host's scsi_host class device,
// the SCSI bus's device list (a readdir and one readlink per device), and for
// each logical unit its attribute files, its block/ directory, its block
// device's attribute files and that device's holders/ directory, and for
// each holder (a multipath map) the files of its dm/ directory.  It is the
// floor of --json, whose raw class arrays hold every file.
//
// --joined=sessions, luns, summary, check or prometheus reads only the files
// whose fields that form shows, as kJoinedForms lists them, each once, and
// the walk every joined form makes: the four class directories listed, the
// class entry and its device link resolved for each host, connection and
// session (a transport is only listed), the SCSI bus's device list, and for
// each logical unit its block/ directory and its block device's holders/
// directory listed.  It writes one line per object and one per file read,
// as --joined=whole does for what it reads.
//
// Run with the tree at /sys (under umockdev-wrapper for a fabricated one).
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

#include <sysfsreader/log/log.h>

namespace {

using FileNames = std::vector<const char*>;

// The files each named joined form reads, per object, relative to the
// object's directory: an iSCSI session, connection and host class device,
// the host's scsi_host class device, a logical unit (its SCSI device), its
// block device (its dev joins it to its path in the map's own view, for the
// forms that show that) and a holder of that (a multipath map; the tool also
// reads the map's own dev once per map, which the floor leaves out).  Forms
// that show the same fields share a row.  The one list of names: a form that
// comes to show another field gets it here.
struct JoinedForm {
    std::vector<std::string_view> forms;
    FileNames session, connection, host, scsiHost, lun, block, holder;
};

const JoinedForm kJoinedForms[] = {
    {{"sessions"},
     {"targetname", "tpgt", "initiatorname", "ifacename", "state", "target_state", "recovery_tmo",
      "abort_tmo", "lu_reset_tmo", "tgt_reset_tmo", "first_burst_len", "max_burst_len",
      "max_outstanding_r2t", "immediate_data", "initial_r2t", "username", "password",
      "username_in", "password_in"},
     {"state", "persistent_address", "persistent_port", "address", "port", "header_digest",
      "data_digest", "max_recv_dlength", "max_xmit_dlength"},
     {"hwaddress", "ipaddress", "netdev"},
     {"proc_name"},
     {"state", "wwid"},
     {"size"},
     {"dm/name", "dm/uuid"}},
    {{"luns", "summary", "check"},
     {"targetname", "tpgt", "ifacename", "state", "recovery_tmo"},
     {"state", "persistent_address", "persistent_port"},
     {},
     {"proc_name"},
     {"state", "vendor", "model", "rev", "wwid"},
     {"size", "ro", "dev"},
     {"dm/name", "dm/uuid"}},
    {{"prometheus"},
     {"targetname", "tpgt", "ifacename", "state", "recovery_tmo", "initiatorname"},
     {"state", "persistent_address", "persistent_port"},
     {},
     {"proc_name"},
     {"state", "vendor", "model", "rev", "wwid", "ioerr_cnt", "iotmo_cnt"},
     {"size", "ro", "dev"},
     {"dm/name", "dm/uuid"}},
};

bool g_rules = false;
bool g_joined = false;                 // --joined=whole or a named form
const JoinedForm* g_named = nullptr;  // the named form's files
std::ofstream g_log;

void Traced(const char* message)
{
    if (g_rules)
        g_log << std::endl << GetLogHeader() << '\t' << message << std::endl;
}

// The mount check every query makes.
void Query(const char* name)
{
    Traced(name);
    if (!g_rules)
        return;
    Traced("mount check");
    // The file system type of /sys, as the mount check asks it.
    struct statfs fs;
    if (statfs("/sys", &fs) != 0)
        std::perror("/sys");
    Traced("mount check done");
}

std::vector<std::string> Names(const std::string& dir)
{
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) {
            if (e->d_name[0] != '.')
                names.emplace_back(e->d_name);
        }
        closedir(d);
    }
    return names;
}

// dir/name read once and written as one line; a file that is not there
// (a form asks for some that a kernel may lack) is written empty.
void PrintFile(const std::string& dir, const char* name, std::string& out)
{
    char buffer[4096];
    ssize_t n = 0;
    int fd = open((dir + "/" + name).c_str(), O_RDONLY);
    if (fd >= 0) {
        n = read(fd, buffer, sizeof buffer);
        close(fd);
    }
    if (n > 0 && buffer[n - 1] == '\n')
        --n;
    out.append("\t").append(name).append(":: \t");
    out.append(buffer, n > 0 ? static_cast<std::size_t>(n) : 0).append("\n");
    Traced(name);
}

// Every regular file of dir, read once.
void PrintFiles(const std::string& dir, std::string& out)
{
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) {
            if (e->d_type == DT_REG)
                PrintFile(dir, e->d_name, out);
        }
        closedir(d);
    }
}

// The named files of dir, each read once.
void PrintNamed(const std::string& dir, const FileNames& names, std::string& out)
{
    for (const char* name : names)
        PrintFile(dir, name, out);
}

// The directory a link in dir leads to (dir/target), or "" when it is none.
std::string LinkTarget(const std::string& dir, const std::string& name)
{
    char target[4096];
    ssize_t n = readlink((dir + "/" + name).c_str(), target, sizeof target - 1);
    if (n <= 0)
        return {};
    target[n] = '\0';
    return dir + "/" + target;
}

// The names of the real subdirectories of dir.
std::vector<std::string> Subdirectories(const std::string& dir)
{
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) {
            if (e->d_type == DT_DIR && e->d_name[0] != '.')
                names.emplace_back(e->d_name);
        }
        closedir(d);
    }
    return names;
}

// What the joined forms read of the SCSI bus: its device list, and each
// logical unit (a name of four fields) with its block device and holders.
void JoinedBusPass(std::string& out)
{
    const std::string devices = "/sys/bus/scsi/devices";
    for (const std::string& name : Names(devices)) {
        const std::string dir = LinkTarget(devices, name);
        if (dir.empty() || std::count(name.begin(), name.end(), ':') != 3)
            continue;
        out.append("SCSI DEVICE :: ").append(name).append("\n");
        if (g_named != nullptr)
            PrintNamed(dir, g_named->lun, out);
        else
            PrintFiles(dir, out);
        for (const std::string& block : Subdirectories(dir + "/block")) {
            const std::string blockDir = dir + "/block/" + block;
            if (g_named != nullptr)
                PrintNamed(blockDir, g_named->block, out);
            else
                PrintFiles(blockDir, out);
            const std::string holders = blockDir + "/holders";
            for (const std::string& holder : Names(holders)) {
                // A holder is named by device-mapper's own files (dm/name,
                // dm/uuid): a multipath map is told by its uuid.
                out.append("\tholder:: \t").append(holder).append("\n");
                if (g_named != nullptr) {
                    // Opened through the holder's link: the path is not kept.
                    PrintNamed(holders + "/" + holder, g_named->holder, out);
                } else {
                    const std::string device = LinkTarget(holders, holder);
                    if (!device.empty())
                        PrintFiles(device + "/dm", out);
                }
            }
        }
        std::cout << out;
        out.clear();
    }
}

void ClassPass(const std::string& cls, const char* heading, std::string& out)
{
    // The same trace entries as the reader writes: per query its entry, the
    // mount check's two and its exit; per device listed one; per device read
    // one on finding it, one before each attribute group and one per line.
    Query("list");
    const std::string classDir = "/sys/class/" + cls;
    const std::vector<std::string> names = Names(classDir);
    for (std::size_t i = 0; i < names.size(); ++i)
        Traced("pushed");
    Traced("list done");
    for (const std::string& name : names) {
        Query("attributes");
        char target[4096];
        const std::string entry = classDir + "/" + name;
        ssize_t n = readlink(entry.c_str(), target, sizeof target - 1);
        if (n <= 0)
            continue;
        target[n] = '\0';
        Traced("found");
        const std::string dir = classDir + "/" + target;
        out.append(heading).append(name).append("\n");
        out.append("\tclassname:: \t").append(cls).append("\n\tpath:: \t").append(dir).append("\n");
        Traced("class device attributes");
        PrintFiles(dir, out);
        n = readlink((dir + "/device").c_str(), target, sizeof target - 1);
        if (n > 0) {
            target[n] = '\0';
            std::string device = dir + "/" + target;
            Traced("device attributes");
            for (const char* key : {"bus", "bus_id", "driver_name", "name", "path"}) {
                out.append("\t").append(key).append(":: \t").append(device).append("\n");
                Traced(key);
            }
            PrintFiles(device, out);
        }
        // The joined forms read each host's driver name from its scsi_host
        // class device.
        if (g_joined && cls == "iscsi_host") {
            const std::string scsiHost = LinkTarget("/sys/class/scsi_host", name);
            if (!scsiHost.empty())
                PrintFiles(scsiHost, out);
        }
        Traced("attributes done");
        if (g_rules) {
            // Line by line, each flushed, as the inventory must.
            std::size_t start = 0;
            for (std::size_t end; (end = out.find('\n', start)) != std::string::npos; start = end + 1)
                std::cout.write(out.data() + start, end - start) << std::endl;
        } else {
            std::cout << out;
        }
        out.clear();
    }
}

// A named form's walk of one class: each class device found through its
// class entry, its device link resolved (that is how a session finds its
// host and a connection its session), and only its named files read.
// files is null for the transport class, which is listed and no more.
void NamedClassPass(const std::string& cls, const FileNames* files, std::string& out)
{
    const std::string classDir = "/sys/class/" + cls;
    for (const std::string& name : Names(classDir)) {
        out.append(cls).append(" :: ").append(name).append("\n");
        if (files == nullptr)
            continue;
        const std::string dir = LinkTarget(classDir, name);
        if (dir.empty())
            continue;
        const std::string device = LinkTarget(dir, "device");
        PrintNamed(dir, *files, out);
        // A host's driver name is its scsi_host class device's proc_name.
        if (cls == "iscsi_host" && !device.empty())
            PrintNamed(device + "/scsi_host/" + name, g_named->scsiHost, out);
        std::cout << out;
        out.clear();
    }
}

// The named form of --joined=FORM, or null when FORM is none of them.
const JoinedForm* NamedForm(std::string_view form)
{
    for (const JoinedForm& row : kJoinedForms) {
        if (std::find(row.forms.begin(), row.forms.end(), form) != row.forms.end())
            return &row;
    }
    return nullptr;
}

}  // namespace

int main(int argc, char** argv)
{
    const std::string_view option = argc > 1 ? argv[1] : "";
    constexpr std::string_view kJoined = "--joined=";
    if (option == "--rules") {
        g_rules = true;
    } else if (option.substr(0, kJoined.size()) == kJoined) {
        const std::string_view form = option.substr(kJoined.size());
        g_joined = true;
        g_named = NamedForm(form);
        if (g_named == nullptr && form != "whole")
            argc = 3;  // an unknown form: the usage below
    }
    if (argc > 2 || (argc == 2 && !g_rules && !g_joined)) {
        std::fprintf(stderr, "usage: inventory-floor [--rules | --joined=whole|sessions|luns|"
                             "summary|check|prometheus]\n");
        return 2;
    }
    if (g_rules)
        g_log.open("SysReader.log", std::ios::out | std::ios::trunc);
    std::string out;
    if (g_named != nullptr) {
        NamedClassPass("iscsi_host", &g_named->host, out);
        NamedClassPass("iscsi_transport", nullptr, out);
        NamedClassPass("iscsi_connection", &g_named->connection, out);
        NamedClassPass("iscsi_session", &g_named->session, out);
        JoinedBusPass(out);
        std::cout << std::flush;
        return 0;
    }
    ClassPass("iscsi_host", "NAME DEVICE CLASS:: ", out);
    ClassPass("iscsi_transport", "NAME TRANSPORT CLASS  :: ", out);
    ClassPass("iscsi_connection", "NAME CONNECTION CLASS :: ", out);
    ClassPass("iscsi_session", "NAME SESSION CLASS :: ", out);
    if (g_joined)
        JoinedBusPass(out);
    Query("scsi_host list");
    for (const std::string& name : Names("/sys/class/scsi_host")) {
        (void)name;
        Traced("pushed");
    }
    Traced("list done");
    std::cout << std::flush;
    return 0;
}

// SPDX-License-Identifier: MIT
// inventory-floor [--rules | --joined | --joined-checks]: the least work that printing the iSCSI
// inventory takes.  For the four iSCSI classes it lists each class directory, and for
// every class device reads each attribute file the inventory prints (those of
// the class device and of the device behind it) exactly once, with one open,
// one read and one close, and writes as many output lines as the inventory,
// through one buffered stream.  Nothing is checked, traced or resolved twice.
//
// With --rules it also does what the reader's rules demand of every query and
// cannot be skipped: the mount check (reading /proc/mounts) before each of the
// inventory's queries, and a trace entry with its header (time, thread and
// process) for every line the reader traces, flushed at both of its ends, to
// ./SysReader.log, and every output line flushed as it is written.  Its time
// is the floor for a tool that keeps those rules.
//
// With --joined it reads, besides, what the forms that join each session with
// its host and disks (--json, --prometheus) read, each file once: the
// attribute files of each iSCSI host's scsi_host class device (for the
// driver's name), the SCSI bus's device list (a readdir and one readlink per
// device), and for each logical unit its attribute files, its block/
// directory, its block device's attribute files and that device's holders/
// directory, and for each holder (a multipath map) the files of its dm/
// directory.  Its time is the floor of those forms (run without a log), and
// of the forms that join LUNs across sessions (--luns, --check), which read
// the same.
//
// With --joined-checks it is the joined floor plus the one cost the reader's
// rules put on those forms' queries (they run without a log): a read of the
// mount table for each mount check and for each class or bus that libsysfs
// opens, as many as the joined forms' queries make (for each class device
// two, for each host's scsi_host device one, for the bus's device list one,
// for each logical unit four: its attributes two, its block device one, its
// holders one; one for each holder; two for the scsi_host class's list at
// the end).
//
// Run with the tree at /sys (under umockdev-wrapper for a fabricated one).
#include <dirent.h>
#include <fcntl.h>
#include <mntent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include <sysfsreader/log/log.h>

namespace {

bool g_rules = false;
bool g_joined = false;
bool g_mountChecks = false;
std::ofstream g_log;

void Traced(const char* message)
{
    if (g_rules)
        g_log << std::endl << GetLogHeader() << '\t' << message << std::endl;
}

// The mount table read as far as sysfs, as finding the mount does.
void ReadMountTable()
{
    if (FILE* mounts = setmntent("/proc/mounts", "r")) {
        while (mntent* entry = getmntent(mounts)) {
            if (std::strcmp(entry->mnt_type, "sysfs") == 0)
                break;
        }
        endmntent(mounts);
    }
}

// With --joined-checks, the mount table reads of count queries' mount checks
// and openings.
void MountChecks(int count)
{
    for (int i = 0; g_mountChecks && i < count; ++i)
        ReadMountTable();
}

// The mount check every query makes.
void Query(const char* name)
{
    Traced(name);
    if (!g_rules)
        return;
    Traced("mount check");
    ReadMountTable();
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

// Every regular file of dir, read once.
void PrintFiles(const std::string& dir, std::string& out)
{
    char buffer[4096];
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) {
            if (e->d_type != DT_REG)
                continue;
            ssize_t n = 0;
            int fd = open((dir + "/" + e->d_name).c_str(), O_RDONLY);
            if (fd >= 0) {
                n = read(fd, buffer, sizeof buffer);
                close(fd);
            }
            if (n > 0 && buffer[n - 1] == '\n')
                --n;
            out.append("\t").append(e->d_name).append(":: \t");
            out.append(buffer, n > 0 ? static_cast<std::size_t>(n) : 0).append("\n");
            Traced(e->d_name);
        }
        closedir(d);
    }
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
    MountChecks(1);
    for (const std::string& name : Names(devices)) {
        const std::string dir = LinkTarget(devices, name);
        if (dir.empty() || std::count(name.begin(), name.end(), ':') != 3)
            continue;
        MountChecks(4);
        out.append("SCSI DEVICE :: ").append(name).append("\n");
        PrintFiles(dir, out);
        for (const std::string& block : Subdirectories(dir + "/block")) {
            PrintFiles(dir + "/block/" + block, out);
            const std::string holders = dir + "/block/" + block + "/holders";
            for (const std::string& holder : Names(holders)) {
                // A holder is named by device-mapper's own files (dm/name,
                // dm/uuid): a multipath map is told by its uuid.
                MountChecks(1);
                out.append("\tholder:: \t").append(holder).append("\n");
                const std::string device = LinkTarget(holders, holder);
                if (!device.empty())
                    PrintFiles(device + "/dm", out);
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
    MountChecks(2);
    const std::string classDir = "/sys/class/" + cls;
    const std::vector<std::string> names = Names(classDir);
    for (std::size_t i = 0; i < names.size(); ++i)
        Traced("pushed");
    Traced("list done");
    for (const std::string& name : names) {
        Query("attributes");
        MountChecks(2);
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
            MountChecks(1);
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

}  // namespace

int main(int argc, char** argv)
{
    g_rules = argc > 1 && std::strcmp(argv[1], "--rules") == 0;
    g_mountChecks = argc > 1 && std::strcmp(argv[1], "--joined-checks") == 0;
    g_joined = g_mountChecks || (argc > 1 && std::strcmp(argv[1], "--joined") == 0);
    if (g_rules)
        g_log.open("SysReader.log", std::ios::out | std::ios::trunc);
    std::string out;
    ClassPass("iscsi_host", "NAME DEVICE CLASS:: ", out);
    ClassPass("iscsi_transport", "NAME TRANSPORT CLASS  :: ", out);
    ClassPass("iscsi_connection", "NAME CONNECTION CLASS :: ", out);
    ClassPass("iscsi_session", "NAME SESSION CLASS :: ", out);
    if (g_joined)
        JoinedBusPass(out);
    Query("scsi_host list");
    MountChecks(2);
    for (const std::string& name : Names("/sys/class/scsi_host")) {
        (void)name;
        Traced("pushed");
    }
    Traced("list done");
    std::cout << std::flush;
    return 0;
}

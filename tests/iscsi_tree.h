// SPDX-License-Identifier: MIT
// iSCSI topologies on a SysTree, laid out as the iSCSI transport class and
// the SCSI and block layers lay them out: a software host per session under
// devices/platform (as iscsi_tcp makes them; an offload HBA's host may sit on
// its PCI card and hold several sessions), its session and connection,
// logical units in targetH:0:0 below the session (bound to sd, each with its
// block device), and device-mapper maps holding block devices.  Only the
// attributes a test names are written, besides those that make the objects
// what they are; a value left empty (std::nullopt) is a file the kernel does
// not show.
#ifndef SYSFSREADER_TESTS_ISCSI_TREE_H
#define SYSFSREADER_TESTS_ISCSI_TREE_H

#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "sys_tree.h"

// An attribute file's content without its final newline; none: no such file.
using TreeValue = std::optional<std::string>;
// More attribute files: name, content without the final newline.
using TreeFiles = std::vector<std::pair<std::string, std::string>>;

struct SessionSpec {
    int sid = 1;       // the session's number
    int host = 0;      // its SCSI host's number: the session's own when 0
    std::string hostParent = "devices/platform";  // a PCI card's directory for an offload HBA
    TreeValue target = std::string("iqn.2003-01.org.example:storage");
    TreeValue address = std::string("192.0.2.10");  // the portal
    TreeValue port = std::string("3260");
    bool currentPortal = true;  // address and port as well as the persistent ones
    bool connection = true;     // false: a session without its connection
    TreeValue state = std::string("LOGGED_IN");
    TreeValue connectionState = std::string("up");
    TreeValue recoveryTimeout = std::string("120");
    TreeValue iface = std::string("default");
    TreeValue tpgt = std::string("1");
    TreeValue password = std::string("TreeSecret");
    TreeValue procName = std::string("iscsi_tcp");     // the scsi_host's
    TreeValue hostAddress = std::string("127.0.0.1");  // the iscsi_host's ipaddress
    TreeFiles sessionFiles, connectionFiles;
};

struct LunSpec {
    int lun = 0;
    TreeValue state = std::string("running");
    TreeValue wwid;
    std::optional<std::string> disk;  // sdX: no block device when not given
    TreeValue readOnly = std::string("0");
    TreeValue sectors = std::string("2097152");  // 1 GiB
    TreeValue vendor = std::string("LIO-ORG ");
    TreeValue model = std::string("IBLOCK          ");
    TreeValue rev = std::string("4.0 ");
    TreeValue ioErrors = std::string("0x0");  // ioerr_cnt
    TreeValue ioTimeouts = std::string("0x0");  // iotmo_cnt
};

class IscsiTree {
public:
    explicit IscsiTree(SysTree& tree) : m_tree(tree) {}

    // A session with its host (made with the host's first session) and one
    // connection.
    IscsiTree& Session(const SessionSpec& session);
    // A logical unit of session sid: H:0:0:lun (a session may have several).
    IscsiTree& Lun(int sid, const LunSpec& lun);
    // A device-mapper device dm (dm-0, device number 253:0) named name, with the uuid a
    // multipath map has (mpath-<wwid>) unless uuid says otherwise, holding
    // the block devices disks.
    IscsiTree& Map(const std::string& dm, const std::string& name, const std::vector<std::string>& disks,
                   std::optional<std::string> uuid = std::nullopt);

    // Where things are, relative to sys/, for sessions made here (or about
    // to be, as Session() would place them with their defaults).
    std::string HostPath(int sid) const;
    std::string SessionPath(int sid) const;
    std::string SessionClassPath(int sid) const;  // .../iscsi_session/sessionN
    std::string ConnectionClassPath(int sid, int cid = 0) const;  // .../iscsi_connection/connectionN:C
    std::string LunPath(int sid, int lun) const;

private:
    int HostOf(int sid) const;

    SysTree& m_tree;
    std::map<int, SessionSpec> m_sessions;
    std::set<std::string> m_hosts;
    std::vector<std::pair<std::string, std::string>> m_disks;  // sdX, its block directory
};

#endif

// SPDX-License-Identifier: MIT
// iSCSI topologies on a SysTree, laid out as the iSCSI transport class and
// the SCSI and block layers lay them out: a software host per session under
// devices/platform (as iscsi_tcp makes them), its session and connection,
// logical units in targetH:0:0 below the session (bound to sd, each with its
// block device), and device-mapper maps holding block devices.  Only the
// attributes a test names are written, besides those that make the objects
// what they are.
#ifndef SYSFSREADER_TESTS_ISCSI_TREE_H
#define SYSFSREADER_TESTS_ISCSI_TREE_H

#include <optional>
#include <string>
#include <vector>

#include "sys_tree.h"

struct SessionSpec {
    int sid = 1;  // the session's number; its host is host<sid>
    std::string target = "iqn.2003-01.org.example:storage";
    std::string address = "192.0.2.10";  // the portal
    std::string port = "3260";
    std::string state = "LOGGED_IN";
    std::string connectionState = "up";
    std::string recoveryTimeout = "120";
    std::string iface = "default";
    std::string tpgt = "1";
    std::string procName = "iscsi_tcp";
};

struct LunSpec {
    int lun = 0;
    std::string state = "running";
    std::optional<std::string> wwid;
    std::optional<std::string> disk;  // sdX: no block device when not given
    std::string readOnly = "0";
    std::string sectors = "2097152";  // 1 GiB
    std::string vendor = "LIO-ORG ";
    std::string model = "IBLOCK          ";
    std::string rev = "4.0 ";
};

class IscsiTree {
public:
    explicit IscsiTree(SysTree& tree) : m_tree(tree) {}

    // A session with its host and one connection.
    IscsiTree& Session(const SessionSpec& session);
    // A logical unit of session sid: sid:0:0:lun (a session may have several).
    IscsiTree& Lun(int sid, const LunSpec& lun);
    // A device-mapper device dm (dm-0) named name, with the uuid a
    // multipath map has (mpath-<wwid>) unless uuid says otherwise, holding
    // the block devices disks.
    IscsiTree& Map(const std::string& dm, const std::string& name, const std::vector<std::string>& disks,
                   std::optional<std::string> uuid = std::nullopt);

    // Where things are, relative to sys/.
    static std::string HostPath(int sid);
    static std::string SessionPath(int sid);
    static std::string SessionClassPath(int sid);  // .../iscsi_session/sessionN
    static std::string LunPath(int sid, int lun);

private:
    SysTree& m_tree;
    std::vector<std::pair<std::string, std::string>> m_disks;  // sdX, its block directory
};

#endif

// SPDX-License-Identifier: MIT
#include "iscsi_tree.h"

#include <filesystem>

std::string IscsiTree::HostPath(int sid)
{
    return "devices/platform/host" + std::to_string(sid);
}

std::string IscsiTree::SessionPath(int sid)
{
    return HostPath(sid) + "/session" + std::to_string(sid);
}

std::string IscsiTree::SessionClassPath(int sid)
{
    return SessionPath(sid) + "/iscsi_session/session" + std::to_string(sid);
}

std::string IscsiTree::LunPath(int sid, int lun)
{
    const std::string h = std::to_string(sid);
    return SessionPath(sid) + "/target" + h + ":0:0/" + h + ":0:0:" + std::to_string(lun);
}

IscsiTree& IscsiTree::Session(const SessionSpec& s)
{
    const std::string n = std::to_string(s.sid);
    const std::string host = HostPath(s.sid), session = SessionPath(s.sid);
    const std::string iscsiHost = host + "/iscsi_host/host" + n;
    const std::string scsiHost = host + "/scsi_host/host" + n;
    const std::string cls = SessionClassPath(s.sid);
    const std::string connection = session + "/connection" + n + ":0/iscsi_connection/connection" + n + ":0";
    m_tree.BusDevice("scsi", host)
        .ClassDevice("iscsi_host", iscsiHost)
        .File(iscsiHost + "/ipaddress", "127.0.0.1\n")
        .ClassDevice("scsi_host", scsiHost)
        .File(scsiHost + "/proc_name", s.procName + "\n")
        .ClassDevice("iscsi_session", cls)
        .File(cls + "/targetname", s.target + "\n")
        .File(cls + "/tpgt", s.tpgt + "\n")
        .File(cls + "/state", s.state + "\n")
        .File(cls + "/recovery_tmo", s.recoveryTimeout + "\n")
        .File(cls + "/ifacename", s.iface + "\n")
        .File(cls + "/password", "TreeSecret\n")
        .ClassDevice("iscsi_connection", connection)
        .File(connection + "/persistent_address", s.address + "\n")
        .File(connection + "/persistent_port", s.port + "\n")
        .File(connection + "/address", s.address + "\n")
        .File(connection + "/port", s.port + "\n")
        .File(connection + "/state", s.connectionState + "\n");
    return *this;
}

IscsiTree& IscsiTree::Lun(int sid, const LunSpec& l)
{
    const std::string lun = LunPath(sid, l.lun);
    const std::string target = lun.substr(0, lun.rfind('/'));
    // The session's target holds every LUN of the session: made with the first.
    if (!std::filesystem::exists(m_tree.Abs(target)))
        m_tree.BusDevice("scsi", target);
    m_tree.BusDevice("scsi", lun)
        .Bind("scsi", "sd", lun)
        .File(lun + "/state", l.state + "\n")
        .File(lun + "/vendor", l.vendor + "\n")
        .File(lun + "/model", l.model + "\n")
        .File(lun + "/rev", l.rev + "\n")
        .File(lun + "/ioerr_cnt", "0x0\n")
        .File(lun + "/iotmo_cnt", "0x0\n");
    if (l.wwid)
        m_tree.File(lun + "/wwid", *l.wwid + "\n");
    if (l.disk) {
        const std::string block = lun + "/block/" + *l.disk;
        m_tree.ClassDevice("block", block)
            .File(block + "/size", l.sectors + "\n")
            .File(block + "/ro", l.readOnly + "\n")
            .Dir(block + "/holders");
        m_disks.emplace_back(*l.disk, block);
    }
    return *this;
}

IscsiTree& IscsiTree::Map(const std::string& dm, const std::string& name,
                          const std::vector<std::string>& disks, std::optional<std::string> uuid)
{
    const std::string device = "devices/virtual/block/" + dm;
    m_tree.ClassDevice("block", device, false)
        .File(device + "/dm/name", name + "\n")
        .File(device + "/dm/uuid", uuid.value_or("mpath-" + name) + "\n");
    for (const std::string& disk : disks)
        for (const auto& [sd, block] : m_disks)
            if (sd == disk) {
                m_tree.Link(block + "/holders/" + dm, device);
                m_tree.Link(device + "/slaves/" + sd, block);
            }
    return *this;
}

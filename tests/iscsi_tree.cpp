// SPDX-License-Identifier: MIT
#include "iscsi_tree.h"

#include <filesystem>

namespace {

// Each attribute that has a value, with the final newline sysfs gives it.
void Write(SysTree& tree, const std::string& dir, std::initializer_list<std::pair<const char*, TreeValue>> files)
{
    for (const auto& [name, value] : files)
        if (value)
            tree.File(dir + "/" + name, *value + "\n");
}

void Write(SysTree& tree, const std::string& dir, const TreeFiles& files)
{
    for (const auto& [name, value] : files)
        tree.File(dir + "/" + name, value + "\n");
}

}  // namespace

int IscsiTree::HostOf(int sid) const
{
    auto found = m_sessions.find(sid);
    return found == m_sessions.end() || found->second.host == 0 ? sid : found->second.host;
}

std::string IscsiTree::HostPath(int sid) const
{
    auto found = m_sessions.find(sid);
    const std::string parent = found == m_sessions.end() ? "devices/platform" : found->second.hostParent;
    return parent + "/host" + std::to_string(HostOf(sid));
}

std::string IscsiTree::SessionPath(int sid) const
{
    return HostPath(sid) + "/session" + std::to_string(sid);
}

std::string IscsiTree::SessionClassPath(int sid) const
{
    return SessionPath(sid) + "/iscsi_session/session" + std::to_string(sid);
}

std::string IscsiTree::ConnectionClassPath(int sid, int cid) const
{
    const std::string name = "connection" + std::to_string(sid) + ":" + std::to_string(cid);
    return SessionPath(sid) + "/" + name + "/iscsi_connection/" + name;
}

std::string IscsiTree::LunPath(int sid, int lun) const
{
    const std::string h = std::to_string(HostOf(sid));
    return SessionPath(sid) + "/target" + h + ":0:0/" + h + ":0:0:" + std::to_string(lun);
}

IscsiTree& IscsiTree::Session(const SessionSpec& s)
{
    m_sessions[s.sid] = s;
    const std::string n = std::to_string(HostOf(s.sid));
    const std::string host = HostPath(s.sid);
    if (m_hosts.insert(host).second) {
        const std::string iscsiHost = host + "/iscsi_host/host" + n;
        const std::string scsiHost = host + "/scsi_host/host" + n;
        m_tree.BusDevice("scsi", host)
            .ClassDevice("iscsi_host", iscsiHost)
            .ClassDevice("scsi_host", scsiHost);
        Write(m_tree, iscsiHost, {{"ipaddress", s.hostAddress}});
        Write(m_tree, scsiHost, {{"proc_name", s.procName}});
    }
    const std::string cls = SessionClassPath(s.sid);
    m_tree.ClassDevice("iscsi_session", cls);
    Write(m_tree, cls,
          {{"targetname", s.target}, {"tpgt", s.tpgt}, {"state", s.state},
           {"recovery_tmo", s.recoveryTimeout}, {"ifacename", s.iface}, {"password", s.password}});
    Write(m_tree, cls, s.sessionFiles);
    if (s.connection) {
        const std::string connection = ConnectionClassPath(s.sid);
        m_tree.ClassDevice("iscsi_connection", connection);
        Write(m_tree, connection,
              {{"persistent_address", s.address}, {"persistent_port", s.port}, {"state", s.connectionState}});
        if (s.currentPortal)
            Write(m_tree, connection, {{"address", s.address}, {"port", s.port}});
        Write(m_tree, connection, s.connectionFiles);
    }
    return *this;
}

IscsiTree& IscsiTree::Lun(int sid, const LunSpec& l)
{
    const std::string lun = LunPath(sid, l.lun);
    const std::string target = lun.substr(0, lun.rfind('/'));
    // The session's target holds every LUN of the session: made with the first.
    if (!std::filesystem::exists(m_tree.Abs(target)))
        m_tree.BusDevice("scsi", target);
    m_tree.BusDevice("scsi", lun).Bind("scsi", "sd", lun);
    Write(m_tree, lun,
          {{"state", l.state}, {"vendor", l.vendor}, {"model", l.model}, {"rev", l.rev},
           {"ioerr_cnt", l.ioErrors}, {"iotmo_cnt", l.ioTimeouts}, {"wwid", l.wwid}});
    if (l.disk) {
        const std::string block = lun + "/block/" + *l.disk;
        m_tree.ClassDevice("block", block).Dir(block + "/holders");
        // sd's numbers: 8:0 for sda, 8:16 for sdb...
        const std::string& sd = *l.disk;
        const std::size_t index = sd.size() == 3 ? static_cast<std::size_t>(sd[2] - 'a') : m_disks.size();
        Write(m_tree, block, {{"size", l.sectors}, {"ro", l.readOnly}, {"dev", "8:" + std::to_string(16 * index)}});
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
        .File(device + "/dm/uuid", uuid.value_or("mpath-" + name) + "\n")
        .File(device + "/dev", "253:" + dm.substr(dm.find('-') + 1) + "\n");
    for (const std::string& disk : disks)
        for (const auto& [sd, block] : m_disks)
            if (sd == disk) {
                m_tree.Link(block + "/holders/" + dm, device);
                m_tree.Link(device + "/slaves/" + sd, block);
            }
    return *this;
}

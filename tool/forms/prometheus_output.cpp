// SPDX-License-Identifier: MIT
#include "forms/prometheus_output.h"

#include "mapper/multipath_map.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "walk/fields.h"
#include "json/json_string.h"
#include "verdict/verdict.h"
#include "files/write_file.h"

namespace inventory {

namespace {

using Labels = std::initializer_list<std::pair<const char*, std::string_view>>;

// The labels of a sample, label="value",... in the order given.
std::string LabelText(Labels labels)
{
    std::string text;
    for (const auto& [label, bytes] : labels) {
        if (!text.empty())
            text += ',';
        text += label;
        text += "=\"";
        text += PrometheusLabelValue(bytes);
        text += '"';
    }
    return text;
}

// One sample line, name{labels} value, added to text.
void AppendSample(std::string& text, const char* name, const std::string& labels, std::string_view value)
{
    text.reserve(text.size() + std::char_traits<char>::length(name) + labels.size() + value.size() + 4);
    text += name;
    text += '{';
    text += labels;
    text += "} ";
    text += value;
    text += '\n';
}

void Sample(Spool& family, const char* name, const std::string& labels, std::string_view value)
{
    std::string line;
    AppendSample(line, name, labels, value);
    family.Append(line);
}

void Sample(Spool& family, const char* name, Labels labels, std::string_view value)
{
    Sample(family, name, LabelText(labels), value);
}

// A field as a label holds it.
template <typename Attributes>
std::string_view Label(const Attributes& attributes, const Field& f)
{
    return AsLabel(Raw(attributes, f));
}

// One series per state the kernel knows, 1 for the current one, so that an
// alert can ask for the state it cares about being 0; a current state the
// list does not know gets a series of its own.  No state read, no series:
// nothing is known.  owner holds the labels that name the object.
void States(Spool& family, const char* name, const std::string& owner,
            std::string_view current, std::initializer_list<const char*> known)
{
    if (current.empty())
        return;
    bool isKnown = false;
    for (const char* state : known) {
        bool on = current == state;
        isKnown = isKnown || on;
        Sample(family, name, owner + ",state=\"" + state + '"', on ? "1" : "0");
    }
    if (!isKnown)
        Sample(family, name, owner + "," + LabelText({{"state", current}}), "1");
}

// The multipath device above the disk: its device-mapper name (mpatha), or
// dm-N where it has none; empty when no holder is a multipath one.
std::string_view MultipathOf(const DiskRecord& disk)
{
    const DiskRecord::Holder* holder = MultipathHolder(disk);
    return holder == nullptr ? std::string_view() : MapName(holder->name, holder->device);
}

// The same for a LUN, from the map its paths were found under: what
// iscsi_disk_info says of its disks, so that the two join.
std::string_view MultipathOf(const LunRecord& lun)
{
    return lun.multipath ? MapName(lun.multipath->name, lun.multipath->device) : std::string_view();
}

// A family's HELP and TYPE lines.
void Header(const std::function<void(std::string_view)>& sink, const char* name, const char* type,
            const char* help)
{
    sink(std::string("# HELP ") + name + ' ' + help + "\n# TYPE " + name + ' ' + type + '\n');
}

}  // namespace

std::string PrometheusLabelValue(std::string_view bytes)
{
    std::string carried = Carry(bytes), escaped;
    escaped.reserve(carried.size());
    for (char c : carried) {
        switch (c) {
        case '\\': escaped += "\\\\"; break;
        case '"': escaped += "\\\""; break;
        case '\n': escaped += "\\n"; break;
        default: escaped += c;
        }
    }
    return escaped;
}

void PrometheusOutput::Session(const SessionRecord& session)
{
    const AttributeMap& a = session.attributes;
    const std::string_view name = session.name;
    const std::string host = session.host ? session.host->name : std::string();
    const std::string transport =
        session.host && !session.host->procName.empty() ? TransportOf(session.host->procName) : "";
    Sample(m_sessionInfo, "iscsi_session_info",
           {{"session", name}, {"target", Label(a, field::kTarget)}, {"portal", PortalOf(session)},
            {"iface", Label(a, field::kIface)}, {"initiator", Label(a, field::kInitiator)},
            {"transport", transport}, {"host", host}},
           "1");
    States(m_sessionState, "iscsi_session_state", LabelText({{"session", name}}),
           Label(a, field::kSessionState), {"LOGGED_IN", "FAILED", "FREE"});
    for (const ConnectionRecord& connection : session.connections)
        States(m_connectionState, "iscsi_connection_state",
               LabelText({{"session", name}, {"connection", connection.name}}),
               Label(connection.attributes, field::kConnectionState), {"up", "down", "failed", "bound"});
    // "off" (a recovery that never times out) is no number of seconds.
    if (auto recovery = RecoveryOf(a).seconds)
        Sample(m_recoveryTimeout, "iscsi_session_recovery_timeout_seconds", {{"session", name}},
               std::to_string(*recovery));
    Sample(m_sessionDisks, "iscsi_session_disks", {{"session", name}},
           std::to_string(session.disks.size()));
    for (const DiskRecord& disk : session.disks) {
        Sample(m_diskInfo, "iscsi_disk_info",
               {{"session", name}, {"hctl", disk.name},
                {"device", disk.blockDevice ? std::string_view(*disk.blockDevice) : ""},
                {"wwid", Label(disk.attributes, field::kWwid)}, {"by_path", ByPathName(session, disk)},
                {"multipath_device", MultipathOf(disk)}},
               "1");
        if (auto errors = NumberOf(field::kIoErrors, Raw(disk.attributes, field::kIoErrors)))
            Sample(m_diskErrors, "iscsi_disk_io_errors_total", {{"session", name}, {"hctl", disk.name}},
                   std::to_string(*errors));
        if (auto timeouts = NumberOf(field::kIoTimeouts, Raw(disk.attributes, field::kIoTimeouts)))
            Sample(m_diskTimeouts, "iscsi_disk_io_timeouts_total",
                   {{"session", name}, {"hctl", disk.name}}, std::to_string(*timeouts));
        const std::string owner = LabelText({{"session", name}, {"hctl", disk.name}});
        States(m_diskState, "iscsi_disk_state", owner, disk.state.value_or(""),
               {"running", "created", "blocked", "quiesce", "offline", "transport-offline",
                "created-blocked", "cancel", "deleted", "cancel-offline"});
        // Anything but the kernel's 0 or 1 says nothing of the device.
        if (auto ro = FlagOf(Raw(disk.block, field::kReadOnly)))
            Sample(m_diskReadOnly, "iscsi_disk_read_only", owner, *ro ? "1" : "0");
        if (auto size = SizeBytes(disk.block))
            Sample(m_diskSize, "iscsi_disk_size_bytes", owner, std::to_string(*size));
    }
    m_topology.Add(session);
}

int PrometheusOutput::Finish(const Walk& walk)
{
    const bool failed = ReportFailures(walk);
    if (walk.MountFailed()) {
        m_out.Close();
        return 1;
    }
    const std::size_t unreadable = walk.Errors().size();
    int spoolError = 0, writeError = 0;
    std::string writeWhy;
    if (!m_file) {
        spoolError = Write([&](std::string_view piece) { m_out.Text(piece); }, unreadable, walk.Maps());
    } else {
        writeError = WriteFile(
            *m_file, 0644, base::PathTrust::Destination,
            [&](const PieceWriter& write) {
                spoolError = Write([&](std::string_view piece) { write(piece); }, unreadable, walk.Maps());
                return spoolError;
            },
            writeWhy);
    }
    if (spoolError != 0) {
        m_out.Close();
        Complain(std::string("cannot read back the metrics kept aside: ") + std::strerror(spoolError));
        return 1;
    }
    if (writeError != 0) {
        m_out.Close();
        Complain("cannot write '" + *m_file + "': " + writeWhy);
        return 1;
    }
    return m_out.Finish(failed ? 1 : 0);
}

void PrometheusOutput::WriteLuns(const std::function<void(std::string_view)>& sink,
                                 const std::vector<LunRecord>& luns) const
{
    // A LUN is named by its key: its WWID, or for one without, "hctl:" and
    // its only path's address, which stays as long as the LUN does.
    if (luns.empty())
        return;
    struct Family {
        const char* name;
        const char* help;
        bool withMap;
        std::size_t (*value)(const LunRecord&);
    };
    const Family families[] = {
        {"iscsi_lun_paths",
         "The ways to a logical unit: the SCSI devices of all sessions that show its WWID "
         "(hctl:H:C:T:L for one without), labelled with the multipath device above them.",
         true, [](const LunRecord& lun) { return lun.paths.size(); }},
        {"iscsi_lun_paths_running",
         "The paths to a logical unit that can carry I/O: the SCSI device running, its "
         "session logged in, its block device there and, where the multipath map's own view "
         "was read, the device-mapper not failing it.",
         false, [](const LunRecord& lun) { return lun.PathsRunning(); }},
    };
    // Standard output is flushed at each piece: the samples go in chunks.
    std::string chunk;
    for (const Family& family : families) {
        Header(sink, family.name, "gauge", family.help);
        for (const LunRecord& lun : luns) {
            const std::string labels =
                family.withMap ? LabelText({{"wwid", LunKey(lun)}, {"multipath_device", MultipathOf(lun)}})
                               : LabelText({{"wwid", LunKey(lun)}});
            AppendSample(chunk, family.name, labels, std::to_string(family.value(lun)));
            if (chunk.size() >= Spool::kChunk) {
                sink(chunk);
                chunk.clear();
            }
        }
        if (!chunk.empty()) {
            sink(chunk);
            chunk.clear();
        }
    }
}

void PrometheusOutput::WriteVerdict(const std::function<void(std::string_view)>& sink,
                                    const std::vector<LunRecord>& luns, std::size_t unreadable) const
{
    // The check's own judge, with its defaults and without a baseline (the
    // metrics' memory is Prometheus's): alerts built on these series say
    // what --check says.
    Verdict verdict;
    verdict.findings = JudgeHost(m_topology, luns, JudgeOptions());
    verdict.Rank({});
    if (unreadable != 0)
        verdict.problems.push_back({});
    Header(sink, "iscsi_check_status", "gauge",
           "The verdict of iscsi-inventory --check without a baseline: 0 OK, 1 WARNING, 2 CRITICAL, "
           "3 UNKNOWN (an object could not be read).");
    sink("iscsi_check_status " + std::to_string(static_cast<int>(verdict.status())) + "\n");
    if (verdict.findings.empty())
        return;
    Header(sink, "iscsi_check_finding", "gauge",
           "What iscsi-inventory --check finds wrong, one series per finding: its rule, its severity "
           "(critical, warning) and what it is about (session, connection, target, portal, lun: a WWID "
           "or hctl:H:C:T:L).");
    std::string chunk;
    for (const Finding& finding : verdict.findings) {
        std::string severity = StatusName(finding.severity);
        std::transform(severity.begin(), severity.end(), severity.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        const FindingSubject& s = finding.subject;
        AppendSample(chunk, "iscsi_check_finding",
                     LabelText({{"rule", finding.rule}, {"severity", severity}, {"session", s.session},
                                {"connection", s.connection}, {"target", s.target}, {"portal", s.portal},
                                {"lun", s.lun}}),
                     "1");
    }
    sink(chunk);
}

void PrometheusOutput::WriteMapStates(const std::function<void(std::string_view)>& sink,
                                      const std::vector<LunRecord>& luns, const Walk::MapStates& maps) const
{
    if (!maps.met)
        return;
    Header(sink, "iscsi_multipath_states_read", "gauge",
           "1 when the device-mapper's own view of the multipath maps was read, 0 when it did "
           "not answer (it answers only CAP_SYS_ADMIN, through /dev/mapper/control): the paths "
           "are then judged from sysfs alone.");
    sink(std::string("iscsi_multipath_states_read ") + (maps.unread ? "0" : "1") + "\n");
    std::string active, failures, queueing;
    for (const LunRecord& lun : luns) {
        if (!lun.multipath || !lun.multipath->dm)
            continue;
        const std::string map(MultipathOf(lun));
        AppendSample(queueing, "iscsi_multipath_queue_if_no_path",
                     LabelText({{"wwid", LunKey(lun)}, {"multipath_device", map}}),
                     lun.multipath->dm->queueIfNoPath ? "1" : "0");
        for (const PathRecord& path : lun.paths) {
            if (!path.dm || !path.dm->inMap)
                continue;
            const std::string labels = LabelText(
                {{"wwid", LunKey(lun)}, {"session", path.session}, {"hctl", path.hctl}, {"multipath_device", map}});
            AppendSample(active, "iscsi_lun_path_dm_active", labels, path.dm->active ? "1" : "0");
            AppendSample(failures, "iscsi_lun_path_dm_failures_total", labels, std::to_string(path.dm->failCount));
        }
    }
    const struct {
        const char* name;
        const char* type;
        const char* help;
        const std::string& samples;
    } families[] = {
        {"iscsi_lun_path_dm_active", "gauge",
         "1 when the device-mapper sends the map's I/O to the path, 0 when it has failed it "
         "(after I/O errors, whatever the SCSI device's state says).",
         active},
        {"iscsi_lun_path_dm_failures_total", "counter",
         "How often the device-mapper failed the path since the map was made: a path that "
         "flaps between two scrapes leaves no other trace.",
         failures},
        {"iscsi_multipath_queue_if_no_path", "gauge",
         "1 when the map holds I/O back, rather than fail it, while no path runs (I/O then hangs).",
         queueing},
    };
    for (const auto& family : families) {
        if (family.samples.empty())
            continue;
        Header(sink, family.name, family.type, family.help);
        sink(family.samples);
    }
}

int PrometheusOutput::Write(const std::function<void(std::string_view)>& sink,
                            std::size_t unreadable, const Walk::MapStates& maps) const
{
    struct Kept {
        const char* name;
        const char* type;
        const char* help;
        const Spool& samples;
    };
    const Kept families[] = {
        {"iscsi_session_info", "gauge",
         "An iSCSI session: its target, the portal of its first connection, its iface, "
         "initiator name, transport and SCSI host.",
         m_sessionInfo},
        {"iscsi_session_state", "gauge",
         "1 for the session's current state, 0 for the other known states "
         "(LOGGED_IN, FAILED, FREE).",
         m_sessionState},
        {"iscsi_connection_state", "gauge",
         "1 for the connection's current state, 0 for the other known states "
         "(up, down, failed, bound).",
         m_connectionState},
        {"iscsi_session_recovery_timeout_seconds", "gauge",
         "How long the session waits for a lost connection to come back before it fails its "
         "commands; absent when recovery never times out.",
         m_recoveryTimeout},
        {"iscsi_session_disks", "gauge", "The SCSI logical units of the session.", m_sessionDisks},
        {"iscsi_disk_info", "gauge",
         "A logical unit of a session: its block device, WWID, /dev/disk/by-path name and "
         "multipath device.",
         m_diskInfo},
        {"iscsi_disk_io_errors_total", "counter",
         "Commands to the logical unit that completed with an error (ioerr_cnt).", m_diskErrors},
        {"iscsi_disk_io_timeouts_total", "counter",
         "Commands to the logical unit that timed out (iotmo_cnt).", m_diskTimeouts},
        {"iscsi_disk_state", "gauge",
         "1 for the SCSI device's current state, 0 for the other known states (running, "
         "created, blocked, quiesce, offline, transport-offline, created-blocked, cancel, "
         "deleted, cancel-offline); only a running device takes commands.",
         m_diskState},
        {"iscsi_disk_read_only", "gauge",
         "1 when the logical unit's block device is read-only, 0 when it can be written.",
         m_diskReadOnly},
        {"iscsi_disk_size_bytes", "gauge", "The size of the logical unit's block device in bytes.",
         m_diskSize},
    };
    for (const Kept& family : families) {
        if (family.samples.Empty())
            continue;
        Header(sink, family.name, family.type, family.help);
        if (int error = family.samples.Replay(sink))
            return error;
    }
    const std::vector<LunRecord> luns = m_topology.Luns();
    WriteLuns(sink, luns);
    WriteMapStates(sink, luns, maps);
    WriteVerdict(sink, luns, unreadable);
    Header(sink, "iscsi_inventory_errors", "gauge",
           "Objects iscsi-inventory could not read in this run.");
    sink("iscsi_inventory_errors " + std::to_string(unreadable) + "\n");
    return 0;
}

}  // namespace inventory

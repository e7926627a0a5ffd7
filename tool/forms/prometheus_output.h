// SPDX-License-Identifier: MIT
// The inventory as Prometheus metrics (--prometheus), in the text exposition
// format that node_exporter's textfile collector reads.
#ifndef ISCSI_INVENTORY_PROMETHEUS_OUTPUT_H
#define ISCSI_INVENTORY_PROMETHEUS_OUTPUT_H

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "forms/form.h"
#include "walk/fields.h"
#include "walk/inventory.h"
#include "forms/output.h"
#include "files/spool.h"
#include "walk/topology.h"

namespace inventory {

// One family per fact, each with one HELP and one TYPE line and its samples
// together: iscsi_session_info, iscsi_session_state, iscsi_connection_state,
// iscsi_session_recovery_timeout_seconds, iscsi_session_disks,
// iscsi_disk_info, iscsi_disk_io_errors_total, iscsi_disk_io_timeouts_total,
// iscsi_disk_state, iscsi_disk_read_only, iscsi_disk_size_bytes,
// iscsi_lun_paths, iscsi_lun_paths_running, iscsi_check_status,
// iscsi_check_finding and iscsi_inventory_errors.  The
// walk hands on one session at a time, so each per-session family's samples
// are kept aside in a spool of their own (a line per sample), which Write()
// hands on family after family: the heap holds a chunk per family, not the
// exposition.  A LUN's paths come from several sessions, so the LUN families
// are made at the end from a Topology, which keeps a little of each disk.  A
// family without a sample is left out, but for iscsi_inventory_errors.
//
// Label values carry sysfs bytes as the JSON form does (Carry(): invalid
// UTF-8 as \xHH, a backslash doubled), then escaped as the format wants
// (backslash, double quote, newline): the file is always valid UTF-8.
class PrometheusOutput : public Form {
public:
    // The exposition goes to standard output, or replaces file whole.
    PrometheusOutput(Output& out, std::optional<std::string> file)
        : m_out(out), m_file(std::move(file))
    {
    }

    // Nothing is written before the walk is over.
    bool WantsSessions() const override { return true; }
    unsigned Reads() const override { return kMetricsForm | kTopology; }
    void Session(const SessionRecord& session) override;
    int Finish(const Walk& walk) override;

    // The whole exposition, in pieces, to sink; unreadable is the number of
    // objects the walk could not read (iscsi_inventory_errors).  Returns 0,
    // or the errno of a failure to read back what was kept aside (sink has
    // then had only a part).
    int Write(const std::function<void(std::string_view)>& sink, std::size_t unreadable,
              const Walk::MapStates& maps) const;
    // Each path of a map as the device-mapper sees it, and each map's
    // queueing; whether the maps were read at all.
    void WriteMapStates(const std::function<void(std::string_view)>& sink,
                        const std::vector<LunRecord>& luns, const Walk::MapStates& maps) const;

private:
    // The LUN families, from what the topology kept of every session.
    void WriteLuns(const std::function<void(std::string_view)>& sink, const std::vector<LunRecord>& luns) const;
    // The check's verdict: its status and one series per finding.
    void WriteVerdict(const std::function<void(std::string_view)>& sink, const std::vector<LunRecord>& luns,
                      std::size_t unreadable) const;

    Output& m_out;
    std::optional<std::string> m_file;
    Spool m_sessionInfo;
    Spool m_sessionState;
    Spool m_connectionState;
    Spool m_recoveryTimeout;
    Spool m_sessionDisks;
    Spool m_diskInfo;
    Spool m_diskErrors;
    Spool m_diskTimeouts;
    Spool m_diskState;
    Spool m_diskReadOnly;
    Spool m_diskSize;
    Topology m_topology;
};

// The text of a label value: sysfs bytes carried as valid UTF-8 by Carry(),
// then backslash, double quote and newline escaped.
std::string PrometheusLabelValue(std::string_view bytes);

}  // namespace inventory

#endif

// SPDX-License-Identifier: MIT
// The inventory as Prometheus metrics (--prometheus), in the text exposition
// format that node_exporter's textfile collector reads.
#ifndef ISCSI_INVENTORY_PROMETHEUS_OUTPUT_H
#define ISCSI_INVENTORY_PROMETHEUS_OUTPUT_H

#include <cstddef>
#include <string>
#include <string_view>

#include "inventory.h"

namespace inventory {

// One family per fact, each with one HELP and one TYPE line and its samples
// together: iscsi_session_info, iscsi_session_state, iscsi_connection_state,
// iscsi_session_recovery_timeout_seconds, iscsi_session_disks,
// iscsi_disk_info, iscsi_disk_io_errors_total, iscsi_disk_io_timeouts_total
// and iscsi_inventory_errors.  The walk hands on one session at a time, so
// each family's samples gather in a buffer of their own (text, a line per
// sample) and Exposition() puts the families one after the other.  A family
// without a sample is left out, but for iscsi_inventory_errors.
//
// Label values carry sysfs bytes as the JSON form does (Carry(): invalid
// UTF-8 as \xHH, a backslash doubled), then escaped as the format wants
// (backslash, double quote, newline): the file is always valid UTF-8.
class PrometheusOutput : public Sink {
public:
    bool WantsDisks() const override { return true; }
    bool WantsSessions() const override { return true; }
    // Nothing is written before Exposition().
    bool Failed() const override { return false; }
    void ClassDevice(const IscsiClass&, const ClassDeviceRecord&) override {}
    void SessionDisks(const std::vector<DiskRecord>&) override {}
    void EndClass(const IscsiClass&) override {}
    void IscsiHost(const IscsiHostRecord&) override {}
    void Session(const SessionRecord& session) override;

    // The whole exposition; unreadable is the number of objects the walk
    // could not read (iscsi_inventory_errors).
    std::string Exposition(std::size_t unreadable) const;

private:
    std::string m_sessionInfo;
    std::string m_sessionState;
    std::string m_connectionState;
    std::string m_recoveryTimeout;
    std::string m_sessionDisks;
    std::string m_diskInfo;
    std::string m_diskErrors;
    std::string m_diskTimeouts;
};

// The text of a label value: sysfs bytes carried as valid UTF-8 by Carry(),
// then backslash, double quote and newline escaped.
std::string PrometheusLabelValue(std::string_view bytes);

}  // namespace inventory

#endif

// SPDX-License-Identifier: MIT
// The inventory as one JSON document (--json).
#ifndef ISCSI_INVENTORY_JSON_OUTPUT_H
#define ISCSI_INVENTORY_JSON_OUTPUT_H

#include <nlohmann/json.hpp>

#include "inventory.h"
#include "output.h"

namespace inventory {

// {"format_version", "iscsi_host": [...], "iscsi_transport": [...],
//  "iscsi_connection": [...], "iscsi_session": [...], "iscsi_scsi_host": null or
//  {...}, "sessions": [...], "errors": [...]}: each class device as {"name",
// "classname", "path", "attributes", "device"}, each session with its
// "disks", the "iscsi" scsi_host entry with its "directories"; "sessions"
// joins each session with its host, connections, timeouts and disks, typed
// where the kernel's meaning is clear.  Every string carries sysfs bytes as
// Carry() writes them.  Written by Finish().
class JsonOutput : public Sink {
public:
    explicit JsonOutput(Output& out);

    // The version of the document's format: the minor number grows when keys
    // are added, the major one when a key changes or goes.
    static constexpr const char* kFormatVersion = "1.1";

    bool WantsDisks() const override { return true; }
    bool WantsSessions() const override { return true; }
    bool Failed() const override { return m_out.Failed(); }
    void ClassDevice(const IscsiClass& cls, const ClassDeviceRecord& device) override;
    void SessionDisks(const std::vector<DiskRecord>& disks) override;
    void EndClass(const IscsiClass& cls) override;
    void IscsiHost(const IscsiHostRecord& host) override;
    void Session(const SessionRecord& session) override;

    // Prints the document, with the objects that could not be read.
    void Finish(const std::vector<Walk::Error>& errors);

private:
    using Json = nlohmann::ordered_json;
    Output& m_out;
    Json m_document;
    Json m_devices;
    Json m_sessions;
};

}  // namespace inventory

#endif

// SPDX-License-Identifier: MIT
// The inventory as one JSON document (--json).
#ifndef ISCSI_INVENTORY_JSON_OUTPUT_H
#define ISCSI_INVENTORY_JSON_OUTPUT_H

#include <cstddef>
#include <optional>
#include <string>
#include <vector>


#include "forms/form.h"
#include "walk/fields.h"
#include "walk/inventory.h"
#include "json/json_value.h"
#include "forms/output.h"
#include "files/spool.h"
#include "walk/topology.h"

namespace inventory {

// {"format_version", "iscsi_host": [...], "iscsi_transport": [...],
//  "iscsi_connection": [...], "iscsi_session": [...], "iscsi_scsi_host": null or
//  {...}, "sessions": [...], "luns": [...], "errors": [...]}: each class device as {"name",
// "classname", "path", "attributes", "device"}, each session with its
// "disks", the "iscsi" scsi_host entry with its "directories"; "sessions"
// joins each session with its host, connections, timeouts and disks, typed
// where the kernel's meaning is clear; "luns" joins the sessions' disks into
// logical units by WWID, each with its paths.  Every string carries sysfs bytes as
// Carry() writes them, written out as AppendJsonString() writes JSON strings.
//
// The document is written as the walk goes, each class device once it is
// complete, as the whole document would print at once, so
// that memory does not grow with the inventory.  The "sessions" come after
// parts the walk reaches later: they wait in a Spool.  Finish() writes the
// rest.
class JsonOutput : public Form {
public:
    explicit JsonOutput(Output& out);

    // The version of the document's format: the minor number grows when keys
    // are added, the major one when a key changes or goes.
    static constexpr const char* kFormatVersion = "1.3";

    bool WantsDisks() const override { return true; }
    bool WantsSessions() const override { return true; }
    unsigned Reads() const override { return kJsonForm | kTopology; }
    bool ShowsClasses() const override { return true; }
    bool Failed() const override { return m_out.Failed(); }
    void ClassDevice(const IscsiClass& cls, const ClassDeviceRecord& device) override;
    void SessionDisks(const std::vector<DiskRecord>& disks) override;
    void EndClass(const IscsiClass& cls) override;
    void IscsiHost(const IscsiHostRecord& host) override;
    void Session(const SessionRecord& session) override;

    // Writes the rest of the document, with the objects that could not be
    // read.  A document begun is finished, whatever stopped the walk; one
    // not begun stays nothing when sysfs could not be reached.  A failure to
    // read the spooled sessions back stops the document short and fails the
    // run.
    int Finish(const Walk& walk) override;

private:
    // Returns 0, or the errno of a failure to read the spool back.
    int WriteRest(const std::vector<Walk::Error>& errors, const Walk::MapStates& maps);
    void WriteHeld();
    void CloseClassesBefore(std::size_t end);
    void Key(const char* name);
    void Flush();
    // Flush() once m_text holds a chunk.
    void FlushChunk();

    Output& m_out;
    // Text not yet written; written out in chunks of Spool::kChunk.
    std::string m_text;
    bool m_started = false;
    // The classes whose key is written and closed, and whether the next one
    // is open (its key and "[" written).
    std::size_t m_classesDone = 0;
    bool m_classOpen = false;
    // The last class device, until its session's disks are known.
    std::optional<Json> m_held;
    std::size_t m_heldClass = 0;
    bool m_iscsiHostDone = false;
    Spool m_sessions;
    bool m_anySession = false;
    // The LUNs come after the sessions: each is whole only at the end.
    Topology m_topology;
};

}  // namespace inventory

#endif

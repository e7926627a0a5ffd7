// SPDX-License-Identifier: MIT
// The view per logical unit (--luns): one block per LUN, keyed by its WWID,
// with its size, inquiry strings, multipath map and each path to it, then
// how many of them run.
#ifndef ISCSI_INVENTORY_LUNS_OUTPUT_H
#define ISCSI_INVENTORY_LUNS_OUTPUT_H

#include "forms/form.h"
#include "walk/fields.h"
#include "forms/output.h"
#include "walk/topology.h"

namespace inventory {

class LunsOutput : public Form {
public:
    LunsOutput(Output& out, const Selection& selection) : m_out(out), m_selection(selection) {}

    bool WantsSessions() const override { return true; }
    unsigned Reads() const override { return kTopology; }
    void Session(const SessionRecord& session) override { m_topology.Add(session); }
    // The LUNs are whole once the last session is walked: all is written here.
    int Finish(const Walk& walk) override;

private:
    Output& m_out;
    const Selection& m_selection;
    Topology m_topology;
};

// One LUN's block, line by line, as --luns prints it.
void WriteLun(Output& out, const LunRecord& lun);

// A path as the device-mapper's map has it, in words: "active, group 1,
// 0 failures", "failed, ...", "not in the map's table".
std::string MapPathWords(const MapPathState& dm);

}  // namespace inventory

#endif

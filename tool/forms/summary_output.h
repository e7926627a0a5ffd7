// SPDX-License-Identifier: MIT
// The sessions in brief (--summary): one line each, as iscsiadm lists them,
// with their logical units and health.
#ifndef ISCSI_INVENTORY_SUMMARY_OUTPUT_H
#define ISCSI_INVENTORY_SUMMARY_OUTPUT_H

#include "forms/form.h"
#include "walk/fields.h"
#include "forms/output.h"
#include "walk/topology.h"

namespace inventory {

// "tcp: [2] 127.0.0.1:3260,1 iqn.2003-01.org.example:target iface default
// LOGGED_IN 2 of 2 LUNs running multipath mpatha: OK", one line per session
// as the walk finds it: transport, SID, portal and portal group, target,
// iface, state, LUNs running of all, multipath maps, and the health: OK
// (logged in, every connection up, every LUN running), DEGRADED (logged in
// but not all of that) or FAILED (not logged in).
class SummaryOutput : public Form {
public:
    SummaryOutput(Output& out, const Selection& selection) : m_out(out), m_selection(selection) {}

    bool WantsSessions() const override { return true; }
    unsigned Reads() const override { return kTopology; }
    bool Failed() const override { return m_out.Failed(); }
    void Session(const SessionRecord& session) override;
    int Finish(const Walk& walk) override;

private:
    Output& m_out;
    const Selection& m_selection;
    bool m_any = false;
};

}  // namespace inventory

#endif

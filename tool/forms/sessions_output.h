// SPDX-License-Identifier: MIT
// The inventory for people (--sessions): one block per session, with its
// target and portal, interface, states, timeouts, CHAP (masked), negotiated
// parameters and disks, indented as readers of iscsiadm's session listing
// expect.
#ifndef ISCSI_INVENTORY_SESSIONS_OUTPUT_H
#define ISCSI_INVENTORY_SESSIONS_OUTPUT_H

#include "forms/form.h"
#include "walk/fields.h"
#include "forms/output.h"

namespace inventory {

class SessionsOutput : public Form {
public:
    SessionsOutput(Output& out, const Selection& selection) : m_out(out), m_selection(selection) {}

    bool WantsSessions() const override { return true; }
    unsigned Reads() const override { return kSessionsForm; }
    bool Failed() const override { return m_out.Failed(); }
    void Session(const SessionRecord& session) override;
    // Says so when there was no session at all.
    int Finish(const Walk& walk) override;

private:
    Output& m_out;
    const Selection& m_selection;
    bool m_any = false;
};

}  // namespace inventory

#endif

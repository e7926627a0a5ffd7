// SPDX-License-Identifier: MIT
// The inventory for people (--sessions): one block per session, with its
// target and portal, interface, states, timeouts, CHAP (masked), negotiated
// parameters and disks, indented as readers of iscsiadm's session listing
// expect.
#ifndef ISCSI_INVENTORY_SESSIONS_OUTPUT_H
#define ISCSI_INVENTORY_SESSIONS_OUTPUT_H

#include "inventory.h"
#include "output.h"

namespace inventory {

class SessionsOutput : public Sink {
public:
    explicit SessionsOutput(Output& out) : m_out(out) {}

    bool WantsDisks() const override { return true; }
    bool WantsSessions() const override { return true; }
    bool Failed() const override { return m_out.Failed(); }
    void ClassDevice(const IscsiClass&, const ClassDeviceRecord&) override {}
    void SessionDisks(const std::vector<DiskRecord>&) override {}
    void EndClass(const IscsiClass&) override {}
    void IscsiHost(const IscsiHostRecord&) override {}
    void Session(const SessionRecord& session) override;

    // Says so when there was no session at all.
    void Finish();

private:
    Output& m_out;
    bool m_any = false;
};

}  // namespace inventory

#endif

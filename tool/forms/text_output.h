// SPDX-License-Identifier: MIT
// The inventory as text: the bare run's output, line by line as it is found.
#ifndef ISCSI_INVENTORY_TEXT_OUTPUT_H
#define ISCSI_INVENTORY_TEXT_OUTPUT_H

#include <string>
#include <string_view>

#include "forms/form.h"
#include "forms/output.h"

namespace inventory {

// A heading per device ("NAME SESSION CLASS :: session1"), then
// "\t<key>:: \t<value>" for its listed, own and device attributes; the
// "iscsi" scsi_host entry's "path" attributes are each followed by the
// directories found so far ("\t Directory ::<name>", "\t Attributes ::",
// "\t\t<key>::\t<value>").  Names, keys and values are written as they are,
// byte for byte, as scripts read them; on a terminal they are shown as
// Visible() shows them, so that sysfs bytes cannot drive it (the separators
// stay as they are).
class TextOutput : public Form {
public:
    // Shown visibly when standard output is a terminal.
    explicit TextOutput(Output& out);
    TextOutput(Output& out, bool forTerminal) : m_out(out), m_forTerminal(forTerminal) {}

    bool Failed() const override { return m_out.Failed(); }
    bool ShowsClasses() const override { return true; }
    void ClassDevice(const IscsiClass& cls, const ClassDeviceRecord& device) override;
    // The heading and the listing, as for a device that could not be read:
    // the text form names each device the listing gives.
    void GoneDevice(const IscsiClass& cls, const ClassDeviceRecord& device) override
    {
        ClassDevice(cls, device);
    }
    void IscsiHost(const IscsiHostRecord& host) override;
    int Finish(const Walk& walk) override { return EndReport(m_out, walk); }

private:
    void Attribute(const std::string& key, const std::string& value);
    std::string_view Show(const std::string& bytes, std::string& storage) const;
    Output& m_out;
    bool m_forTerminal;
};

}  // namespace inventory

#endif

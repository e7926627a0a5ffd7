// SPDX-License-Identifier: MIT
// An output form: what the walk tells it (a Sink), and how the run ends once
// the walk is over.
#ifndef ISCSI_INVENTORY_FORM_H
#define ISCSI_INVENTORY_FORM_H

#include <string_view>

#include "walk/inventory.h"
#include "forms/output.h"

namespace inventory {

class Form : public Sink {
public:
    // After the walk: writes what the form kept for the end, names what
    // could not be read and closes standard output.  Returns the exit status.
    virtual int Finish(const Walk& walk) = 0;
};

// The end of the forms that report (all but --check): each object that could
// not be read named on standard error, then standard output closed.  Exit
// status 1 when sysfs could not be reached, an object could not be read,
// standard output could not be written or restError (what writing the rest
// of the output met, said as rest) is set; else 0.
int EndReport(Output& out, const Walk& walk, int restError = 0, std::string_view rest = {});

// The end of a form for people that had no session to show.  Without a
// selection it says so in words and is no failure (a host without iSCSI); a
// selection that took no session is one, as iscsiadm's is: named in one line
// on standard error, exit status 1.  Then as EndReport.
int EndWithoutSession(Output& out, const Walk& walk, const Selection& selection);

// Names each object the walk could not read, and sysfs out of reach, on
// standard error.  Whether there was anything to name.
bool ReportFailures(const Walk& walk);

}  // namespace inventory

#endif

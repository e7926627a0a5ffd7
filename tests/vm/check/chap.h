// SPDX-License-Identifier: MIT
// The chap phase's checks of how each output shows the secrets.
#ifndef VM_CHECK_CHAP_H
#define VM_CHECK_CHAP_H

#include "outputs.h"

namespace vmcheck {

// The name the chap phase's failures about the secrets go under.
extern const char kSecrets[];

// The trace lines of secret attributes in a trace log, each masked as the
// dump shows it.  Returns how many lines of the CHAP session's two secrets
// it found masked.
int CheckTraceSecrets(const std::string& what, const std::string& log, const Dump& dump,
                      const std::string& chapSession);
// The sessions of a --json document (the tool's or the facts script's): each
// secret as the dump shows it, masked.  True when both of the CHAP session's
// were masked.
bool CheckJsonSecrets(const std::string& what, const std::string& text, const Dump& dump,
                      const std::string& chapSession);
// The CHAP lines of --sessions ("\t\tpassword: ********" in the block that
// "Target: NAME (sessionN)" opens), shown as iscsiadm shows them.
bool CheckSessionsSecrets(const std::string& text, const Dump& dump, const std::string& chapSession);

}  // namespace vmcheck

#endif

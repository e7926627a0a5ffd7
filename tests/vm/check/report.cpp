// SPDX-License-Identifier: MIT
// How vm-check reports: a line per failure, named by the phase (or the check
// within one) that found it, and their count for the exit status.
#include <iostream>

#include "check.h"

namespace vmcheck {

namespace {
int g_failures = 0;
}

void Fail(const std::string& phase, const std::string& what)
{
    ++g_failures;
    std::cout << "FAIL [" << phase << "] " << what << "\n";
}

int Failures()
{
    return g_failures;
}

std::string Joined(const std::vector<std::string>& texts, const std::string& separator)
{
    std::string joined;
    for (const std::string& text : texts)
        joined += (joined.empty() ? "" : separator) + text;
    return joined;
}

}  // namespace vmcheck

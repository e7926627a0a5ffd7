// SPDX-License-Identifier: MIT
// The hash by which vm-chap-probe shows a secret it read and vm-check
// recognises it: the probe must prove it got the value sysfs holds without
// printing the secret itself.
#ifndef VM_FNV1A_H
#define VM_FNV1A_H

#include <cstdint>
#include <cstdio>
#include <string>

inline std::string Fnv1a64(const std::string& bytes)
{
    std::uint64_t hash = 14695981039346656037ULL;
    for (unsigned char byte : bytes) {
        hash ^= byte;
        hash *= 1099511628211ULL;
    }
    char text[32];
    std::snprintf(text, sizeof text, "fnv1a64:%016llx", static_cast<unsigned long long>(hash));
    return text;
}

#endif

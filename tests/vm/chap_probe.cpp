// SPDX-License-Identifier: MIT
// vm-chap-probe CLASS DEVICE LOG: one GetClsDeviceAttr query through the
// shared library, as any program of its users would make it, with its trace
// written to LOG.  The test VM runs it on the session that logged in with
// CHAP (tests/vm/init.sh); vm-check then requires the trace to hide the
// session's secrets and the values handed back to be the secrets sysfs holds.
//
// Prints "rc N", then one line per attribute in the order of the map:
//   C <name> <value>                 a class device attribute
//   D <name> <value>                 an attribute of the device behind it
// except that the value of "password" and "password_in" is printed as
// "fnv1a64:<16 hex digits>", the FNV-1a hash of the bytes the query returned:
// enough for vm-check to compare with the dump, without the secret itself
// reaching this program's output.
#include <sysfsreader/reader.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>

#include "fnv1a.h"

using namespace Quentor::LinuxEnum;

namespace {

void Print(char tag, const AttributeMap& attributes)
{
    for (const auto& [name, value] : attributes) {
        bool secret = name == "password" || name == "password_in";
        std::cout << tag << ' ' << name << ' ' << (secret ? Fnv1a64(value) : value) << '\n';
    }
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 4) {
        std::cerr << "usage: vm-chap-probe CLASS DEVICE LOG\n";
        return 2;
    }
    std::ofstream log(argv[3], std::ios::out | std::ios::trunc);
    if (!log) {
        std::cerr << "vm-chap-probe: cannot open " << argv[3] << "\n";
        return 2;
    }
    AttributeMap classDevice, device;
    int rc;
    {
        CSysfsReader reader(&log);
        rc = reader.GetClsDeviceAttr(argv[1], argv[2], classDevice, device);
    }
    log.close();
    std::cout << "rc " << rc << '\n';
    Print('C', classDevice);
    Print('D', device);
    std::cout.flush();
    return std::cout && log ? 0 : 1;
}

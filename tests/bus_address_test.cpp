// SPDX-License-Identifier: MIT
// PCI addresses in sysfs paths, SCSI name splits and the order of SCSI
// addresses, as pure text.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "base/bus_address.h"

namespace {

using namespace base;

TEST(PciAddressTest, OnlyNamesTheKernelWritesAreAddresses)
{
    for (const char* name : {"0000:00:00.0", "0000:ff:1f.7", "0000:05:02.0", "abcd:ef:10.3",
                             "10000:e1:00.0", "1000a:00:1f.1", "ffffffff:00:00.0"})
        EXPECT_TRUE(IsPciAddress(name)) << name;
    for (const char* name : {
             "zzzz:zz:zz.z",       // right shape, no hex
             "0000:00:20.0",       // device 32: devices are five bits
             "0000:00:1f.8",       // function 8: functions are three bits
             "0000:00:1F.0",       // the kernel writes lowercase
             "0000:0A:00.0",
             "000:00:00.0",        // domain shorter than "%04x" prints
             "123456789:00:00.0",  // domain wider than 32 bits
             "0000:0:00.0", "0000:00:0.0", "0000:00:00.00", "0000:00:000.0",
             "0000:00:00:0", "0000.00:00.0", "0000:00:00.",
             " 0000:00:00.0", "0000:00:00.0 ", "0000:00:00.0\n", "-000:00:00.0",
             "1:2.3:456789", "target10:0:0", "pci0000:00", "pci10000:e0", "10:0:0:0", ""})
        EXPECT_FALSE(IsPciAddress(name)) << name;
    EXPECT_FALSE(IsPciAddress(std::string("0000:00:00.0\0", 13)));
    EXPECT_FALSE(IsPciAddress(std::string("00\0" "0:00:00.0", 12)));
}

TEST(PciAddressTest, EveryAddressInThePathInOrderAndTheLastDecoded)
{
    using List = std::vector<std::string>;
    // An NVMe disk behind Intel VMD: the VMD controller in domain 0, the disk
    // in the domain VMD opens.
    const std::string vmd =
        "/sys/devices/pci0000:00/0000:00:0e.0/pci10000:e0/10000:e0:1d.0/10000:e1:00.0";
    EXPECT_EQ((List{"0000:00:0e.0", "10000:e0:1d.0", "10000:e1:00.0"}), PciAddresses(vmd));
    PciLocation disk = DecodePciAddress("10000:e1:00.0");
    EXPECT_EQ("e1|00|0", disk.bus + "|" + disk.device + "|" + disk.function);
    PciLocation bridge = DecodePciAddress("0000:00:1c.7");
    EXPECT_EQ("00|1c|7", bridge.bus + "|" + bridge.device + "|" + bridge.function);

    EXPECT_EQ((List{"0000:00:1f.2"}),
              PciAddresses("//sys//devices/pci0000:00/0000:00:1f.2/zzzz:zz:zz.z/0000:00:20.0/"
                           "ata1/host0/target0:0:0/0:0:0:0//"));
    EXPECT_EQ(List{}, PciAddresses("/sys/devices/platform/host2/target2:0:0/2:0:0:0"));
    EXPECT_EQ(List{}, PciAddresses(""));

    // Anything that is no address decodes to nothing.
    PciLocation none = DecodePciAddress("zzzz:zz:zz.z");
    EXPECT_EQ("||", none.bus + "|" + none.device + "|" + none.function);
}

TEST(ScsiAddressTest, NamesSplitOnlyAtExactlyThreeColons)
{
    auto split = [](std::string_view name) {
        ScsiFields f{"x", "y", "z", "w"};
        bool ok = SplitScsiName(name, f);
        return std::string(ok ? "ok " : "no ") + f.controller + "|" + f.bus + "|" + f.target +
               "|" + f.lun;
    };
    EXPECT_EQ("ok 10|0|1|255", split("10:0:1:255"));
    EXPECT_EQ("ok |||", split(":::"));
    EXPECT_EQ("ok a b|\n|c|d\n", split("a b:\n:c:d\n"));
    EXPECT_EQ("no |||", split("0:0:0"));
    EXPECT_EQ("no |||", split("0:0:0:0:"));
    EXPECT_EQ("no |||", split(""));
}

// The order the inventory lists a session's disks in and sysfs-buses its
// SCSI devices: numbers by value whatever their length or leading zeros,
// before anything that is not a number.
TEST(ScsiAddressTest, AddressesSortFieldByFieldNumbersByValue)
{
    using Address = std::vector<std::string>;
    auto less = [](const Address& a, const Address& b) {
        const std::string x[4] = {a[0], a[1], a[2], a[3]}, y[4] = {b[0], b[1], b[2], b[3]};
        return ScsiAddressLess(x, y);
    };
    // Each before the next, whatever order they start in.
    const std::vector<Address> sorted = {
        {"0", "0", "0", "0"},
        {"2", "0", "0", "2"},
        {"2", "0", "0", "10"},
        {"2", "0", "0", "9999999999999999999"},
        {"2", "0", "0", "18446744073709551615"},
        {"2", "0", "0", ""},      // not a number: after every number
        {"2", "0", "0", "1e"},
        {"2", "0", "1", "0"},     // the target decides before the LUN
        {"10", "0", "0", "0"},    // 10 after 2, not before as bytes
        {"x", "0", "0", "0"}};
    std::vector<Address> shuffled(sorted.rbegin(), sorted.rend());
    std::rotate(shuffled.begin(), shuffled.begin() + 3, shuffled.end());
    std::sort(shuffled.begin(), shuffled.end(), less);
    EXPECT_EQ(sorted, shuffled);

    // Leading zeros change nothing: such addresses tie, neither before the other.
    EXPECT_FALSE(less({"2", "0", "0", "02"}, {"2", "0", "0", "2"}));
    EXPECT_FALSE(less({"2", "0", "0", "2"}, {"2", "0", "0", "02"}));
    EXPECT_FALSE(less({"0", "0", "0", "0"}, {"00", "0", "000", "0"}));

    for (const char* number : {"0", "007", "18446744073709551616"})
        EXPECT_TRUE(IsScsiNumber(number)) << number;
    for (const char* other : {"", "1e", "-1", "+1", " 1", "1 "})
        EXPECT_FALSE(IsScsiNumber(other)) << other;
}

}  // namespace

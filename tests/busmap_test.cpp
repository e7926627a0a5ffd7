// SPDX-License-Identifier: MIT
// The bus map is filled by the first reader of the process, so this runs in a
// process of its own where no reader has been constructed yet.
#include <gtest/gtest.h>

#include <sysfsreader/reader.h>

using namespace Quentor::LinuxEnum;

TEST(BusMap, EmptyUntilTheFirstReaderThenFilledOnceForGood)
{
    std::string name = "kept";
    for (int bus = BUS_IDE; bus <= BUS_USB; ++bus)
        EXPECT_EQ(READER_NOT_FOUND, CSysfsReader::Lookup(static_cast<BusType>(bus), name));
    EXPECT_EQ("kept", name);

    { CSysfsReader first(nullptr); }
    const char* names[] = {"ide", "pci", "pci_express", "scsi", "usb"};
    for (int bus = BUS_IDE; bus <= BUS_USB; ++bus) {
        EXPECT_EQ(READER_OK, CSysfsReader::Lookup(static_cast<BusType>(bus), name));
        EXPECT_EQ(names[bus], name);
    }
    CSysfsReader second(nullptr);
    for (int outside : {5, -1, 1000}) {
        name = "kept";
        EXPECT_EQ(READER_NOT_FOUND, CSysfsReader::Lookup(static_cast<BusType>(outside), name));
        EXPECT_EQ("kept", name);
    }
}

// SPDX-License-Identifier: MIT
// SCSI names split into controller, bus, target and LUN.
#include "reader_fixture.h"

namespace {

struct Split {
    int rc;
    std::string c, b, t, l;
    bool operator==(const Split& o) const
    {
        return rc == o.rc && c == o.c && b == o.b && t == o.t && l == o.l;
    }
};
std::ostream& operator<<(std::ostream& os, const Split& s)
{
    return os << s.rc << " [" << s.c << "|" << s.b << "|" << s.t << "|" << s.l << "]";
}

TEST_F(ReaderTest, ScsiNamesSplitIntoFourFields)
{
    auto split = [&](const std::string& name, Split s = {0, "", "", "", ""}) {
        s.rc = reader->GetScsiDeviceCBTL(name, s.c, s.b, s.t, s.l);
        return s;
    };
    EXPECT_EQ((Split{READER_OK, "2", "0", "1", "0"}), split("2:0:1:0"));
    EXPECT_EQ((Split{READER_OK, "10", "0", "100", "5"}), split("10:0:100:5"));
    EXPECT_EQ((Split{READER_OK, "a", "b", "c", "d\n"}), split("a:b:c:d\n"));
    EXPECT_EQ((Split{READER_OK, "", "", "", ""}), split(":::"));
    EXPECT_EQ((Split{READER_OK, "x2", "y0", "z1", "w0"}), split("2:0:1:0", {0, "x", "y", "z", "w"}));
    EXPECT_EQ((Split{READER_NOT_FOUND, "", "", "", ""}), split("0:0:0", {0, "x", "y", "z", "w"}));
    EXPECT_EQ((Split{READER_NOT_FOUND, "", "", "", ""}), split("0:0:0:0:0"));
    EXPECT_EQ((Split{READER_NOT_FOUND, "x", "y", "z", "w"}), split("", {0, "x", "y", "z", "w"}));
    TakeLog();

    // No mount check: the same with sysfs nowhere in sight.
    std::string c, b, t, l = "L";
    ASSERT_EQ(READER_OK, reader->GetScsiDeviceCBTL("10:0:2:3", c, b, t, l));
    EXPECT_EQ(Trace({"Entering CSysfsReader::GetScsiDeviceCBTL", "scsi controller: 10", "scsi bus: 0",
                     "scsi target: 2", "scsi lunid: L3", "Leaving CSysfsReader::GetScsiDeviceCBTL"}),
              TakeLog());
    reader->GetScsiDeviceCBTL("1:2", c, b, t, l);
    reader->GetScsiDeviceCBTL("", c, b, t, l);
    EXPECT_EQ(Trace({"Entering CSysfsReader::GetScsiDeviceCBTL",
                     "Leaving CSysfsReader::GetScsiDeviceCBTL, Invalid device name",
                     "Entering CSysfsReader::GetScsiDeviceCBTL",
                     "Leaving CSysfsReader::GetScsiDeviceCBTL, Device Not Found"}),
              TakeLog());
}

}  // namespace

// SPDX-License-Identifier: MIT
// The named queries, one scenario per row over the three of them: found,
// absent, gone while read, and names refused (running out of descriptors is
// in hostile_tree_test).
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <functional>
#include <ostream>

#include "reader_fixture.h"

namespace {

const std::string kHost = "devices/platform/host0";
const std::string kLun = kHost + "/session1/target0:0:0/0:0:0:1";
const std::string kGoneLun = kHost + "/session1/target0:0:0/0:0:0:2";

// What one call gave: its code, the errno of its failure, and every map it
// filled, written out one "key=value" per line in map order.
struct Outcome {
    int code;
    int failure;
    std::string filled;
    bool operator==(const Outcome& o) const
    {
        return code == o.code && failure == o.failure && filled == o.filled;
    }
};
std::ostream& operator<<(std::ostream& out, const Outcome& o)
{
    return out << "code " << o.code << ", errno " << o.failure << ", filled:\n" << o.filled;
}

std::string Written(const AttributeMap& attributes, const std::string& prefix = "")
{
    std::string text;
    for (const auto& [key, value] : attributes)
        text += prefix + key + "=" + value + "\n";
    return text;
}

class NamedQueries : public ReaderTest {
public:
    void SetUp() override
    {
        ReaderTest::SetUp();
        tree.BusDevice("scsi", kHost)
            .ClassDevice("iscsi_host", kHost + "/iscsi_host/host0")
            .File(kHost + "/iscsi_host/host0/ipaddress", "127.0.0.1\n")
            .File(kHost + "/iscsi_host/host0/netdev", "default\n")
            // Attribute files of the device named like identity keys.
            .File(kHost + "/path", "/elsewhere\n")
            .File(kHost + "/name", "odd\n")
            .BusDevice("scsi", kLun)
            .File(kLun + "/state", "running\n")
            .File(kLun + "/vendor", "LIO-ORG \n")
            .File(kLun + "/block/sda/size", "2048\n")
            .Dir(kLun + "/block/sda/holders")
            .BusDevice("scsi", kGoneLun)
            .File(kGoneLun + "/vendor", "LIO-ORG \n")
            .File(kGoneLun + "/block/sdb/size", "2048\n");
        // A file whose device is gone answers ENODEV, as sysfs does for an
        // object going away: a misc character device of a minor no driver has.
        gone = mknod(tree.Abs(kGoneLun + "/state").c_str(), S_IFCHR | 0644, makedev(10, 4000)) == 0 &&
               mknod(tree.Abs(kGoneLun + "/block/sdb/ro").c_str(), S_IFCHR | 0644, makedev(10, 4000)) == 0;
    }

    Outcome Class(const AttributeNames& names, const AttributeNames& deviceNames,
                  const std::string& cls = "iscsi_host", const std::string& device = "host0")
    {
        AttributeMap own, attributes;
        std::optional<DeviceIdentity> identity;
        int code = reader->GetClsDeviceNamedAttr(cls, device, names, own, deviceNames, identity,
                                                 attributes);
        std::string filled = Written(own);
        if (identity)
            filled += "identity=" + identity->busId + "," + identity->bus + "," + identity->driverName +
                      "," + identity->path + "," + identity->name + "\n";
        return {code, CSysfsReader::LastFailure(), filled + Written(attributes, "device.")};
    }
    Outcome Bus(const std::string& busId, const AttributeNames& names)
    {
        AttributeMap attributes;
        int code = reader->GetDeviceNamedAttr(busId, BUS_SCSI, names, attributes);
        return {code, CSysfsReader::LastFailure(), Written(attributes)};
    }
    Outcome Path(const std::string& path, const AttributeNames& names)
    {
        DeviceMap directories;
        int code = reader->GetDevicePathNamedAttr("/sys/" + path, names, directories);
        std::string filled;
        for (const auto& [directory, attributes] : directories)
            filled += "[" + directory + "]\n" + Written(attributes);
        return {code, CSysfsReader::LastFailure(), filled};
    }

    bool gone = false;
};

using Names = std::vector<std::string>;

TEST_F(NamedQueries, EachReadsOnlyWhatItIsAskedAndTellsGoneFromFailed)
{
    const std::string identity = "identity=host0,scsi,unknown,/sys/" + kHost + ",host0\n";
    struct Row {
        const char* what;
        std::function<Outcome(NamedQueries&)> call;
        int code;
        std::string filled;
    };
    const Row rows[] = {
        {"class: the names asked, a name not there left out, the identity apart from the files "
         "named like it",
         [](NamedQueries& t) { return t.Class(Names{"ipaddress", "nosuch"}, Names{"path", "name"}); },
         READER_OK, "ipaddress=127.0.0.1\n" + identity + "device.name=odd\ndevice.path=/elsewhere\n"},
        {"class: every attribute",
         [](NamedQueries& t) { return t.Class(kEveryAttribute, Names{}); }, READER_OK,
         "ipaddress=127.0.0.1\nnetdev=default\n" + identity},
        {"class: no such device", [](NamedQueries& t) { return t.Class(Names{"x"}, Names{"x"}, "iscsi_host", "host9"); },
         READER_NOT_FOUND, ""},
        {"class: no such class", [](NamedQueries& t) { return t.Class(Names{"x"}, Names{"x"}, "nope"); },
         READER_CLASS_ERROR, ""},
        {"bus: the names asked", [](NamedQueries& t) { return t.Bus("0:0:0:1", Names{"state", "model"}); },
         READER_OK, "state=running\n"},
        {"bus: no such device", [](NamedQueries& t) { return t.Bus("0:0:0:9", Names{"state"}); },
         READER_NOT_FOUND, ""},
        {"path: a subdirectory without the names is still there",
         [](NamedQueries& t) { return t.Path(kLun + "/block", Names{"size", "ro"}); }, READER_OK,
         "[sda]\nsize=2048\n"},
        {"path: not a directory of sysfs", [](NamedQueries& t) { return t.Path("devices/none", Names{"size"}); },
         READER_CLASS_ERROR, ""},
    };
    for (const Row& row : rows) {
        Outcome got = row.call(*this);
        EXPECT_EQ(row.code, got.code) << row.what;
        EXPECT_EQ(0, got.failure) << row.what;
        EXPECT_EQ(row.filled, got.filled) << row.what;
    }
    // The trace is the whole-device query's ladder with the files read.
    TakeLog();
    Bus("0:0:0:1", Names{"vendor"});
    EXPECT_EQ(Trace({"Entering CSysfsReader::GetDeviceAttr", kMountedEnter, kMountedLeave,
                     "vendor: LIO-ORG ", "Leaving CSysfsReader::GetDeviceAttr"}),
              TakeLog());

    // Refused at once, nothing read: every name must be one file name.
    for (const char* bad : {"", ".", "..", "../name", "block/sda", "a/"}) {
        EXPECT_EQ((Outcome{READER_CLASS_ERROR, 0, ""}), Class(Names{"ipaddress", bad}, Names{})) << bad;
        EXPECT_EQ((Outcome{READER_CLASS_ERROR, 0, ""}), Class(Names{}, Names{bad})) << bad;
        EXPECT_EQ((Outcome{READER_BUS_ERROR, 0, ""}), Bus("0:0:0:1", Names{bad})) << bad;
        EXPECT_EQ((Outcome{READER_CLASS_ERROR, 0, ""}), Path(kLun + "/block", Names{bad})) << bad;
    }
    TakeLog();
    Bus("0:0:0:1", Names{"state", ".."});
    EXPECT_EQ(Trace({"Entering CSysfsReader::GetDeviceAttr", "Attribute name refused: .."}), TakeLog());

    if (!gone) {
        GTEST_SKIP() << "no character device could be made here: gone while read not tried";
    }
    // A file whose device says it is gone: the device is gone, nothing kept.
    EXPECT_EQ(READER_NOT_FOUND, Bus("0:0:0:2", Names{"vendor", "state"}).code);
    EXPECT_EQ("", Bus("0:0:0:2", Names{"vendor", "state"}).filled);
    EXPECT_EQ(0, Bus("0:0:0:2", Names{"vendor", "state"}).failure);
    Outcome path = Path(kGoneLun + "/block", Names{"size", "ro"});
    EXPECT_EQ(READER_CLASS_ERROR, path.code);
    EXPECT_EQ("", path.filled);
    EXPECT_EQ(0, path.failure);
}

}  // namespace

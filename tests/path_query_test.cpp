// SPDX-License-Identifier: MIT
// The path query: one level of subdirectories, each with its attributes.
#include "reader_fixture.h"

namespace {

const std::string kDev = "devices/platform/host0";

TEST_F(ReaderTest, PathQueryReadsEachSubdirectoryOneLevelDeep)
{
    tree.File(kDev + "/own", "not read\n")
        .File(kDev + "/a/x", "1\n")
        .File(kDev + "/a/deeper/z", "no\n")
        .File(kDev + "/b/y", "2\n")
        .File(kDev + "/b/w", "\n")
        .File("devices/elsewhere/q", "3\n")
        .Link(kDev + "/linked", "devices/elsewhere");
    DeviceMap dirs{{"b", {{"kept", "old"}}}};
    ASSERT_EQ(READER_OK, reader->GetDevicePathAttr("/sys/" + kDev, dirs));
    EXPECT_EQ((DeviceMap{{"a", {{"x", "1"}}}, {"b", {{"kept", "old"}}}}), dirs);
    std::string pass =
        Trace({"Entering SysfsReader::GetPATHDeviceAttr", kMountedEnter, kMountedLeave,
               "Device Attribute", "x: 1", "Device Attribute", "w: ", "y: 2",
               "Leaving SysfsReader::GetDevicePathAttr"});
    EXPECT_EQ(pass, TakeLog());
    ASSERT_EQ(READER_OK, reader->GetDevicePathAttr("/sys/" + kDev, dirs));
    EXPECT_EQ(pass, TakeLog());
}

TEST_F(ReaderTest, PathQueryStopsAtTheFirstSubdirectoryWithoutAttributes)
{
    tree.File(kDev + "/a/x", "1\n").Dir(kDev + "/b/only_a_dir").File(kDev + "/c/z", "3\n");
    DeviceMap dirs;
    EXPECT_EQ(READER_CLASS_ERROR, reader->GetDevicePathAttr("/sys/" + kDev, dirs));
    EXPECT_EQ((DeviceMap{{"a", {{"x", "1"}}}}), dirs);
    EXPECT_EQ(Trace({"Entering SysfsReader::GetPATHDeviceAttr", kMountedEnter, kMountedLeave,
                     "Device Attribute", "x: 1", "Device attributes empty"}),
              TakeLog());
}

TEST_F(ReaderTest, PathQueryRefusals)
{
    tree.File(kDev + "/only_file", "1\n").File("devices/virtual/x/y/z", "1\n");
    DeviceMap dirs;
    EXPECT_EQ(READER_CLASS_ERROR, reader->GetDevicePathAttr("", dirs));
    EXPECT_EQ(Trace({"Entering SysfsReader::GetPATHDeviceAttr",
                     "Leaving CSysfsReader::GetDevicePathAttr, Path is Null"}),
              TakeLog());
    EXPECT_EQ(READER_CLASS_ERROR, reader->GetDevicePathAttr("/sys/" + kDev, dirs));
    EXPECT_EQ(Trace({"Entering SysfsReader::GetPATHDeviceAttr", kMountedEnter, kMountedLeave,
                     "Leaving CSysfsReader::GetDevicePathAttr, Path Does Not Include Devices"}),
              TakeLog());
    EXPECT_EQ(READER_CLASS_ERROR, reader->GetDevicePathAttr("/sys/devices/none", dirs));
    EXPECT_EQ(Trace({"Entering SysfsReader::GetPATHDeviceAttr", kMountedEnter, kMountedLeave,
                     "Leaving CSysfsReader::GetDevicePathAttr, Device not found: /sys/devices/none"}),
              TakeLog());
    // Only the sysfs tree is read, whatever path a caller gives.
    EXPECT_EQ(READER_CLASS_ERROR, reader->GetDevicePathAttr(tree.Root() + "/sys/devices/virtual/x", dirs));
    EXPECT_EQ(READER_CLASS_ERROR, reader->GetDevicePathAttr("/sys/devices/../../etc", dirs));
    EXPECT_TRUE(dirs.empty());
    EXPECT_EQ(READER_OK, reader->GetDevicePathAttr("/sys/devices/virtual/x", dirs));
    EXPECT_EQ((DeviceMap{{"y", {{"z", "1"}}}}), dirs);
}

// The link query: links that lead to directories inside sysfs, by name, with
// the canonical directory; a real subdirectory, a file, a dangling link and a
// link out of sysfs are no relations.
TEST_F(ReaderTest, LinkQueryGivesWhereEachLinkLeads)
{
    const std::string sd = "devices/platform/host0/target0:0:0/0:0:0:1/block/sdb";
    tree.Dir("devices/virtual/block/dm-0/dm")
        .Dir("devices/virtual/block/dm-1")
        .Link(sd + "/holders/dm-0", "devices/virtual/block/dm-0")
        .Link(sd + "/holders/dm-1", "devices/virtual/block/dm-1")
        .Link(sd + "/holders/gone", "devices/virtual/block/dm-9")
        .File(sd + "/holders/file", "1\n")
        .Dir(sd + "/holders/real")
        .Dir(sd + "/slaves");
    ASSERT_EQ(0, symlink("/etc", tree.Abs(sd + "/holders/out").c_str()));
    DeviceMap links{{"dm-1", {{"path", "kept"}}}};
    ASSERT_EQ(READER_OK, reader->GetDeviceLinks("/sys/" + sd + "/holders", links));
    EXPECT_EQ((DeviceMap{{"dm-0", {{"path", "/sys/devices/virtual/block/dm-0"}}},
                         {"dm-1", {{"path", "kept"}}}}),
              links);
    EXPECT_EQ(Trace({"Entering SysfsReader::GetDeviceLinks", kMountedEnter, kMountedLeave,
                     "Link found: dm-0", "Link found: dm-1", "Leaving SysfsReader::GetDeviceLinks"}),
              TakeLog());
    links.clear();
    EXPECT_EQ(READER_NOT_FOUND, reader->GetDeviceLinks("/sys/" + sd + "/slaves", links));
    EXPECT_EQ(READER_CLASS_ERROR, reader->GetDeviceLinks("/sys/" + sd + "/none", links));
    EXPECT_EQ(READER_CLASS_ERROR, reader->GetDeviceLinks("", links));
    EXPECT_TRUE(links.empty());
}

}  // namespace

// SPDX-License-Identifier: MIT
// Where a link's text leads, worked out as text, and the names that may reach
// the filesystem.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "internal/sysfs_path.h"

namespace {

using namespace Quentor::LinuxEnum::detail::sysfs;

TEST(SysfsPathTest, KernelLinksClimbThenNameDirectories)
{
    const std::string dir = "/sys/class/iscsi_session";
    EXPECT_EQ("/sys/devices/platform/host2/session2",
              KernelLinkTarget(dir, "../../devices/platform/host2/session2").value_or("-"));
    EXPECT_EQ("/sys/class/iscsi_session/x", KernelLinkTarget(dir, "x").value_or("-"));
    // Anything of another shape is walked instead.
    for (const char* text : {"/sys/devices/x", "../x/../y", "./x", "../x/.", "..", "../..", "",
                             "../../../../x"})
        EXPECT_FALSE(KernelLinkTarget(dir, text)) << text;
}

TEST(SysfsPathTest, LexicalTargetsFollowTheTextAlone)
{
    const std::string dir = "/sys/devices/platform/host2";
    EXPECT_EQ("/sys/bus/scsi", LexicalTarget(dir, "../../../bus/scsi"));
    EXPECT_EQ("/sys/bus/scsi", LexicalTarget(dir, "/sys/bus/./scsi/"));
    EXPECT_EQ("/sys/bus", LexicalTarget(dir, "../../../bus/scsi/.."));
    // Above the root is the root.
    EXPECT_EQ("/bus", LexicalTarget(dir, "../../../../../../bus"));
    EXPECT_EQ("/sys/bus", LexicalTarget(dir, "/../sys/bus"));
}

TEST(SysfsPathTest, OnlySingleNamesAreComponents)
{
    for (const char* name : {"session2", "connection1:0", "...", ".x"})
        EXPECT_TRUE(IsComponent(name)) << name;
    for (const char* name : {"", ".", "..", "a/b", "/"})
        EXPECT_FALSE(IsComponent(name)) << name;
    EXPECT_FALSE(IsComponent(std::string("a\0b", 3)));

    EXPECT_TRUE(PlainNames("devices/platform/host2"));
    for (const char* path : {"", "a//b", "a/", "/a", "a/../b", "./a", "a/."})
        EXPECT_FALSE(PlainNames(path)) << path;
}

}  // namespace

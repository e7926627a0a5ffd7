// SPDX-License-Identifier: MIT
// Paths as text: split, joined, cut at their last '/'.
#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "base/path_text.h"

namespace {

using namespace base;
using Parts = std::vector<std::string_view>;

TEST(PathTextTest, ComponentsSkipEmptyPiecesAndKeepDots)
{
    EXPECT_EQ((Parts{"sys", "a", "b"}), PathComponents("///sys//a/b/"));
    EXPECT_EQ((Parts{"..", "..", "devices", ".", "x"}), PathComponents("../../devices/./x"));
    EXPECT_EQ(Parts{"name"}, PathComponents("name"));
    EXPECT_EQ(Parts{}, PathComponents("/"));
    EXPECT_EQ(Parts{}, PathComponents(""));
}

TEST(PathTextTest, ParentAndBaseNameCutAtTheLastSlash)
{
    EXPECT_EQ("/sys/devices", Parent("/sys/devices/pci0000:00"));
    EXPECT_EQ("pci0000:00", BaseName("/sys/devices/pci0000:00"));
    // The root is its own parent, so a climb stops there.
    EXPECT_EQ("/", Parent("/sys"));
    EXPECT_EQ("/", Parent("/"));
    EXPECT_EQ("sys", BaseName("/sys"));
    // A name without a slash has no parent and is its own base name.
    EXPECT_EQ("", Parent("session2"));
    EXPECT_EQ("session2", BaseName("session2"));
    EXPECT_EQ("a", Parent("a/b"));
    // A trailing slash leaves an empty base name: "dir/" names no file.
    EXPECT_EQ("", BaseName("/sys/"));
    EXPECT_EQ("/sys", Parent("/sys/"));
    EXPECT_EQ("", Parent(""));
    EXPECT_EQ("", BaseName(""));
}

TEST(PathTextTest, JoinPutsOneSlashBetween)
{
    EXPECT_EQ("/sys/bus", JoinPath("/sys", "bus"));
    EXPECT_EQ("/sys", JoinPath("/", "sys"));
    EXPECT_EQ("/sys/bus", JoinPath("/sys/", "bus"));
    EXPECT_EQ("bus", JoinPath("", "bus"));
    EXPECT_EQ("a/b", JoinPath("a", "b"));
    // Joined and cut again, a path gives back its pieces.
    const std::string path = JoinPath(JoinPath("/", "sys"), "class");
    EXPECT_EQ("/sys/class", path);
    EXPECT_EQ("class", BaseName(path));
    EXPECT_EQ("/sys", Parent(path));
}

}  // namespace

// SPDX-License-Identifier: MIT
// Numbers as the kernel prints them (KernelNumber, compiled in with the walk
// it belongs to): decimal, or hex with 0x where the file is hex; anything
// else, and anything that might not fit in 64 bits, is no number rather
// than a wrong one.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>

#include "walk/inventory.h"

namespace {

using inventory::KernelNumber;
using Number = std::optional<std::uint64_t>;

TEST(KernelNumber, DecimalUpToNineteenDigits)
{
    EXPECT_EQ(Number(0), KernelNumber("0"));
    EXPECT_EQ(Number(120), KernelNumber("120"));
    EXPECT_EQ(Number(10), KernelNumber("010"));  // never octal
    EXPECT_EQ(Number(9999999999999999999u), KernelNumber("9999999999999999999"));
    // Twenty digits may not fit: even those that would are no number.
    EXPECT_EQ(std::nullopt, KernelNumber("18446744073709551615"));
    EXPECT_EQ(std::nullopt, KernelNumber("00000000000000000001"));
}

TEST(KernelNumber, HexOnlyWhereTheFileIsHexAndUpToSixteenDigits)
{
    EXPECT_EQ(Number(31), KernelNumber("0x1f", true));
    EXPECT_EQ(Number(31), KernelNumber("0X1F", true));
    EXPECT_EQ(Number(0), KernelNumber("0x0", true));
    EXPECT_EQ(Number(UINT64_MAX), KernelNumber("0xffffffffffffffff", true));
    EXPECT_EQ(std::nullopt, KernelNumber("0x10000000000000000", true));
    // A hex file's plain number is decimal.
    EXPECT_EQ(Number(12), KernelNumber("12", true));
    EXPECT_EQ(std::nullopt, KernelNumber("1f", true));
    EXPECT_EQ(std::nullopt, KernelNumber("0x", true));
    EXPECT_EQ(std::nullopt, KernelNumber("0x1f"));
}

TEST(KernelNumber, AnythingElseIsNoNumber)
{
    for (const char* text : {"", "-1", "+1", " 1", "1 ", "1\n", "off", "1.5", "1e3", "0x-1", "0xg"}) {
        EXPECT_EQ(std::nullopt, KernelNumber(text)) << text;
        EXPECT_EQ(std::nullopt, KernelNumber(text, true)) << text;
    }
}

}  // namespace

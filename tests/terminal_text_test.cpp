// SPDX-License-Identifier: MIT
// How the tool shows sysfs bytes to people (Visible), how its JSON strings
// carry them (Utf8Sequence, Carry, Uncarry) and which characters its JSON
// writes as \u escapes (AppendJsonString).
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>

#include "json/json_string.h"
#include "text/terminal_text.h"

namespace {

using inventory::AppendJsonString;
using inventory::Carry;
using inventory::Uncarry;
using inventory::Utf8Sequence;
using inventory::Visible;

// Bytes back from the visible form, by the rule the man page gives; false on
// anything that is no escape of that rule.
bool Decode(std::string_view text, std::string& bytes)
{
    auto hex = [](char c) {
        return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    };
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            bytes += text[i];
            continue;
        }
        if (++i == text.size())
            return false;
        switch (text[i]) {
        case '\\': bytes += '\\'; break;
        case 't': bytes += '\t'; break;
        case 'n': bytes += '\n'; break;
        case 'r': bytes += '\r'; break;
        case 'x':
            if (i + 2 >= text.size() || hex(text[i + 1]) < 0 || hex(text[i + 2]) < 0)
                return false;
            bytes += static_cast<char>(hex(text[i + 1]) * 16 + hex(text[i + 2]));
            i += 2;
            break;
        default: return false;
        }
    }
    return true;
}

// Nothing a terminal obeys: no C0 control, DEL or C1 control, and valid UTF-8
// throughout (a stray byte could complete a sequence the terminal holds).
bool Inert(std::string_view text)
{
    while (!text.empty()) {
        std::size_t length = inventory::Utf8Sequence(text);
        unsigned char lead = static_cast<unsigned char>(text[0]);
        if (length == 0 || lead < 0x20 || lead == 0x7F ||
            (lead == 0xC2 && static_cast<unsigned char>(text[1]) <= 0x9F))
            return false;
        text.remove_prefix(length);
    }
    return true;
}

TEST(Visible, EscapesControlsBackslashesAndInvalidBytesOnly)
{
    using namespace std::string_literals;
    // Plain text, UTF-8 included (U+00A0 is the first character after the C1
    // controls; U+2028 moves no terminal's cursor), is kept as it is.
    EXPECT_EQ("iqn.2003-01.org.example:t1 caf\xc3\xa9 \xc2\xa0 \xe2\x80\xa8 \xf0\x9f\x92\xbe",
              Visible("iqn.2003-01.org.example:t1 caf\xc3\xa9 \xc2\xa0 \xe2\x80\xa8 \xf0\x9f\x92\xbe"));
    EXPECT_EQ("", Visible(""));
    // C0 controls, the three named ones included, and DEL.
    EXPECT_EQ(R"(\x1b[2J\t\n\r\x00\x01\x07\x08\x0b\x0c\x1f\x7f)",
              Visible("\x1b[2J\t\n\r\0\x01\x07\x08\x0b\x0c\x1f\x7f"s));
    // C1 controls in UTF-8 as both their bytes, first and last of the range.
    EXPECT_EQ(R"(a\xc2\x80b\xc2\x9b31mc\xc2\x9f)", Visible("a\xc2\x80" "b\xc2\x9b" "31mc\xc2\x9f"));
    // Bidirectional controls as all their bytes, each end of both ranges and
    // the marks; the characters beside them (U+2029, U+202F, U+2065, U+206A)
    // reorder nothing and are kept.
    EXPECT_EQ(R"(\xe2\x80\xaaa\xe2\x80\xaeb\xe2\x81\xa6c\xe2\x81\xa9d\xe2\x80\x8e\xe2\x80\x8f\xd8\x9c)"
              "\xe2\x80\xa9\xe2\x80\xaf\xe2\x81\xa5\xe2\x81\xaa",
              Visible("\xe2\x80\xaa" "a\xe2\x80\xae" "b\xe2\x81\xa6" "c\xe2\x81\xa9" "d\xe2\x80\x8e\xe2\x80\x8f\xd8\x9c"
                      "\xe2\x80\xa9\xe2\x80\xaf\xe2\x81\xa5\xe2\x81\xaa"));
    // Bytes that are not UTF-8: a raw C1 byte, 0xff, a lead without its
    // continuation, an overlong form, an encoded surrogate.
    EXPECT_EQ(R"(\x9b\xff\xc3(\xc0\xaf\xed\xa0\x80)", Visible("\x9b\xff\xc3(\xc0\xaf\xed\xa0\x80"));
    // A backslash is doubled, so that a value cannot spell an escape.
    EXPECT_EQ(R"(\\x1b \\n \\)", Visible(R"(\x1b \n \)"));
}

// Every string of one and two bytes: the visible form is inert and decodes
// to the bytes it shows.
TEST(Visible, EveryShortStringIsInertAndReadsBack)
{
    for (int first = 0; first < 256; ++first) {
        for (int second = -1; second < 256; ++second) {
            std::string bytes(1, static_cast<char>(first));
            if (second >= 0)
                bytes += static_cast<char>(second);
            const std::string shown = Visible(bytes);
            std::string decoded;
            ASSERT_TRUE(Inert(shown)) << first << " " << second << ": " << shown;
            ASSERT_TRUE(Decode(shown, decoded)) << first << " " << second << ": " << shown;
            ASSERT_EQ(bytes, decoded) << first << " " << second;
        }
    }
}

TEST(JsonText, EscapesDelC1AndTheLineSeparatorsOnly)
{
    std::string text = "x";
    AppendJsonString(text, "a\xc2\x9b" "b\xe2\x80\xa8" "c\xe2\x80\xa9" "d\x7f"
                           "e\xc2\x9f\xc2\xa0\xe2\x80\xa7\xe2\x80\xaa\x1b\"\\\n\t");
    EXPECT_EQ("x\"a\\u009bb\\u2028c\\u2029d\\u007fe\\u009f"
              "\xc2\xa0\xe2\x80\xa7\xe2\x80\xaa\\u001b\\\"\\\\\\n\\t\"",
              text);
}

// The boundaries of RFC 3629: the first and last of each length, the
// overlong forms below them, the surrogates, and what lies past U+10FFFF.
TEST(Utf8Sequence, TakesValidSequencesOnly)
{
    struct Case {
        const char* bytes;
        std::size_t length;
    };
    for (const Case& c : {Case{"", 0}, Case{"\x7f", 1}, Case{"\x80", 0}, Case{"\xbf", 0},
                          Case{"\xc0\x80", 0}, Case{"\xc1\xbf", 0}, Case{"\xc2\x80", 2},
                          Case{"\xdf\xbf", 2}, Case{"\xc2", 0}, Case{"\xc2\x7f", 0}, Case{"\xc2\xc0", 0},
                          Case{"\xe0\x9f\xbf", 0}, Case{"\xe0\xa0\x80", 3}, Case{"\xed\x9f\xbf", 3},
                          Case{"\xed\xa0\x80", 0}, Case{"\xed\xbf\xbf", 0}, Case{"\xee\x80\x80", 3},
                          Case{"\xef\xbf\xbf", 3}, Case{"\xe2\x82", 0}, Case{"\xe2\x28\xa1", 0},
                          Case{"\xf0\x8f\xbf\xbf", 0}, Case{"\xf0\x90\x80\x80", 4},
                          Case{"\xf4\x8f\xbf\xbf", 4}, Case{"\xf4\x90\x80\x80", 0},
                          Case{"\xf5\x80\x80\x80", 0}, Case{"\xf0\x90\x80", 0}, Case{"\xff", 0}})
        EXPECT_EQ(c.length, Utf8Sequence(c.bytes)) << Visible(c.bytes);
    // Only the sequence at the start counts.
    EXPECT_EQ(2u, Utf8Sequence("\xc3\xa9\xff"));
}

TEST(Carry, EscapesBackslashesAndInvalidBytesOnly)
{
    using namespace std::string_literals;
    EXPECT_EQ("iqn.2003-01.org.example:t1 caf\xc3\xa9 \xf0\x9f\x92\xbe",
              Carry("iqn.2003-01.org.example:t1 caf\xc3\xa9 \xf0\x9f\x92\xbe"));
    // Controls are valid UTF-8: JSON escapes them, not the carrying.
    EXPECT_EQ("\0\n\x1b\x7f\xc2\x9b"s, Carry("\0\n\x1b\x7f\xc2\x9b"s));
    EXPECT_EQ(R"(a\\b\\x41)", Carry(R"(a\b\x41)"));
    EXPECT_EQ(R"(\xff\xc3(\xc0\xaf\xed\xa0\x80\xf4\x90\x80\x80)",
              Carry("\xff\xc3(\xc0\xaf\xed\xa0\x80\xf4\x90\x80\x80"));
}

// Every string of one and two bytes is carried as valid UTF-8 and read back.
TEST(Carry, EveryShortStringIsValidUtf8AndReadsBack)
{
    for (int first = 0; first < 256; ++first) {
        for (int second = -1; second < 256; ++second) {
            std::string bytes(1, static_cast<char>(first));
            if (second >= 0)
                bytes += static_cast<char>(second);
            const std::string carried = Carry(bytes);
            for (std::string_view rest = carried; !rest.empty();) {
                const std::size_t length = Utf8Sequence(rest);
                ASSERT_NE(0u, length) << first << " " << second;
                rest.remove_prefix(length);
            }
            ASSERT_EQ(std::optional<std::string>(bytes), Uncarry(carried)) << first << " " << second;
        }
    }
}

// Read from left to right: a doubled backslash before "x41" is a backslash
// and the text x41.  Anything Carry() never writes is refused.
TEST(Uncarry, ReadsLeftToRightAndRefusesWhatCarryNeverWrites)
{
    EXPECT_EQ(std::optional<std::string>(R"(\x41)"), Uncarry(R"(\\x41)"));
    EXPECT_EQ(std::optional<std::string>("\\A"), Uncarry(R"(\\\x41)"));
    EXPECT_EQ(std::optional<std::string>(""), Uncarry(""));
    for (const char* refused : {R"(\)", R"(\x4)", R"(\xg0)", R"(\xAB)", R"(\n)", R"(a\)"})
        EXPECT_EQ(std::nullopt, Uncarry(refused)) << refused;
}

}  // namespace

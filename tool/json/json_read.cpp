// SPDX-License-Identifier: MIT
#include "json/json_read.h"

#include <cstdint>
#include <set>
#include <utility>

#include "json/json_string.h"

namespace inventory {

namespace {

using Fault = JsonReading::Fault;

// A recursive descent over the text.  The recursion is as deep as the
// nesting, which the limits bound; every step moves forward in the text, so
// the time grows with its length.
class Reader {
public:
    Reader(std::string_view text, const JsonLimits& limits) : m_text(text), m_limits(limits) {}

    JsonReading Run()
    {
        JsonReading reading;
        Json value;
        if (m_text.size() > m_limits.maxBytes) {
            Fail(Fault::Limit, "the text is larger than " + std::to_string(m_limits.maxBytes) + " bytes");
            m_at = 0;
        } else {
            SkipSpace();
            if (Value(value, 0)) {
                SkipSpace();
                if (m_pos != m_text.size())
                    Fail(Fault::Syntax, "text after the value");
            }
        }
        reading.fault = m_fault;
        if (m_fault == Fault::None)
            reading.value = std::move(value);
        else
            reading.message = Where() + ": " + m_what;
        return reading;
    }

private:
    bool Fail(Fault fault, std::string what)
    {
        if (m_fault == Fault::None) {
            m_fault = fault;
            m_what = std::move(what);
            m_at = m_pos;
        }
        return false;
    }

    std::string Where() const
    {
        std::size_t line = 1, column = 1;
        for (std::size_t i = 0; i < m_at && i < m_text.size(); ++i) {
            if (m_text[i] == '\n') {
                ++line;
                column = 1;
            } else {
                ++column;
            }
        }
        return "line " + std::to_string(line) + ", column " + std::to_string(column);
    }

    bool AtEnd() const { return m_pos >= m_text.size(); }
    char Peek() const { return AtEnd() ? '\0' : m_text[m_pos]; }

    void SkipSpace()
    {
        while (!AtEnd() && (Peek() == ' ' || Peek() == '\t' || Peek() == '\n' || Peek() == '\r'))
            ++m_pos;
    }

    bool Counted()
    {
        if (++m_values > m_limits.maxValues)
            return Fail(Fault::Limit, "more than " + std::to_string(m_limits.maxValues) + " values");
        return true;
    }

    bool Value(Json& out, std::size_t depth)
    {
        if (!Counted())
            return false;
        if (AtEnd())
            return Fail(Fault::Syntax, "expected a value, found the end of the text");
        switch (Peek()) {
        case '{': return Object(out, depth + 1);
        case '[': return Array(out, depth + 1);
        case '"': {
            std::string text;
            if (!String(text))
                return false;
            out = Json(std::move(text));
            return true;
        }
        case 't': return Literal("true", out, Json(true));
        case 'f': return Literal("false", out, Json(false));
        case 'n': return Literal("null", out, Json(nullptr));
        default:
            if (Peek() == '-' || (Peek() >= '0' && Peek() <= '9'))
                return Number(out);
            return Fail(Fault::Syntax, "expected a value");
        }
    }

    bool Literal(std::string_view word, Json& out, Json value)
    {
        if (m_text.substr(m_pos, word.size()) != word)
            return Fail(Fault::Syntax, "expected a value");
        m_pos += word.size();
        out = std::move(value);
        return true;
    }

    bool Nested(std::size_t depth)
    {
        if (depth > m_limits.maxDepth)
            return Fail(Fault::Limit, "arrays and objects nested deeper than " +
                                          std::to_string(m_limits.maxDepth) + " levels");
        return true;
    }

    bool Array(Json& out, std::size_t depth)
    {
        if (!Nested(depth))
            return false;
        ++m_pos;  // [
        out = Json::Array();
        SkipSpace();
        if (Peek() == ']') {
            ++m_pos;
            return true;
        }
        for (;;) {
            Json element;
            if (!Value(element, depth))
                return false;
            out.PushBack(std::move(element));
            SkipSpace();
            if (Peek() == ',') {
                ++m_pos;
                SkipSpace();
            } else if (Peek() == ']') {
                ++m_pos;
                return true;
            } else {
                return Fail(Fault::Syntax, "expected ',' or ']'");
            }
        }
    }

    bool Object(Json& out, std::size_t depth)
    {
        if (!Nested(depth))
            return false;
        ++m_pos;  // {
        out = Json::Object();
        SkipSpace();
        if (Peek() == '}') {
            ++m_pos;
            return true;
        }
        std::set<std::string> keys;
        for (;;) {
            if (Peek() != '"')
                return Fail(Fault::Syntax, "expected a string naming a member");
            const std::size_t keyAt = m_pos;
            std::string key;
            if (!Counted() || !String(key))
                return false;
            if (!keys.insert(key).second) {
                m_pos = keyAt;
                return Fail(Fault::DuplicateKey, "the key \"" + Carry(key) + "\" comes twice");
            }
            SkipSpace();
            if (Peek() != ':')
                return Fail(Fault::Syntax, "expected ':'");
            ++m_pos;
            SkipSpace();
            Json member;
            if (!Value(member, depth))
                return false;
            out.Add(std::move(key), std::move(member));
            SkipSpace();
            if (Peek() == ',') {
                ++m_pos;
                SkipSpace();
            } else if (Peek() == '}') {
                ++m_pos;
                return true;
            } else {
                return Fail(Fault::Syntax, "expected ',' or '}'");
            }
        }
    }

    // Four hex digits at the position, as a number.
    bool Hex4(unsigned& value)
    {
        value = 0;
        for (int i = 0; i < 4; ++i, ++m_pos) {
            const char c = Peek();
            unsigned digit;
            if (c >= '0' && c <= '9')
                digit = c - '0';
            else if (c >= 'a' && c <= 'f')
                digit = c - 'a' + 10;
            else if (c >= 'A' && c <= 'F')
                digit = c - 'A' + 10;
            else
                return Fail(Fault::Syntax, "expected four hex digits after \\u");
            value = value * 16 + digit;
        }
        return true;
    }

    static void AppendUtf8(std::string& text, unsigned codePoint)
    {
        if (codePoint < 0x80) {
            text += static_cast<char>(codePoint);
        } else if (codePoint < 0x800) {
            text += static_cast<char>(0xC0 | (codePoint >> 6));
            text += static_cast<char>(0x80 | (codePoint & 0x3F));
        } else if (codePoint < 0x10000) {
            text += static_cast<char>(0xE0 | (codePoint >> 12));
            text += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
            text += static_cast<char>(0x80 | (codePoint & 0x3F));
        } else {
            text += static_cast<char>(0xF0 | (codePoint >> 18));
            text += static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F));
            text += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
            text += static_cast<char>(0x80 | (codePoint & 0x3F));
        }
    }

    bool Escape(std::string& text)
    {
        ++m_pos;  // the backslash
        const char c = Peek();
        ++m_pos;
        switch (c) {
        case '"': text += '"'; return true;
        case '\\': text += '\\'; return true;
        case '/': text += '/'; return true;
        case 'b': text += '\b'; return true;
        case 'f': text += '\f'; return true;
        case 'n': text += '\n'; return true;
        case 'r': text += '\r'; return true;
        case 't': text += '\t'; return true;
        case 'u': break;
        default: --m_pos; return Fail(Fault::Syntax, "no such escape in a string");
        }
        unsigned unit;
        if (!Hex4(unit))
            return false;
        if (unit >= 0xDC00 && unit <= 0xDFFF)
            return Fail(Fault::Syntax, "a low surrogate without a high one before it");
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            unsigned low;
            if (m_text.substr(m_pos, 2) != "\\u")
                return Fail(Fault::Syntax, "a high surrogate without a low one after it");
            m_pos += 2;
            if (!Hex4(low))
                return false;
            if (low < 0xDC00 || low > 0xDFFF)
                return Fail(Fault::Syntax, "a high surrogate without a low one after it");
            unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
        }
        AppendUtf8(text, unit);
        return true;
    }

    bool String(std::string& text)
    {
        ++m_pos;  // "
        for (;;) {
            if (AtEnd())
                return Fail(Fault::Syntax, "a string without its closing quote");
            const unsigned char c = static_cast<unsigned char>(Peek());
            if (c == '"') {
                ++m_pos;
                return true;
            }
            if (c == '\\') {
                if (!Escape(text))
                    return false;
            } else if (c < 0x20) {
                return Fail(Fault::Syntax, "a control character in a string");
            } else {
                const std::size_t length = Utf8Sequence(m_text.substr(m_pos));
                if (length == 0)
                    return Fail(Fault::Syntax, "bytes that are not UTF-8 in a string");
                text.append(m_text.substr(m_pos, length));
                m_pos += length;
            }
        }
    }

    bool Digits()
    {
        if (!(Peek() >= '0' && Peek() <= '9'))
            return Fail(Fault::Syntax, "expected a digit");
        while (Peek() >= '0' && Peek() <= '9')
            ++m_pos;
        return true;
    }

    bool Number(Json& out)
    {
        const std::size_t start = m_pos;
        const bool negative = Peek() == '-';
        if (negative)
            ++m_pos;
        const std::size_t integer = m_pos;
        if (Peek() == '0')
            ++m_pos;
        else if (!Digits())
            return false;
        const std::size_t integerEnd = m_pos;
        bool whole = !negative;
        if (Peek() == '.') {
            ++m_pos;
            if (!Digits())
                return false;
            whole = false;
        }
        if (Peek() == 'e' || Peek() == 'E') {
            ++m_pos;
            if (Peek() == '+' || Peek() == '-')
                ++m_pos;
            if (!Digits())
                return false;
            whole = false;
        }
        if (!whole) {
            m_pos = start;
            return Fail(Fault::Unsupported, "only whole numbers from 0 to 2^64 - 1 are read");
        }
        std::uint64_t value = 0;
        for (std::size_t i = integer; i < integerEnd; ++i) {
            const unsigned digit = m_text[i] - '0';
            if (value > (UINT64_MAX - digit) / 10) {
                m_pos = start;
                return Fail(Fault::Unsupported, "only whole numbers from 0 to 2^64 - 1 are read");
            }
            value = value * 10 + digit;
        }
        out = Json(value);
        return true;
    }

    std::string_view m_text;
    const JsonLimits& m_limits;
    std::size_t m_pos = 0;
    std::size_t m_values = 0;
    Fault m_fault = Fault::None;
    std::string m_what;
    std::size_t m_at = 0;
};

}  // namespace

JsonReading ReadJson(std::string_view text, const JsonLimits& limits)
{
    return Reader(text, limits).Run();
}

}  // namespace inventory

// SPDX-License-Identifier: MIT
#include "json_value.h"

namespace inventory {

Json Json::Object()
{
    Json value;
    value.m_kind = Kind::Object;
    return value;
}

Json Json::Array()
{
    Json value;
    value.m_kind = Kind::Array;
    return value;
}

Json& Json::operator[](std::string_view key)
{
    m_kind = Kind::Object;
    for (auto& [name, member] : m_members)
        if (name == key)
            return member;
    return m_members.emplace_back(std::string(key), Json()).second;
}

void Json::Add(std::string key, Json value)
{
    m_kind = Kind::Object;
    m_members.emplace_back(std::move(key), std::move(value));
}

void Json::PushBack(Json value)
{
    m_kind = Kind::Array;
    m_elements.push_back(std::move(value));
}

namespace {

void NewLine(std::string& text, int depth)
{
    text += '\n';
    text.append(2 * static_cast<std::size_t>(depth), ' ');
}

}  // namespace

void Json::AppendTo(std::string& text, int depth) const
{
    switch (m_kind) {
    case Kind::Null: text += "null"; return;
    case Kind::Boolean: text += m_number != 0 ? "true" : "false"; return;
    case Kind::Number: text += std::to_string(m_number); return;
    case Kind::String: AppendJsonString(text, m_text); return;
    case Kind::Array:
        if (m_elements.empty()) {
            text += "[]";
            return;
        }
        text += '[';
        for (std::size_t i = 0; i < m_elements.size(); ++i) {
            if (i != 0)
                text += ',';
            NewLine(text, depth + 1);
            m_elements[i].AppendTo(text, depth + 1);
        }
        NewLine(text, depth);
        text += ']';
        return;
    case Kind::Object:
        if (m_members.empty()) {
            text += "{}";
            return;
        }
        text += '{';
        for (std::size_t i = 0; i < m_members.size(); ++i) {
            if (i != 0)
                text += ',';
            NewLine(text, depth + 1);
            AppendJsonString(text, m_members[i].first);
            text += ": ";
            m_members[i].second.AppendTo(text, depth + 1);
        }
        NewLine(text, depth);
        text += '}';
        return;
    }
}

std::string Json::Dump() const
{
    std::string text;
    AppendTo(text);
    return text;
}

void AppendJsonString(std::string& text, std::string_view utf8)
{
    static const char kHex[] = "0123456789abcdef";
    auto unicode = [&](unsigned codePoint) {
        text += "\\u";
        for (int shift = 12; shift >= 0; shift -= 4)
            text += kHex[(codePoint >> shift) & 0xF];
    };
    text += '"';
    for (std::size_t i = 0; i < utf8.size(); ++i) {
        const auto byte = static_cast<unsigned char>(utf8[i]);
        switch (byte) {
        case '"': text += "\\\""; continue;
        case '\\': text += "\\\\"; continue;
        case '\b': text += "\\b"; continue;
        case '\f': text += "\\f"; continue;
        case '\n': text += "\\n"; continue;
        case '\r': text += "\\r"; continue;
        case '\t': text += "\\t"; continue;
        default: break;
        }
        const auto next = [&](std::size_t at) {
            return at < utf8.size() ? static_cast<unsigned char>(utf8[at]) : 0u;
        };
        if (byte < 0x20) {
            unicode(byte);
        } else if (byte == 0xC2 && next(i + 1) >= 0x80 && next(i + 1) <= 0x9F) {
            unicode(next(i + 1));  // C1: U+0080 to U+009F
            i += 1;
        } else if (byte == 0xE2 && next(i + 1) == 0x80 && (next(i + 2) == 0xA8 || next(i + 2) == 0xA9)) {
            unicode(0x2000 | (next(i + 2) - 0x80));  // U+2028, U+2029
            i += 2;
        } else {
            text += static_cast<char>(byte);
        }
    }
    text += '"';
}

}  // namespace inventory

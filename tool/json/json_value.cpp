// SPDX-License-Identifier: MIT
#include "json/json_value.h"

#include "json/json_string.h"

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

const Json* Json::Find(std::string_view key) const
{
    for (const auto& [name, member] : m_members)
        if (name == key)
            return &member;
    return nullptr;
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

}  // namespace inventory

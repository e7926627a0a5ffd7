// SPDX-License-Identifier: MIT
// The JSON values the tool prints, and their text.
#ifndef ISCSI_INVENTORY_JSON_VALUE_H
#define ISCSI_INVENTORY_JSON_VALUE_H

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace inventory {

// A JSON value: null, a boolean, an unsigned number, a string (UTF-8, as
// Carry() makes it, written by AppendJsonString), an array, or an object whose keys keep the order they
// were added in.
//
// The tool's own, rather than a general JSON library's, for one reason: the
// inventory is read hardest when memory is short, and a value here is
// destroyed without allocating (a general library's destructor may allocate,
// and an allocation that fails inside a destructor ends the process), and
// growing an object never copies what it holds.
class Json {
public:
    enum class Kind { Null, Boolean, Number, String, Array, Object };

    Json() = default;
    Json(std::nullptr_t) {}
    Json(bool value) : m_kind(Kind::Boolean), m_number(value ? 1 : 0) {}
    Json(std::uint64_t value) : m_kind(Kind::Number), m_number(value) {}
    Json(std::string value) : m_kind(Kind::String), m_text(std::move(value)) {}
    Json(const char* value) : Json(std::string(value)) {}
    template <typename T>
    Json(T) = delete;  // no silent conversion of other types

    static Json Object();
    static Json Array();

    bool IsNull() const { return m_kind == Kind::Null; }
    Kind Type() const { return m_kind; }

    // What a value holds, for reading one back (see json_read.h); each is
    // meaningful only for its own kind: false, 0, "" and empty otherwise.
    bool Boolean() const { return m_kind == Kind::Boolean && m_number != 0; }
    std::uint64_t Number() const { return m_kind == Kind::Number ? m_number : 0; }
    const std::string& Text() const { return m_text; }
    const std::vector<Json>& Elements() const { return m_elements; }
    const std::vector<std::pair<std::string, Json>>& Members() const { return m_members; }
    // The member named key of an object, or null when there is none.
    const Json* Find(std::string_view key) const;

    // The member named key of an object, added as null when it is new.
    Json& operator[](std::string_view key);
    // A member added to an object whose keys the caller knows to be new.
    void Add(std::string key, Json value);
    // An element added to an array.
    void PushBack(Json value);

    // The value as text, formatted as by JSON pretty printers with an indent
    // of two: each member and element on a line of its own, "{}" and "[]"
    // for empty ones; lines after the first are indented for depth levels.
    void AppendTo(std::string& text, int depth = 0) const;
    std::string Dump() const;

private:
    Kind m_kind = Kind::Null;
    std::uint64_t m_number = 0;
    std::string m_text;
    std::vector<Json> m_elements;                         // of an array
    std::vector<std::pair<std::string, Json>> m_members;  // of an object
};

}  // namespace inventory

#endif

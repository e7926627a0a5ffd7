// SPDX-License-Identifier: MIT
#include "walk/fields.h"

#include "json/json_string.h"
#include "text/people_text.h"

namespace inventory {

const Field kKeptHostFields[3] = {field::kHostHw, field::kHostIp, field::kHostNetdev};
const Field kKeptConnectionFields[10] = {
    field::kAddress,         field::kDataDigest,         field::kHeaderDigest,  field::kLocalPort,
    field::kMaxRecv,         field::kMaxXmit,            field::kPersistentAddress,
    field::kPersistentPort,  field::kPort,               field::kConnectionState};

Json InDocument(const Field& f, std::optional<std::string_view> raw)
{
    if (!raw)
        return nullptr;
    switch (f.kind) {
    case Kind::Decimal:
    case Kind::Hex: {
        std::optional<std::uint64_t> number = NumberOf(f, raw);
        return number ? Json(*number) : Json(nullptr);
    }
    case Kind::Inquiry:
        return Json(Carry(InquiryText(*raw)));
    case Kind::Text:
    case Kind::Flag:
    case Kind::Digest:
        break;
    }
    return Json(Carry(*raw));
}

std::string ForPeople(const Field& f, std::optional<std::string_view> raw)
{
    std::string shown = Shown(raw);
    switch (f.kind) {
    case Kind::Flag:
        return shown == "1" ? "Yes" : shown == "0" ? "No" : shown;
    case Kind::Digest:
        return shown == "0" ? "None" : shown == "1" ? "CRC32C" : shown;
    case Kind::Inquiry:
        return raw ? Shown(std::optional<std::string_view>(InquiryText(*raw))) : shown;
    case Kind::Text:
    case Kind::Decimal:
    case Kind::Hex:
        break;
    }
    return shown;
}

std::optional<std::string> Kept(const Field& f, std::optional<std::string_view> raw)
{
    if (!raw)
        return std::nullopt;
    return f.kind == Kind::Inquiry ? InquiryText(*raw) : std::string(*raw);
}

std::optional<std::uint64_t> NumberOf(const Field& f, std::optional<std::string_view> raw)
{
    return raw ? KernelNumber(*raw, f.kind == Kind::Hex) : std::nullopt;
}

std::optional<bool> FlagOf(std::optional<std::string_view> raw)
{
    if (raw == std::string_view("0") || raw == std::string_view("1"))
        return *raw == "1";
    return std::nullopt;
}

}  // namespace inventory

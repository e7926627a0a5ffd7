// SPDX-License-Identifier: MIT
#include "walk/fields.h"

#include <algorithm>

#include "json/json_string.h"
#include "text/people_text.h"

namespace inventory {

const Field* const kFields[] = {
    &field::kTarget,
    &field::kTpgt,
    &field::kInitiator,
    &field::kIface,
    &field::kSessionState,
    &field::kTargetState,
    &field::kRecoveryTimeout,
    &field::kAbortTimeout,
    &field::kLuResetTimeout,
    &field::kTgtResetTimeout,
    &field::kFirstBurst,
    &field::kMaxBurst,
    &field::kMaxR2t,
    &field::kImmediateData,
    &field::kInitialR2t,
    &field::kUsername,
    &field::kPassword,
    &field::kUsernameIn,
    &field::kPasswordIn,
    &field::kConnectionState,
    &field::kPersistentAddress,
    &field::kPersistentPort,
    &field::kAddress,
    &field::kPort,
    &field::kLocalPort,
    &field::kHeaderDigest,
    &field::kDataDigest,
    &field::kMaxRecv,
    &field::kMaxXmit,
    &field::kHostIp,
    &field::kHostHw,
    &field::kHostNetdev,
    &field::kDiskState,
    &field::kVendor,
    &field::kModel,
    &field::kRev,
    &field::kWwid,
    &field::kIoErrors,
    &field::kIoTimeouts,
    &field::kIoRequests,
    &field::kSize,
    &field::kDevNumber,
    &field::kReadOnly,
};
const std::size_t kFieldCount = sizeof kFields / sizeof kFields[0];

std::vector<std::string> ReadBy(Object object, unsigned bits)
{
    std::vector<std::string> names;
    for (const Field* f : kFields)
        if (f->object == object && (f->shownBy & bits) != 0)
            names.emplace_back(f->attribute);
    std::sort(names.begin(), names.end());
    names.erase(std::unique(names.begin(), names.end()), names.end());
    return names;
}

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

// SPDX-License-Identifier: MIT
#include "bus_address.h"

#include <algorithm>
#include <tuple>

#include "path_text.h"

namespace base {

namespace {

// Lowercase only: the kernel prints every field of the name with "%x", so an
// uppercase digit is in no name it writes.  Accepting one would let a
// directory that merely looks like an address (made by something other than
// the PCI core) decode as one.
bool IsHexDigit(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
}

bool AllHex(std::string_view text)
{
    for (char c : text)
        if (!IsHexDigit(c))
            return false;
    return !text.empty();
}

// The domain is printed with "%04x": at least four digits, more when the
// domain number needs them (VMD domains start at 0x10000).  It is a 32-bit
// number, so more than eight digits name no domain.
constexpr std::size_t kMinDomainDigits = 4;
constexpr std::size_t kMaxDomainDigits = 8;
// ":BB:DD.F" after the domain.
constexpr std::size_t kTailLength = 8;

// One field of a SCSI address as a sort key: numbers first, by value (by
// length once the leading zeros are gone, then digit by digit), then
// anything else byte-wise.
std::tuple<bool, std::size_t, std::string_view> FieldKey(std::string_view field)
{
    if (!IsScsiNumber(field))
        return {true, 0, field};
    field.remove_prefix(std::min(field.find_first_not_of('0'), field.size()));
    return {false, field.size(), field};
}

}  // namespace

bool IsPciAddress(std::string_view component)
{
    if (component.size() < kMinDomainDigits + kTailLength ||
        component.size() > kMaxDomainDigits + kTailLength)
        return false;
    const std::size_t domainDigits = component.size() - kTailLength;
    std::string_view tail = component.substr(domainDigits);
    // Device numbers run from 0 to 31 (five bits), functions from 0 to 7.
    return AllHex(component.substr(0, domainDigits)) && tail[0] == ':' &&
           AllHex(tail.substr(1, 2)) && tail[3] == ':' && (tail[4] == '0' || tail[4] == '1') &&
           IsHexDigit(tail[5]) && tail[6] == '.' && tail[7] >= '0' && tail[7] <= '7';
}

std::vector<std::string> PciAddresses(std::string_view path)
{
    std::vector<std::string> addresses;
    for (std::string_view component : PathComponents(path))
        if (IsPciAddress(component))
            addresses.emplace_back(component);
    return addresses;
}

PciLocation DecodePciAddress(std::string_view address)
{
    if (!IsPciAddress(address))
        return {};
    std::string_view tail = address.substr(address.size() - kTailLength);
    return {std::string(tail.substr(1, 2)), std::string(tail.substr(4, 2)),
            std::string(tail.substr(7, 1))};
}

bool SplitScsiName(std::string_view name, ScsiFields& fields)
{
    fields = ScsiFields();
    std::string* outputs[] = {&fields.controller, &fields.bus, &fields.target, &fields.lun};
    std::size_t colons = 0;
    for (char c : name) {
        if (c == ':')
            ++colons;
        else if (colons <= 3)
            *outputs[colons] += c;
    }
    if (colons != 3) {
        fields = ScsiFields();
        return false;
    }
    return true;
}

bool IsScsiNumber(std::string_view field)
{
    return !field.empty() &&
           std::all_of(field.begin(), field.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool ScsiAddressLess(const std::string (&a)[4], const std::string (&b)[4])
{
    for (int i = 0; i < 4; ++i) {
        auto x = FieldKey(a[i]), y = FieldKey(b[i]);
        if (x != y)
            return x < y;
    }
    return false;
}

}  // namespace base

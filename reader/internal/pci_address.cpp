// SPDX-License-Identifier: MIT
#include "pci_address.h"

namespace Quentor {
namespace LinuxEnum {
namespace detail {

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

}  // namespace

std::vector<std::string> PathComponents(std::string_view path)
{
    std::vector<std::string> components;
    std::size_t start = 0;
    while (start < path.size()) {
        std::size_t slash = path.find('/', start);
        if (slash == std::string_view::npos)
            slash = path.size();
        if (slash > start)
            components.emplace_back(path.substr(start, slash - start));
        start = slash + 1;
    }
    return components;
}

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
    for (std::string& component : PathComponents(path))
        if (IsPciAddress(component))
            addresses.push_back(std::move(component));
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

}  // namespace detail
}  // namespace LinuxEnum
}  // namespace Quentor

// SPDX-License-Identifier: MIT
#include "forms/text_output.h"

#include <unistd.h>

#include "text/terminal_text.h"

namespace inventory {

TextOutput::TextOutput(Output& out) : TextOutput(out, isatty(STDOUT_FILENO) == 1) {}

std::string_view TextOutput::Show(const std::string& bytes, std::string& storage) const
{
    return m_forTerminal ? Visible(bytes, storage) : std::string_view(bytes);
}

void TextOutput::Attribute(const std::string& key, const std::string& value)
{
    std::string k, v;
    m_out.Line({"\t", Show(key, k), ":: \t", Show(value, v)});
}

void TextOutput::ClassDevice(const IscsiClass& cls, const ClassDeviceRecord& device)
{
    std::string name;
    m_out.Line({cls.heading, Show(device.name, name)});
    for (const AttributeMap* attributes : {&device.listed, &device.own})
        for (const auto& [key, value] : *attributes)
            Attribute(key, value);
    for (const auto& [key, value] : device.DeviceLines())
        Attribute(std::string(key), std::string(value));
}

void TextOutput::IscsiHost(const IscsiHostRecord& host)
{
    std::string hostName;
    m_out.Line({"NAME ISCSI HOST:: ", Show(host.entry.name, hostName)});
    auto listing = host.listings.begin();
    auto line = [&](const std::string& key, const std::string& value) {
        Attribute(key, value);
        if (key != "path" || listing == host.listings.end())
            return;
        for (const auto& [directory, directoryAttributes] : *listing) {
            std::string shown;
            m_out.Line({"\t Directory ::", Show(directory, shown)});
            m_out.Line({"\t Attributes ::"});
            for (const auto& [name, content] : directoryAttributes) {
                std::string k, v;
                m_out.Line({"\t\t", Show(name, k), "::\t", Show(content, v)});
            }
        }
        ++listing;
    };
    for (const AttributeMap* attributes : {&host.entry.listed, &host.entry.own})
        for (const auto& [key, value] : *attributes)
            line(key, value);
    for (const auto& [key, value] : host.entry.DeviceLines())
        line(std::string(key), std::string(value));
}

}  // namespace inventory

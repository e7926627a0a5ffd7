// SPDX-License-Identifier: MIT
#include "text_output.h"

namespace inventory {

void TextOutput::Attribute(const std::string& key, const std::string& value)
{
    m_out.Line({"\t", key, ":: \t", value});
}

void TextOutput::ClassDevice(const IscsiClass& cls, const ClassDeviceRecord& device)
{
    m_out.Line({cls.heading, device.name});
    for (const AttributeMap* attributes : {&device.listed, &device.own, &device.device})
        for (const auto& [key, value] : *attributes)
            Attribute(key, value);
}

void TextOutput::IscsiHost(const IscsiHostRecord& host)
{
    m_out.Line({"NAME ISCSI HOST:: ", host.entry.name});
    auto listing = host.listings.begin();
    for (const AttributeMap* attributes : {&host.entry.listed, &host.entry.own, &host.entry.device}) {
        for (const auto& [key, value] : *attributes) {
            Attribute(key, value);
            if (key != "path" || listing == host.listings.end())
                continue;
            for (const auto& [directory, directoryAttributes] : *listing) {
                m_out.Line({"\t Directory ::", directory});
                m_out.Line({"\t Attributes ::"});
                for (const auto& [name, content] : directoryAttributes)
                    m_out.Line({"\t\t", name, "::\t", content});
            }
            ++listing;
        }
    }
}

}  // namespace inventory

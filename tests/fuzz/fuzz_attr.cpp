// SPDX-License-Identifier: MIT
// Fuzzes the capture of attribute contents.  Every input is checked as the
// stored value of an attribute with that content: the content less exactly
// one final newline, NUL bytes kept, nothing at all when there is no content
// or it starts with NUL.  Run under umockdev-wrapper, the input is also
// written as an attribute file of a fabricated tree and read back through the
// reader's own queries (our directory reading and libsysfs's), which must
// store the same value for the file's first page.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>

#include <sysfsreader/reader.h>
#include "internal/attribute_value.h"
#include "sys_tree.h"

namespace {

using namespace Quentor::LinuxEnum;

void Require(bool condition, const char* what)
{
    if (!condition) {
        std::fprintf(stderr, "property broken: %s\n", what);
        std::abort();
    }
}

// What the stored value must be, stated apart from the code under test.
std::string Expected(const std::string& content)
{
    if (content.empty() || content[0] == '\0')
        return "";
    if (content.back() == '\n')
        return content.substr(0, content.size() - 1);
    return content;
}

struct Fabricated {
    SysTree tree;
    std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    const std::string device = "devices/virtual/fuzz/dev0";
    Fabricated()
    {
        tree.ClassDevice("fuzz", device, false).File(device + "/attr", "");
        tree.Use();
    }
};

std::unique_ptr<Fabricated> fabricated;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    const char* preload = std::getenv("LD_PRELOAD");
    if (preload != nullptr && std::strstr(preload, "umockdev") != nullptr)
        fabricated = std::make_unique<Fabricated>();
    else
        std::fprintf(stderr, "not under umockdev-wrapper: the capture alone is fuzzed\n");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string content(reinterpret_cast<const char*>(data), size);
    Require(detail::AttributeValue(content.data(), content.size()) == Expected(content),
            "captured value");
    Require(detail::AttributeValue(nullptr, size).empty(), "unread attribute");
    if (!fabricated)
        return 0;

    {
        std::ofstream file(fabricated->tree.Abs(fabricated->device + "/attr"),
                           std::ios::binary | std::ios::trunc);
        file.write(content.data(), static_cast<std::streamsize>(content.size()));
    }
    const std::string firstPage = content.substr(0, fabricated->page);
    CSysfsReader reader(nullptr);

    DeviceMap devices;
    Require(reader.GetDevicePathAttr("/sys/devices/virtual/fuzz", devices) == READER_OK,
            "path query result");
    Require(devices.size() == 1 && devices["dev0"] == AttributeMap{{"attr", Expected(firstPage)}},
            "path query value");

    AttributeMap classAttrs, deviceAttrs;
    Require(reader.GetClsDeviceAttr("fuzz", "dev0", classAttrs, deviceAttrs) == READER_OK,
            "class query result");
    Require(classAttrs.count("attr") == 1 && classAttrs["attr"] == Expected(firstPage),
            "class query value");
    return 0;
}

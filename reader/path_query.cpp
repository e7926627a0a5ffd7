// SPDX-License-Identifier: MIT
// The path query: the attributes of every subdirectory of a sysfs directory.
// libsysfs 2.x has no directory calls, so the tree is read by our own code,
// which delivers what they delivered: real subdirectories only (a link is not a
// subdirectory), and each one's regular files read the way libsysfs reads them.
#include "internal/query.h"
#include "internal/opened_dir.h"
#include "internal/sysfs_io.h"
#include "internal/messages.h"
#include "reader.h"

namespace Quentor {
namespace LinuxEnum {

using detail::OpenedDir;
namespace messages = detail::messages;
namespace sysfs = detail::sysfs;

namespace {

// The names of a directory's real subdirectories, in name order.
std::vector<std::string> Subdirectories(const sysfs::Dir& dir)
{
    std::vector<std::string> names;
    for (sysfs::Entry& entry : dir.Entries()) {
        if (dir.IsSubdir(entry))
            names.push_back(std::move(entry.name));
    }
    return names;
}

}  // namespace

int CSysfsReader::GetDevicePathAttr(std::string devicePath, DeviceMap& pathDevices)
{
    return Query(READER_CLASS_ERROR, [&] {
        const messages::DevicePathAttrTexts& texts = messages::kGetDevicePathAttr;
        std::optional<OpenedDir> directory;
        if (const int code =
                OpenClassSide(texts, {devicePath}, devicePath, detail::OpenDirectory, directory);
            code != READER_OK)
            return code;
        std::vector<std::string> subdirectories = Subdirectories(directory->dir);
        if (subdirectories.empty()) {
            Trace(texts.noSubdirectories);
            return READER_CLASS_ERROR;
        }
        AttributeMap attributes;
        for (const std::string& name : subdirectories) {
            // A subdirectory that went away since the listing has no attributes.
            sysfs::Result<sysfs::Dir> subdirectory = directory->dir.Subdir(name);
            detail::AttributeRecords records =
                subdirectory ? subdirectory->Attributes() : detail::AttributeRecords();
            if (records.empty()) {
                Trace(texts.noAttributes);
                return READER_CLASS_ERROR;
            }
            Trace(texts.attributes);
            SetAttributes(records, attributes);
            pathDevices.emplace(name, attributes);
            attributes.clear();
        }
        Trace(texts.leaving);
        return READER_OK;
    });
}

int CSysfsReader::GetDevicePathNamedAttr(std::string devicePath, const AttributeNames& names,
                                         DeviceMap& pathDevices)
{
    return Query(READER_CLASS_ERROR, [&] {
        const messages::DevicePathAttrTexts& texts = messages::kGetDevicePathAttr;
        std::optional<OpenedDir> directory;
        if (const int code = OpenClassSide(texts, {devicePath}, devicePath, detail::OpenDirectory,
                                           directory, {&names});
            code != READER_OK)
            return code;
        std::vector<std::string> subdirectories = Subdirectories(directory->dir);
        if (subdirectories.empty()) {
            Trace(texts.noSubdirectories);
            return READER_CLASS_ERROR;
        }
        // Everything is read before anything is kept: a subdirectory gone
        // since the listing, or a file whose device says it is gone, means
        // the directory is going away, and it is then gone as a whole.
        bool vanishing = false;
        std::vector<std::pair<const std::string*, detail::AttributeRecords>> read;
        for (const std::string& name : subdirectories) {
            sysfs::Result<sysfs::Dir> subdirectory = directory->dir.Subdir(name);
            if (!subdirectory) {
                vanishing = vanishing || !subdirectory.Failed();
                continue;
            }
            read.emplace_back(&name, sysfs::ReadAttributes(*subdirectory, names, &vanishing));
        }
        if (vanishing) {
            Trace(texts.notFound, devicePath);
            return READER_CLASS_ERROR;
        }
        AttributeMap attributes;
        for (const auto& [name, records] : read) {
            if (records.empty()) {
                Trace(texts.noAttributes);
            } else {
                Trace(texts.attributes);
                SetAttributes(records, attributes);
            }
            pathDevices.emplace(*name, attributes);
            attributes.clear();
        }
        Trace(texts.leaving);
        return READER_OK;
    });
}

}  // namespace LinuxEnum
}  // namespace Quentor

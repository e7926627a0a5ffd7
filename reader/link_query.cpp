// SPDX-License-Identifier: MIT
// The link query: where the symbolic links of a sysfs directory lead.  Sysfs
// tells relations by links (a block device's holders/ and slaves/, a
// device's driver); the path query reads only real subdirectories.
#include <dirent.h>

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

int CSysfsReader::GetDeviceLinks(std::string devicePath, DeviceMap& links)
{
    return Query(READER_CLASS_ERROR, [&] {
        const messages::DeviceLinksTexts& texts = messages::kGetDeviceLinks;
        std::optional<OpenedDir> directory;
        if (const int code =
                OpenClassSide(texts, {devicePath}, devicePath, detail::OpenDirectory, directory);
            code != READER_OK)
            return code;
        bool any = false;
        for (const sysfs::Entry& entry : directory->dir.Entries()) {
            if (entry.type != DT_LNK && entry.type != DT_UNKNOWN)
                continue;
            // A link that leads nowhere, or out of sysfs, is no relation.
            sysfs::Result<sysfs::Dir> target = directory->tree.Follow(directory->dir, entry.name);
            if (!target || !directory->dir.LinkText(entry.name))
                continue;
            any = true;
            links.emplace(entry.name, AttributeMap{{"path", target->Path()}});
            Trace(texts.link, entry.name);
        }
        if (!any) {
            Trace(texts.noLinks);
            return READER_NOT_FOUND;
        }
        Trace(texts.leaving);
        return READER_OK;
    });
}

}  // namespace LinuxEnum
}  // namespace Quentor

// iscsi-inventory: prints every iSCSI object the kernel shows in sysfs.
//
// Four passes over the iSCSI classes print each class device with its own
// attributes and those of the device behind it; a fifth prints the scsi_host
// entry named "iscsi" and what lies below each of its paths.  The reader's
// trace goes to "SysReader.log" in the current directory.  No arguments, no
// standard error, exit status 0 whatever happens: the output up to any
// failure is what the administrator gets.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ext/stdio_filebuf.h>

#include <fstream>
#include <iostream>
#include <string>
#include <utility>

#include <sysfsreader/reader.h>

using namespace Quentor::LinuxEnum;

namespace {

void PrintAttributes(const AttributeMap& attributes)
{
    for (const auto& [key, value] : attributes)
        std::cout << "\t" << key << ":: \t" << value << std::endl;
}

// Opens the log with truncation, but never through a symbolic link (or onto
// anything but a plain file of its own) planted in its place: we run as root,
// often in shared directories.  The name is resolved once, by the open that
// refuses a link; everything after works on that descriptor: the check, the
// truncation and the writing.  Opening the stream by name again, even without
// truncation, could meet a link swapped in after the check, and reopening the
// descriptor through /proc fails where /proc is not mounted.  The standard
// file stream cannot adopt a descriptor, but its file buffer can be
// move-assigned, and libstdc++'s stdio_filebuf is a file buffer built on a
// descriptor: the stream's own buffer takes it over, so that is_open() holds
// and closing the stream closes the descriptor.  Where any step fails the
// stream stays closed and the run goes on without a trace.
void OpenLog(std::ofstream& log)
{
    int fd = open("SysReader.log", O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC,
                  0644);
    if (fd < 0)
        return;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1 || ftruncate(fd, 0) != 0) {
        close(fd);
        return;
    }
    __gnu_cxx::stdio_filebuf<char> adopted(fd, std::ios::out);
    if (!adopted.is_open()) {
        close(fd);
        return;
    }
    *log.rdbuf() = std::move(adopted);
}

void ClassPass(CSysfsReader& reader, const std::string& cls, const std::string& heading)
{
    DeviceMap devices;
    reader.GetClsDeviceList(cls, devices);
    AttributeMap listAttributes, classDeviceAttributes, deviceAttributes;
    for (const auto& [name, entry] : devices) {
        std::cout << heading << name << std::endl;
        reader.GetClsDeviceAttr(cls, name, classDeviceAttributes, deviceAttributes);
        listAttributes = entry;
        PrintAttributes(listAttributes);
        PrintAttributes(classDeviceAttributes);
        PrintAttributes(deviceAttributes);
        classDeviceAttributes.clear();
        deviceAttributes.clear();
    }
}

// The "iscsi" scsi_host entry; every "path" among its attributes is followed
// one level down.  The directory map is kept across paths, so each listing
// shows every directory found so far.
void IscsiHostPass(CSysfsReader& reader)
{
    const std::string cls = "scsi_host";
    DeviceMap devices, directories;
    reader.GetClsDeviceList(cls, devices);
    auto entry = devices.find("iscsi");
    if (entry == devices.end())
        return;
    std::cout << "NAME ISCSI HOST:: " << entry->first << std::endl;
    AttributeMap listAttributes = entry->second;
    AttributeMap classDeviceAttributes, deviceAttributes;
    reader.GetClsDeviceAttr(cls, entry->first, classDeviceAttributes, deviceAttributes);
    for (const AttributeMap* attributes : {&listAttributes, &classDeviceAttributes, &deviceAttributes}) {
        for (const auto& [key, value] : *attributes) {
            std::cout << "\t" << key << ":: \t" << value << std::endl;
            if (key != "path")
                continue;
            reader.GetDevicePathAttr(value, directories);
            for (const auto& [directory, directoryAttributes] : directories) {
                std::cout << "\t Directory ::" << directory << std::endl;
                std::cout << "\t Attributes ::" << std::endl;
                for (const auto& [name, content] : directoryAttributes)
                    std::cout << "\t\t" << name << "::\t" << content << std::endl;
            }
        }
    }
}

}  // namespace

int main()
{
    try {
        std::ofstream log;
        OpenLog(log);
        CSysfsReader reader(&log);
        ClassPass(reader, "iscsi_host", "NAME DEVICE CLASS:: ");
        ClassPass(reader, "iscsi_transport", "NAME TRANSPORT CLASS  :: ");
        ClassPass(reader, "iscsi_connection", "NAME CONNECTION CLASS :: ");
        ClassPass(reader, "iscsi_session", "NAME SESSION CLASS :: ");
        IscsiHostPass(reader);
        log.close();
    } catch (...) {
        // Out of memory or standard output gone: what was printed stands.
    }
    return 0;
}

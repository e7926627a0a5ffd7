// Device addressing: a SCSI device name split into controller, bus, target
// and LUN.  Pure text work: no mount check, no sysfs.
#include "internal/attribute_source.h"
#include "reader.h"

namespace Quentor {
namespace LinuxEnum {

int CSysfsReader::GetScsiDeviceCBTL(std::string deviceName, std::string& controller,
                                    std::string& scsiBus, std::string& target, std::string& lun)
{
    return detail::NoThrow(READER_NOT_FOUND, [&] {
        Trace("Entering CSysfsReader::GetScsiDeviceCBTL");
        if (deviceName.empty()) {
            Trace("Leaving CSysfsReader::GetScsiDeviceCBTL, Device Not Found");
            return READER_NOT_FOUND;
        }
        // Each field is appended to what the caller's string held; everything
        // after a third colon belongs to the LUN.
        std::string* fields[] = {&controller, &scsiBus, &target, &lun};
        std::size_t colons = 0;
        for (char c : deviceName) {
            if (c == ':')
                ++colons;
            else
                *fields[colons < 3 ? colons : 3] += c;
        }
        if (colons != 3) {
            for (std::string* field : fields)
                field->clear();
            Trace("Leaving CSysfsReader::GetScsiDeviceCBTL, Invalid device name");
            return READER_NOT_FOUND;
        }
        Trace("scsi controller:", controller);
        Trace("scsi bus:", scsiBus);
        Trace("scsi target:", target);
        Trace("scsi lunid:", lun);
        Trace("Leaving CSysfsReader::GetScsiDeviceCBTL");
        return READER_OK;
    });
}

}  // namespace LinuxEnum
}  // namespace Quentor

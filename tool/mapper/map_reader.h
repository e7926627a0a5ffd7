// SPDX-License-Identifier: MIT
// Reading a multipath map from the device-mapper by its device number.  The
// kernel answers only a caller with CAP_SYS_ADMIN, and a map may be removed
// between the walk that found it and the read: both are answers of their
// own, apart from a failure, so that the tool can say which it was.
// Tests stand in for the kernel below it, at libdevmapper's calls
// (tests/dm_standin.cpp).
#ifndef ISCSI_INVENTORY_MAP_READER_H
#define ISCSI_INVENTORY_MAP_READER_H

#include <optional>
#include <string>
#include <vector>

#include "mapper/multipath_map.h"

namespace inventory::mapper {

struct MapRead {
    enum class Outcome {
        kMap,           // map holds the map
        kNotPermitted,  // the device-mapper refused the caller (EPERM, EACCES): no CAP_SYS_ADMIN
        kUnreachable,   // no device-mapper to ask from here: no control node (a container's /dev)
        kNotMultipath,  // a map, but not of one multipath target; reason says what it is
        kGone,          // no map has that number (any more): ENXIO, ENODEV
        kFailed,        // anything else; reason says what
    };
    Outcome outcome = Outcome::kFailed;
    std::optional<MultipathMap> map;
    std::string reason;
    // The map's uuid as the device-mapper has it (where it answered for
    // the number): what tells that the number still names the map sysfs
    // showed.
    std::string uuid;
};

class MapReader {
public:
    virtual ~MapReader() = default;
    virtual MapRead Read(unsigned major, unsigned minor) = 0;
};

// One target of a map's table or status: its type and its params.
struct MapTarget {
    std::string type;
    std::string params;
};

// What a map whose table and status have these targets is: the map when
// both are one multipath target whose params parse, a map of another kind,
// or a failure with the parser's reason.
MapRead MapFromTargets(const std::vector<MapTarget>& table, const std::vector<MapTarget>& status);

// Asks the kernel through libdevmapper, with its log kept to the reader: a
// refusal or a failure comes back as the answer's reason, never on the
// tool's standard error.  One reader at a time: libdevmapper's log function
// is the process's.
class DeviceMapperReader final : public MapReader {
public:
    DeviceMapperReader();
    ~DeviceMapperReader() override;
    DeviceMapperReader(const DeviceMapperReader&) = delete;
    DeviceMapperReader& operator=(const DeviceMapperReader&) = delete;

    MapRead Read(unsigned major, unsigned minor) override;

private:
    // Why the library could not reach the kernel, once it said so.
    std::optional<MapRead> unreachable_;
};

}  // namespace inventory::mapper

#endif

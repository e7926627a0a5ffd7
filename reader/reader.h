// SPDX-License-Identifier: MIT
// CSysfsReader: asks sysfs which devices sit on a bus, which driver serves one,
// where a device sits on the PCI bus, and what a sysfs class holds.
//
// Every query returns one of the READER_* codes below and adds what it finds to
// maps that the caller owns (a key already present keeps its value; no query
// empties a map it is given).  Each query records what it did in the trace log
// handed to the constructor.  Nothing is cached: every query reads sysfs afresh.
// No exception leaves the library.  An attribute's value is the content of its
// file, one page at most, without its final newline; a file that its owner may
// not read gives an empty value; links, FIFOs and sockets are no attributes.
//
// Threads: different readers may run concurrently in different threads.  The
// bus map is filled once, whichever threads construct the first readers, and
// the library serialises its own calls into libsysfs where libsysfs relies on
// state the C library shares between threads (the getmntent() buffer); other
// code of the program that reads the mount table in another thread at the
// same time still shares that buffer.  One reader is used by one thread at a
// time.  Readers that share one log stream must not run at the same time: each
// trace line is written with several stream operations, and the stream itself
// is not synchronised; give each thread its own stream.
#ifndef SYSFSREADER_READER_H
#define SYSFSREADER_READER_H

#if __cplusplus < 201703L
#error "<sysfsreader/reader.h> needs C++17 (-std=c++17 or later)"
#endif

#include <atomic>
#include <cstddef>
#include <fstream>
#include <initializer_list>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "log/log.h"

// Marks what the shared library exports.  The library is built with hidden
// visibility, so that only what a program may call is part of its ABI: the
// public members of CSysfsReader below.  Its private members and the internal
// namespace stay inside the library.
#if defined(__GNUC__) || defined(__clang__)
#define SYSFSREADER_EXPORT __attribute__((visibility("default")))
#else
#define SYSFSREADER_EXPORT
#endif

struct sysfs_attribute;  // libsysfs's attribute record; callers need not include libsysfs

namespace Quentor {
namespace LinuxEnum {

// The buses the reader knows.  Held in an int so that any value a caller passes
// is a valid BusType; values outside the list simply have no bus name.
enum BusType : int {
    BUS_IDE = 0,
    BUS_PCI = 1,
    BUS_PCI_EXPRESS = 2,
    BUS_SCSI = 3,
    BUS_USB = 4,
};

// Attribute name -> value for one device, ordered byte-wise.
using AttributeMap = std::map<std::string, std::string>;
// Device key -> that device's attributes.
using DeviceMap = std::map<std::string, AttributeMap>;

// Which attribute files a named query reads: every one (kEveryAttribute), or
// only those the list names.  A name is one file of the directory read: a
// name that is empty, ".", ".." or holds a '/' makes the query refuse.
using AttributeNames = std::optional<std::vector<std::string>>;
inline const AttributeNames kEveryAttribute = std::nullopt;

// Who a device is, apart from its attribute files (added in 1.2).
struct DeviceIdentity {
    std::string busId;       // its directory's name, the key its bus files it under
    std::string bus;         // the bus it sits on; empty when none is known
    std::string driverName;  // the driver bound to it; "unknown" when none is
    std::string path;        // its canonical directory
    std::string name;        // its directory's name
};

// Secrets.  An iSCSI session shows its CHAP secrets as attributes named
// exactly "password" and "password_in".  The maps get them as they are (a
// caller that may read them asked for them); the trace never does: it shows
// kSecretMask for a set secret.  An empty value and the kernel's "(null)" say
// that no secret is set, and stay visible.  Programs that print attributes
// use IsSecretAttribute to mask them the same way.
inline constexpr std::string_view kSecretMask = "********";
inline bool IsSecretAttribute(std::string_view name, std::string_view value)
{
    return (name == "password" || name == "password_in") && !value.empty() && value != "(null)";
}

// Result codes of the queries.
constexpr int READER_OK = 0;            // success
constexpr int READER_NOT_FOUND = 1;     // device, list, class device or driver absent
constexpr int READER_MOUNT_FAILED = 2;  // sysfs missing and mounting it failed
constexpr int READER_BUS_ERROR = 3;     // bus type without a name, or bus cannot be opened
constexpr int READER_CLASS_ERROR = 4;   // class query argument empty, class/directory unusable

namespace detail {
struct AttributeRecord;
struct OpenedDir;
struct OpenedBus;
namespace messages {
struct ClassLadder;
struct BusLadder;
}  // namespace messages
}  // namespace detail

class CSysfsReader {
public:
    // The reader keeps only a pointer to the stream (which may be null); it never
    // opens, closes or flushes it beyond the flush that ends every trace line.
    SYSFSREADER_EXPORT explicit CSysfsReader(std::ofstream* log);
    SYSFSREADER_EXPORT ~CSysfsReader();

    // Makes sure sysfs is mounted, mounting it at /sys when it is missing
    // (which needs the privilege to mount).  READER_OK or READER_MOUNT_FAILED.
    // Every query below but GetScsiDeviceCBTL begins with it and returns
    // READER_MOUNT_FAILED at once when it fails.
    SYSFSREADER_EXPORT int CheckandMountSysfs();

    // Class queries.  A string argument that is empty gives READER_CLASS_ERROR.
    //
    // The devices of a class (/sys/class/<className>): one entry per class
    // device, keyed by its name, with "classname" and "path" (its canonical
    // directory).  READER_NOT_FOUND for a class without devices,
    // READER_CLASS_ERROR for a class that cannot be opened.
    SYSFSREADER_EXPORT int GetClsDeviceList(std::string className, DeviceMap& classDevices);
    // One class device's attribute files into classDeviceAttrs; the device
    // behind it (its "device" link), when there is one, into deviceAttrs:
    // "bus_id", "bus", "driver_name" ("unknown" when no driver is bound),
    // "path" and "name", then its attribute files.  READER_NOT_FOUND when the
    // class has no such device, or when the device went away while it was
    // read: nothing is added then, so that a device is never shown in part.
    SYSFSREADER_EXPORT int GetClsDeviceAttr(std::string className, std::string deviceName,
                                            AttributeMap& classDeviceAttrs,
                                            AttributeMap& deviceAttrs);
    // The attribute files of every subdirectory of a directory inside sysfs,
    // keyed by the subdirectory's name, in name order.  READER_CLASS_ERROR
    // when the path leads to no directory inside sysfs, the directory has no
    // subdirectory, or a subdirectory has no attribute file; in the last case
    // the subdirectories before it stay in the map.
    SYSFSREADER_EXPORT int GetDevicePathAttr(std::string devicePath, DeviceMap& pathDevices);
    // The symbolic links directly in a directory inside sysfs that lead to a
    // directory inside sysfs (a block device's holders/ and slaves/, a
    // device's driver or subsystem), keyed by link name, each with "path":
    // the canonical directory it leads to.  READER_CLASS_ERROR when the path
    // leads to no directory inside sysfs, READER_NOT_FOUND when it holds no
    // such link.
    SYSFSREADER_EXPORT int GetDeviceLinks(std::string devicePath, DeviceMap& links);

    // Named queries (added in 1.2): as GetClsDeviceAttr, GetDeviceAttr and
    // GetDevicePathAttr, with their result codes, mount check, containment
    // and trace ladder, but each reads only the attribute files that names
    // lists (a file not there is simply not added), and the device behind a
    // class device comes as its identity apart from its attributes, so that
    // an attribute file named like an identity key ("path", "name") is never
    // taken for it nor lost.  Each makes one mount check and no other read of
    // the mount table.  A device that goes away while it is read is reported
    // as its whole-device query reports it (READER_NOT_FOUND, for the path
    // query READER_CLASS_ERROR) with nothing added.  A name that is not one
    // file name makes the query refuse at once: READER_CLASS_ERROR (class and
    // path) or READER_BUS_ERROR (bus), nothing read.
    //
    // One class device's named attributes into classDeviceAttrs; the device
    // behind it, when there is one, into device (replaced) and its named
    // attributes into deviceAttrs.
    SYSFSREADER_EXPORT int GetClsDeviceNamedAttr(std::string className, std::string deviceName,
                                                 const AttributeNames& names,
                                                 AttributeMap& classDeviceAttrs,
                                                 const AttributeNames& deviceNames,
                                                 std::optional<DeviceIdentity>& device,
                                                 AttributeMap& deviceAttrs);
    // One bus device's named attributes.
    SYSFSREADER_EXPORT int GetDeviceNamedAttr(std::string busId, BusType bus,
                                              const AttributeNames& names,
                                              AttributeMap& attributes);
    // The named attributes of every subdirectory of a directory inside sysfs,
    // keyed by the subdirectory's name.  Unlike GetDevicePathAttr, a
    // subdirectory without any of the named files is still entered (with no
    // attributes): the names asked for say which files matter.
    SYSFSREADER_EXPORT int GetDevicePathNamedAttr(std::string devicePath, const AttributeNames& names,
                                                  DeviceMap& pathDevices);

    // Bus queries.  A device is named by its bus id, the key GetDeviceList
    // files it under.  READER_BUS_ERROR for a bus type without a name or a
    // bus sysfs does not have; READER_NOT_FOUND for an empty bus id, a bus
    // without devices, or no device of that bus id.
    //
    // Every device on a bus, keyed by bus id, with "name", "bus",
    // "driver_name" ("unknown" when no driver is bound) and "path".
    SYSFSREADER_EXPORT int GetDeviceList(BusType bus, DeviceMap& devices);
    // One bus device's attribute files; READER_NOT_FOUND, with nothing
    // added, also for a device that went away while it was read.
    SYSFSREADER_EXPORT int GetDeviceAttr(std::string busId, BusType bus, AttributeMap& attributes);
    // The name of the driver that serves a device: driverName is emptied
    // first and set only with READER_OK; READER_NOT_FOUND also when no driver
    // serves the device.
    SYSFSREADER_EXPORT int GetDeviceDriver(std::string busId, BusType bus, std::string& driverName);

    // Device addressing.
    //
    // The PCI bus, device and function of a device on any bus, from the last
    // PCI address in its sysfs path (for a SCSI disk, its controller's): the
    // three strings are replaced when an address is found.  READER_OK with
    // the strings untouched when the path holds no PCI address.
    SYSFSREADER_EXPORT int GetPCIDeviceBDF(std::string busId, BusType bus, std::string& pciBus,
                                           std::string& pciDevice, std::string& pciFunction);
    // Splits a SCSI name "controller:bus:target:lun" (text only, no sysfs).
    // The fields are APPENDED to the four strings: pass empty ones.  A name
    // without exactly three colons empties all four and gives
    // READER_NOT_FOUND; an empty name gives READER_NOT_FOUND and touches none.
    SYSFSREADER_EXPORT int GetScsiDeviceCBTL(std::string deviceName, std::string& controller,
                                             std::string& scsiBus, std::string& target,
                                             std::string& lun);

    // The sysfs name of a bus type: READER_OK and busName set, or
    // READER_NOT_FOUND and busName untouched.  The names are filled by the
    // first reader constructed in the process: before that, every bus type
    // gives READER_NOT_FOUND.
    SYSFSREADER_EXPORT static int Lookup(BusType bus, std::string& busName);

    // The errno of the first failure the calling thread's last query met, 0
    // when it met none.  A failure is something that is there but could not
    // be read (EACCES, EMFILE, EIO, and ENOMEM when memory ran out), as
    // opposed to something that is not there (a class not loaded, a device
    // that went away), which the result codes tell as they always have.  A
    // query that met a failure returns
    // READER_CLASS_ERROR (class and path queries) or READER_BUS_ERROR (bus
    // queries) where it would have returned READER_OK or READER_NOT_FOUND,
    // keeps what it could read in the caller's maps, and traces each failure
    // with its errno's text; this tells such a failure from the codes'
    // other meanings.
    SYSFSREADER_EXPORT static int LastFailure();

private:
    static void InitializeBusMap();

    // Runs a query body: no exception leaves it (it gives failedCode), each
    // failure met is traced, and a body that met one gives failedCode where
    // it would have given READER_OK or READER_NOT_FOUND.
    template <typename Body>
    int Query(int failedCode, Body&& body);

    // CheckandMountSysfs that also gives the mount point it found or made, so
    // that a query reads the mount table once.
    int MountCheck(std::string& mountPath);

    // The opening every class-side query runs, tracing from its ladder:
    // "Entering"; READER_CLASS_ERROR when an argument is empty; the mount
    // check (READER_MOUNT_FAILED at once); opened from open(target, mount),
    // or READER_CLASS_ERROR.  READER_OK when the query goes on to read.
    // A named query's names are checked there too (names lists them).
    int OpenClassSide(const detail::messages::ClassLadder& ladder,
                      std::initializer_list<std::string_view> arguments, const std::string& target,
                      std::optional<detail::OpenedDir> (*open)(const std::string&, const std::string&),
                      std::optional<detail::OpenedDir>& opened,
                      std::initializer_list<const AttributeNames*> names = {});
    // The opening every bus-side query runs: "Entering"; the mount check
    // (READER_MOUNT_FAILED at once); the bus's name, or READER_BUS_ERROR;
    // READER_NOT_FOUND when *busId is empty; the bus opened, or
    // READER_BUS_ERROR; the device *busId found, or READER_NOT_FOUND.  A
    // query that names no device passes a null busId and skips the device
    // steps.  READER_OK when the query goes on to read.
    // The named query's bus is opened by our own code alone (libsysfs would
    // read the mount table again), and its names are checked first.
    int OpenBusSide(const detail::messages::BusLadder& ladder, BusType busType,
                    const std::string* busId, detail::OpenedBus& opened,
                    const AttributeNames* names = nullptr);
    // The body of both bus device queries (names null: the whole device).
    int ReadBusDevice(const std::string& busId, BusType busType, const AttributeNames* names,
                      AttributeMap& attributes);
    // Whether every list of names names files only; traces the first name
    // refused.
    bool NamesAccepted(std::initializer_list<const AttributeNames*> names);
    // The body of both class device queries: the class opened by openClass,
    // the device found, both read whole before anything is kept.
    int ReadClassDevice(const std::string& className, const std::string& deviceName,
                        const AttributeNames& names, const AttributeNames& deviceNames,
                        std::optional<detail::OpenedDir> (*openClass)(const std::string&,
                                                                      const std::string&),
                        AttributeMap& classDeviceAttrs, std::optional<DeviceIdentity>& device,
                        AttributeMap& deviceAttrs);

    // Stores one attribute (content without its final newline) unless the map
    // already holds its name, and traces it.
    void SetAttribute(sysfs_attribute* attribute, AttributeMap& attributes);
    void SetAttribute(const detail::AttributeRecord& attribute, AttributeMap& attributes);
    void SetAttributes(const std::vector<detail::AttributeRecord>& records,
                       AttributeMap& attributes);
    void StoreAttribute(std::string_view name, const char* value, std::size_t length,
                        AttributeMap& attributes);

    void Trace(std::string_view message);
    void Trace(std::string_view message, std::string_view value);

    // The object's layout is frozen for SONAME 1: one pointer, no virtual
    // function (a vtable pointer would shift it).  Every program built
    // against the library inlines it: it allocates sizeof(CSysfsReader) bytes
    // for each reader, on its stack or in its own objects.  A member added,
    // removed, retyped or reordered here breaks every installed program and
    // needs a new SONAME; state a reader needs later has to live inside the
    // library.  The abi_layout test (tests/abi/) holds the layout to its
    // baseline.  The static members are no part of it: they are hidden in
    // the library.
    std::ofstream* m_pLog;

    static std::map<BusType, std::string> m_BusMap;
    static std::atomic<bool> m_BusMapInitialize;
};

}  // namespace LinuxEnum
}  // namespace Quentor

#endif  // SYSFSREADER_READER_H

// SPDX-License-Identifier: MIT
// The fields of the joined records, each written once: the name the document
// gives it, the sysfs attribute it comes from, and how the kernel writes it.
// Every form reads a field through this table, and shows a value that is
// missing by one rule of its own, written once below:
//   the document (--json)     null; a number that is no number is null too
//   the views for people      "<unknown>"; an empty value or "(null)" is
//                             "<empty>" (people_text.h)
//   a Prometheus label        "" (the exposition has no null)
// Which object holds the attribute (session, connection, host, disk) is the
// field's group: the tables below are per object.
#ifndef ISCSI_INVENTORY_FIELDS_H
#define ISCSI_INVENTORY_FIELDS_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "walk/inventory.h"
#include "json/json_value.h"

namespace inventory {

// How the kernel writes a value.
enum class Kind {
    Text,     // bytes as they are
    Decimal,  // a number in decimal
    Hex,      // a number as 0x... (the SCSI I/O counters)
    Inquiry,  // a SCSI inquiry string, padded with blanks to its field
    Flag,     // 0 or 1 (immediate_data, initial_r2t)
    Digest,   // 0 (None) or 1 (CRC32C); older kernels write the name
};

// The object whose directory holds a field's file.
enum class Object { Session, Connection, Host, Disk, Block };

// The joined forms that show or judge a field, as bits: only the files of
// the fields of its own bits are read for a form (ReadBy()).
enum FormBits : unsigned {
    kSessionsForm = 1u << 0,  // --sessions
    kTopology = 1u << 1,      // the LUNs joined across sessions: --luns, --summary, --check,
                              // and the LUNs of --prometheus and --json
    kMetricsForm = 1u << 2,   // --prometheus
    kJsonForm = 1u << 3,      // --json's joined records
    kEveryForm = kSessionsForm | kTopology | kMetricsForm | kJsonForm,
    // Those that show each path of a multipath map as the device-mapper
    // itself sees it.
    kMapForms = kTopology | kMetricsForm | kJsonForm,
};

struct Field {
    const char* key;        // in the document's joined records
    const char* attribute;  // the sysfs attribute file
    Kind kind;
    Object object;
    unsigned shownBy;       // FormBits
};

namespace field {
// An iSCSI session's.
inline constexpr Field kTarget{"target_name", "targetname", Kind::Text, Object::Session, kEveryForm};
inline constexpr Field kTpgt{"tpgt", "tpgt", Kind::Decimal, Object::Session, kSessionsForm | kTopology | kJsonForm};
inline constexpr Field kInitiator{"initiator_name", "initiatorname", Kind::Text, Object::Session, kSessionsForm | kMetricsForm | kJsonForm};
inline constexpr Field kIface{"iface", "ifacename", Kind::Text, Object::Session, kEveryForm};
inline constexpr Field kSessionState{"state", "state", Kind::Text, Object::Session, kEveryForm};
inline constexpr Field kTargetState{"target_state", "target_state", Kind::Text, Object::Session, kSessionsForm | kJsonForm};
// "off" is the kernel's word for a recovery that never times out:
// RecoveryOf() reads it.
inline constexpr Field kRecoveryTimeout{"recovery", "recovery_tmo", Kind::Decimal, Object::Session, kSessionsForm | kTopology};
inline constexpr Field kAbortTimeout{"abort", "abort_tmo", Kind::Decimal, Object::Session, kSessionsForm | kJsonForm};
inline constexpr Field kLuResetTimeout{"lu_reset", "lu_reset_tmo", Kind::Decimal, Object::Session, kSessionsForm | kJsonForm};
inline constexpr Field kTgtResetTimeout{"tgt_reset", "tgt_reset_tmo", Kind::Decimal, Object::Session, kSessionsForm | kJsonForm};
inline constexpr Field kFirstBurst{"first_burst_length", "first_burst_len", Kind::Decimal, Object::Session, kSessionsForm};
inline constexpr Field kMaxBurst{"max_burst_length", "max_burst_len", Kind::Decimal, Object::Session, kSessionsForm};
inline constexpr Field kMaxR2t{"max_outstanding_r2t", "max_outstanding_r2t", Kind::Decimal, Object::Session, kSessionsForm};
inline constexpr Field kImmediateData{"immediate_data", "immediate_data", Kind::Flag, Object::Session, kSessionsForm};
inline constexpr Field kInitialR2t{"initial_r2t", "initial_r2t", Kind::Flag, Object::Session, kSessionsForm};
// CHAP: the user names, and the secrets the walk has masked unless asked.
inline constexpr Field kUsername{"username", "username", Kind::Text, Object::Session, kSessionsForm};
inline constexpr Field kPassword{"password", "password", Kind::Text, Object::Session, kSessionsForm};
inline constexpr Field kUsernameIn{"username_in", "username_in", Kind::Text, Object::Session, kSessionsForm};
inline constexpr Field kPasswordIn{"password_in", "password_in", Kind::Text, Object::Session, kSessionsForm};
// A connection's.
inline constexpr Field kConnectionState{"state", "state", Kind::Text, Object::Connection, kEveryForm};
inline constexpr Field kPersistentAddress{"persistent_address", "persistent_address", Kind::Text, Object::Connection, kEveryForm};
inline constexpr Field kPersistentPort{"persistent_port", "persistent_port", Kind::Decimal, Object::Connection, kEveryForm};
inline constexpr Field kAddress{"address", "address", Kind::Text, Object::Connection, kSessionsForm | kJsonForm};
inline constexpr Field kPort{"port", "port", Kind::Decimal, Object::Connection, kSessionsForm | kJsonForm};
inline constexpr Field kLocalPort{"local_port", "local_port", Kind::Decimal, Object::Connection, kJsonForm};
inline constexpr Field kHeaderDigest{"header_digest", "header_digest", Kind::Digest, Object::Connection, kSessionsForm};
inline constexpr Field kDataDigest{"data_digest", "data_digest", Kind::Digest, Object::Connection, kSessionsForm};
inline constexpr Field kMaxRecv{"max_recv_dlength", "max_recv_dlength", Kind::Decimal, Object::Connection, kSessionsForm};
inline constexpr Field kMaxXmit{"max_xmit_dlength", "max_xmit_dlength", Kind::Decimal, Object::Connection, kSessionsForm};
// A host's (iscsi_host).
inline constexpr Field kHostIp{"ipaddress", "ipaddress", Kind::Text, Object::Host, kSessionsForm};
inline constexpr Field kHostHw{"hwaddress", "hwaddress", Kind::Text, Object::Host, kSessionsForm};
inline constexpr Field kHostNetdev{"netdev", "netdev", Kind::Text, Object::Host, kSessionsForm};
// A SCSI device's.
inline constexpr Field kDiskState{"state", "state", Kind::Text, Object::Disk, kEveryForm};
inline constexpr Field kVendor{"vendor", "vendor", Kind::Inquiry, Object::Disk, kTopology | kJsonForm};
inline constexpr Field kModel{"model", "model", Kind::Inquiry, Object::Disk, kTopology | kJsonForm};
inline constexpr Field kRev{"rev", "rev", Kind::Inquiry, Object::Disk, kTopology | kJsonForm};
inline constexpr Field kWwid{"wwid", "wwid", Kind::Text, Object::Disk, kEveryForm};
inline constexpr Field kIoErrors{"io_errors", "ioerr_cnt", Kind::Hex, Object::Disk, kMetricsForm | kJsonForm};
inline constexpr Field kIoTimeouts{"io_timeouts", "iotmo_cnt", Kind::Hex, Object::Disk, kMetricsForm | kJsonForm};
inline constexpr Field kIoRequests{"io_requests", "iorequest_cnt", Kind::Hex, Object::Disk, kJsonForm};
// A block device's: its size in 512-byte sectors (SizeBytes()), its
// read-only flag a Flag.
inline constexpr Field kSize{"size", "size", Kind::Decimal, Object::Block, kEveryForm};
// Shown by none: what joins a disk to its path in a multipath map's status.
inline constexpr Field kDevNumber{"dev", "dev", Kind::Text, Object::Block, kMapForms};
inline constexpr Field kReadOnly{"read_only", "ro", Kind::Flag, Object::Block, kTopology | kMetricsForm};
}  // namespace field

// Every field above: the table the walk reads from.  A field missing here
// is never read, and every form would show it as missing.
extern const Field* const kFields[];
extern const std::size_t kFieldCount;

// The attribute files of object's fields that the forms of bits show, in
// name order: what the walk reads of such an object.
std::vector<std::string> ReadBy(Object object, unsigned bits);

// A field's raw value among attributes: nothing when the kernel did not give
// it.
template <typename Attributes>
std::optional<std::string_view> Raw(const Attributes& attributes, const Field& f)
{
    return ValueOf(attributes, f.attribute);
}

// The value as the document holds it: a string (carried as Carry() carries
// sysfs bytes; an inquiry string without its padding), a number for the
// number kinds (null when it is none), or null when missing.  A Flag or a
// Digest stays the string the kernel wrote.
Json InDocument(const Field& f, std::optional<std::string_view> raw);

// The value as the views for people show it (visible, "<unknown>",
// "<empty>"); a Flag as Yes or No, a Digest as None or CRC32C.
std::string ForPeople(const Field& f, std::optional<std::string_view> raw);

// The value as a Prometheus label holds it (escaped by the exposition).
inline std::string_view AsLabel(std::optional<std::string_view> raw)
{
    return raw.value_or("");
}

// The value as the typed records keep it: an inquiry string without its
// padding, else the bytes.
std::optional<std::string> Kept(const Field& f, std::optional<std::string_view> raw);

// A number kind's value (Decimal, Hex): nothing when it is missing or no
// number.
std::optional<std::uint64_t> NumberOf(const Field& f, std::optional<std::string_view> raw);

// A Flag's value: nothing when it is neither 0 nor 1.
std::optional<bool> FlagOf(std::optional<std::string_view> raw);

}  // namespace inventory

#endif

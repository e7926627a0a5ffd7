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

struct Field {
    const char* key;        // in the document's joined records
    const char* attribute;  // the sysfs attribute file
    Kind kind;
};

namespace field {
// An iSCSI session's.
inline constexpr Field kTarget{"target_name", "targetname", Kind::Text};
inline constexpr Field kTpgt{"tpgt", "tpgt", Kind::Decimal};
inline constexpr Field kInitiator{"initiator_name", "initiatorname", Kind::Text};
inline constexpr Field kIface{"iface", "ifacename", Kind::Text};
inline constexpr Field kSessionState{"state", "state", Kind::Text};
inline constexpr Field kTargetState{"target_state", "target_state", Kind::Text};
// "off" is the kernel's word for a recovery that never times out:
// RecoveryOf() reads it.
inline constexpr Field kRecoveryTimeout{"recovery", "recovery_tmo", Kind::Decimal};
inline constexpr Field kAbortTimeout{"abort", "abort_tmo", Kind::Decimal};
inline constexpr Field kLuResetTimeout{"lu_reset", "lu_reset_tmo", Kind::Decimal};
inline constexpr Field kTgtResetTimeout{"tgt_reset", "tgt_reset_tmo", Kind::Decimal};
inline constexpr Field kFirstBurst{"first_burst_length", "first_burst_len", Kind::Decimal};
inline constexpr Field kMaxBurst{"max_burst_length", "max_burst_len", Kind::Decimal};
inline constexpr Field kMaxR2t{"max_outstanding_r2t", "max_outstanding_r2t", Kind::Decimal};
inline constexpr Field kImmediateData{"immediate_data", "immediate_data", Kind::Flag};
inline constexpr Field kInitialR2t{"initial_r2t", "initial_r2t", Kind::Flag};
// CHAP: the user names, and the secrets the walk has masked unless asked.
inline constexpr Field kUsername{"username", "username", Kind::Text};
inline constexpr Field kPassword{"password", "password", Kind::Text};
inline constexpr Field kUsernameIn{"username_in", "username_in", Kind::Text};
inline constexpr Field kPasswordIn{"password_in", "password_in", Kind::Text};
// A connection's.
inline constexpr Field kConnectionState{"state", "state", Kind::Text};
inline constexpr Field kPersistentAddress{"persistent_address", "persistent_address", Kind::Text};
inline constexpr Field kPersistentPort{"persistent_port", "persistent_port", Kind::Decimal};
inline constexpr Field kAddress{"address", "address", Kind::Text};
inline constexpr Field kPort{"port", "port", Kind::Decimal};
inline constexpr Field kLocalPort{"local_port", "local_port", Kind::Decimal};
inline constexpr Field kHeaderDigest{"header_digest", "header_digest", Kind::Digest};
inline constexpr Field kDataDigest{"data_digest", "data_digest", Kind::Digest};
inline constexpr Field kMaxRecv{"max_recv_dlength", "max_recv_dlength", Kind::Decimal};
inline constexpr Field kMaxXmit{"max_xmit_dlength", "max_xmit_dlength", Kind::Decimal};
// A host's (iscsi_host).
inline constexpr Field kHostIp{"ipaddress", "ipaddress", Kind::Text};
inline constexpr Field kHostHw{"hwaddress", "hwaddress", Kind::Text};
inline constexpr Field kHostNetdev{"netdev", "netdev", Kind::Text};
// A SCSI device's.
inline constexpr Field kDiskState{"state", "state", Kind::Text};
inline constexpr Field kVendor{"vendor", "vendor", Kind::Inquiry};
inline constexpr Field kModel{"model", "model", Kind::Inquiry};
inline constexpr Field kRev{"rev", "rev", Kind::Inquiry};
inline constexpr Field kWwid{"wwid", "wwid", Kind::Text};
inline constexpr Field kIoErrors{"io_errors", "ioerr_cnt", Kind::Hex};
inline constexpr Field kIoTimeouts{"io_timeouts", "iotmo_cnt", Kind::Hex};
inline constexpr Field kIoRequests{"io_requests", "iorequest_cnt", Kind::Hex};
// A block device's: its size is SizeBytes(), its read-only flag a Flag.
inline constexpr Field kReadOnly{"read_only", "ro", Kind::Flag};
}  // namespace field

// The fields of a host and of a connection that the walk keeps until the
// sessions come (KeptAttributes): those any form reads.
extern const Field kKeptHostFields[3];
extern const Field kKeptConnectionFields[10];

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

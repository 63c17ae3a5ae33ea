/* SPDX-License-Identifier: Apache-2.0 */
// Records of many hosts through a message broker: the topics a recorder
// publishes to (PREFIX/HOST/COMMAND for records, PREFIX/HOST/status for
// its online/offline state), and the checks diagctl serve makes on what it
// reads back. Whoever can publish to the broker is untrusted: a record is
// taken only when every field has its type and range, and is then written
// again by our own renderer from the screen's own attributes, so nothing
// a publisher adds reaches a page. Pure code: no I/O.
#ifndef TOOLS_DIAGCTL_FLEET_H
#define TOOLS_DIAGCTL_FLEET_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "Screens.h"
#include "Snapshot.h"

namespace diagctl {

// The largest record taken from a broker; the daemon's biggest screens
// make records of about 6 KB.
constexpr std::size_t kMaxRecordBytes = 64 * 1024;

// A host's name in topics: 1 to 64 of A-Z a-z 0-9 '.' '_' '-', and not
// "." or "..". Host names as the system gives them fit.
bool ValidHostName(const std::string &name);

// A topic prefix: 1 to 200 bytes of printable ASCII without '+', '#'
// (wildcards), a leading '$' (the broker's own topics), empty levels or a
// slash at either end. False with the reason in *why.
bool ValidTopicPrefix(const std::string &prefix, std::string *why);

// PREFIX/HOST/LEAF (LEAF: a command or "status").
std::string FleetTopic(const std::string &prefix, const std::string &host, const std::string &leaf);

// Splits a topic into its host and leaf when it is exactly
// PREFIX/HOST/LEAF with a valid host and a leaf of 1 to 32 lower-case
// letters; false otherwise.
bool SplitFleetTopic(const std::string &prefix, const std::string &topic, std::string *host,
                     std::string *leaf);

// A recorder's state, published retained on PREFIX/HOST/status: online
// when it connects, offline when it stops (and as its last will when it
// dies or loses the network).
struct HostStatus {
    bool online = false;
    std::string time;      // when it was said (UTC, as records give it); "" for the last will
    uint64_t dropped = 0;  // records the recorder dropped from its queue so far
    std::string reason;    // offline: "stopped" or "connection lost"
};
std::string HostStatusJson(const HostStatus &status);
// False, with the reason in *why, for anything but the JSON that
// HostStatusJson writes (fields may be left out, none added).
bool ParseHostStatus(const std::string &payload, HostStatus *out, std::string *why);

// Reads a record (the JSON of diagctl --json) of screen back into the
// snapshot it was made from, keeping the screen's own attributes only.
// False, with the reason in *why, for anything that is not a whole record
// of that screen: another command, a malformed time, a negative latency,
// an answer without attributes, more than kMaxRecordBytes, bad UTF-8,
// nesting deeper than 16, or a member that no record has.
bool ParseRecord(const Screen &screen, const std::string &payload, Snapshot *out, std::string *why);

// The record with "host" as its first member (host must be valid).
std::string WithHost(const std::string &record, const std::string &host);

}  // namespace diagctl

#endif

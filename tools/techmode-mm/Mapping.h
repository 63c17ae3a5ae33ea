/* SPDX-License-Identifier: Apache-2.0 */
// The mapping from ModemManager to the tech-mode structures: one table
// (kMapping) whose rows say which structure field is filled from which
// interface and property, with what conversion. Map() runs the table over a
// Reading and gives the modem state the shared encoders answer from
// (tools/techmode-device): a field no row could fill is left out of its
// reply (the scenario's missing_tags), a structure with nothing filled
// fails with ENODATA. Every value is checked: digits are digits, numbers in
// the range of the 3GPP quantity and of the structure member, strings
// bounded; a value that fails is left out and counted in the report.
#ifndef TECHMODE_MM_MAPPING_H
#define TECHMODE_MM_MAPPING_H

#include <stdint.h>

#include <optional>
#include <string>
#include <vector>

#include "Reading.h"
#include "Scenario.h"
#include "techmode/techmode_protocol.h"

namespace mm {

// One row: a structure's field (its name in the structure table, or the
// name of a list the row fills) and where its value comes from.
struct MapRow {
    TechModeStructType type;
    const char *field;
    const char *source;      // ModemManager interface and property
    const char *conversion;  // how the value becomes the field's
    // Sets the field from the reading; false when the reading has no
    // usable value for it.
    bool (*fill)(const Reading &, sim::Scenario &);
};

extern const MapRow kMapping[];
extern const size_t kMappingRows;

// The modem state for a reading: every structure's fields as the table
// fills them, the rest left out.
struct Snapshot {
    sim::Scenario state;
    // Per structure type: whether anything filled it, and the names of its
    // fields left out.
    bool filled[kTechModeStructTypeCount] = {};
    std::vector<std::string> missing[kTechModeStructTypeCount];
};
Snapshot Map(const Reading &r);

// The state of a device with no modem: every structure fails with EIO.
sim::Scenario NoModem();

// The network time as seconds since 1970 (UTC) from GetNetworkTime's ISO
// 8601 text ("2026-12-07T10:56:50+01:00", "...Z", or no zone: the modem's
// clock taken as it reads); none when the text is not such a time or falls
// outside 1970 to 2037 (the daemon's bridge reads it as a 32-bit int).
std::optional<int64_t> NetworkTime(const std::string &iso8601);

// The line techmode-mm writes to the network-time service's status object
// for that time, as the daemon's network-time bridge reads it.
std::string NetworkTimeLine(int64_t seconds);

// The capability view of --report: for each structure, whether it is
// filled, from which interfaces, and which fields stay missing.
std::string Report(const Reading &r);

}  // namespace mm

#endif

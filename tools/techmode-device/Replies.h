/* SPDX-License-Identifier: Apache-2.0 */
// The radio resource manager of a tech-mode device: checks one structure
// request and builds its reply from the modem's state (a scenario, however
// it was filled). A field or structure the state does not have is left out
// through the scenario's faults (missing_tags, device_error). The structure
// encoders here are the devices' own, written from the byte layouts of the
// tech-mode protocol; only the TLV element packing is shared with the
// daemon.
#ifndef TECHMODE_SIM_REPLIES_H
#define TECHMODE_SIM_REPLIES_H

#include <stddef.h>
#include <stdint.h>

#include <random>
#include <string>
#include <vector>

#include "Scenario.h"

namespace sim {

struct Reply {
    int status = 0;              // devctl status: 0 or an errno value
    std::vector<uint8_t> bytes;  // reply bytes (may exceed the caller's room)
    int delay_ms = 0;            // wait this long before answering
    int struct_type = -1;        // the structure asked for, -1 if not understood
    std::string refusal;         // why the request was not understood ("" if it was)
};

// Answers one devctl transfer: dcmd, the request bytes, and the room the
// caller has. elapsed_ms drives the drift of signal levels; rng decides
// faults that apply with a probability.
Reply Answer(const Scenario &scenario, uint32_t dcmd, const uint8_t *request, size_t request_len,
             double elapsed_ms, std::mt19937 &rng);

// The whole reply (command element around the structure element) for a
// type, without faults or drift (for tests and seeds). Empty for a number
// that is no TechModeStructType.
std::vector<uint8_t> EncodeStructure(const Scenario &scenario, int type);

}  // namespace sim

#endif

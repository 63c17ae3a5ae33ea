// SPDX-License-Identifier: Apache-2.0
#include "FakeTechmode.h"

#include <string.h>

#include <algorithm>
#include <random>

#include "FakeDevice.h"
#include "Replies.h"
#include "techmode/techmode_protocol.h"

namespace testsupport {

namespace {

int g_requests[kTechModeStructTypeCount];

// One devctl transfer, answered as the real simulator answers it.
void Answer(sim::Scenario &scenario, devctl_xfer &x) {
    static std::mt19937 rng(1);
    sim::Reply r = sim::Answer(scenario, x.dcmd, x.data, x.send_len, 0, rng);
    if (r.struct_type >= 0 && static_cast<unsigned>(r.struct_type) < kTechModeStructTypeCount)
        g_requests[r.struct_type]++;
    size_t n = std::min<size_t>(r.bytes.size(), DEVCTL_XFER_MAX);
    if (n > 0) memcpy(x.data, r.bytes.data(), n);
    x.recv_len = static_cast<uint32_t>(n);
    x.status = r.status;
    x.info = 0;
}

// The scenario, with the device set to answer from it.
sim::Scenario &State() {
    static sim::Scenario s = [] {
        Device().answer = [](devctl_xfer &x) { Answer(State(), x); };
        return sim::ParseScenario("{}", "test");
    }();
    return s;
}

}  // namespace

void FakeTechmode::SetScenario(const std::string &json) {
    State() = sim::ParseScenario(json, "test scenario");
}

sim::Scenario &FakeTechmode::scenario() {
    return State();
}

int FakeTechmode::Requests(int type) {
    return type >= 0 && static_cast<unsigned>(type) < kTechModeStructTypeCount ? g_requests[type]
                                                                               : 0;
}

void FakeTechmode::ResetCounts() {
    memset(g_requests, 0, sizeof g_requests);
}

}  // namespace testsupport

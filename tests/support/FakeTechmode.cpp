// SPDX-License-Identifier: Apache-2.0
#include "FakeTechmode.h"

#include <string.h>

#include <algorithm>
#include <random>

#include "Replies.h"
#include "techmode/techmode_protocol.h"

namespace testsupport {

static int g_requests[kTechModeStructTypeCount];

sim::Scenario &FakeScenario() {
    static sim::Scenario s = [] {
        // Each transfer is answered as the real simulator answers it.
        Device().answer = [](devctl_xfer &x) {
            static std::mt19937 rng(1);
            sim::Reply r = sim::Answer(FakeScenario(), x.dcmd, x.data, x.send_len, 0, rng);
            if (r.struct_type >= 0 && unsigned(r.struct_type) < kTechModeStructTypeCount)
                g_requests[r.struct_type]++;
            size_t n = std::min<size_t>(r.bytes.size(), DEVCTL_XFER_MAX);
            if (n > 0) memcpy(x.data, r.bytes.data(), n);
            x.recv_len = static_cast<uint32_t>(n);
            x.status = r.status;
            x.info = 0;
        };
        return sim::ParseScenario("{}", "test");
    }();
    return s;
}

int FakeRequests(int type) {
    return type >= 0 && unsigned(type) < kTechModeStructTypeCount ? g_requests[type] : 0;
}

void ResetFakeRequests() {
    memset(g_requests, 0, sizeof g_requests);
}

}  // namespace testsupport

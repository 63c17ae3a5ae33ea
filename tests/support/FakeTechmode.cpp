// SPDX-License-Identifier: Apache-2.0
#include "FakeTechmode.h"

#include <errno.h>
#include <stdarg.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <random>

#include "Replies.h"
#include "devctl_xfer.h"

namespace testsupport {

namespace {

sim::Scenario &State() {
    static sim::Scenario s = sim::ParseScenario("{}", "test");
    return s;
}

int g_requests[25];

}  // namespace

void FakeTechmode::SetScenario(const std::string &json) {
    State() = sim::ParseScenario(json, "test scenario");
}

sim::Scenario &FakeTechmode::scenario() {
    return State();
}

int FakeTechmode::Requests(int type) {
    return type >= 0 && type <= 24 ? g_requests[type] : 0;
}

void FakeTechmode::ResetCounts() {
    memset(g_requests, 0, sizeof g_requests);
}

}  // namespace testsupport

// The device: one devctl transfer per ioctl, as the real simulator answers it.
extern "C" int ioctl(int fd, unsigned long request, ...) {
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    if (fd != testsupport::kFakeTechmodeFd)
        return static_cast<int>(syscall(SYS_ioctl, fd, request, arg));
    if (request != DEVCTL_IOC_XFER) {
        errno = ENOTTY;
        return -1;
    }
    auto *x = static_cast<devctl_xfer *>(arg);
    static std::mt19937 rng(1);
    sim::Reply r = sim::Answer(testsupport::State(), x->dcmd, x->data, x->send_len, 0, rng);
    if (r.struct_type >= 0 && r.struct_type <= 24) testsupport::g_requests[r.struct_type]++;
    size_t n = std::min<size_t>(r.bytes.size(), DEVCTL_XFER_MAX);
    if (n > 0) memcpy(x->data, r.bytes.data(), n);
    x->recv_len = static_cast<uint32_t>(n);
    x->status = r.status;
    x->info = 0;
    return 0;
}

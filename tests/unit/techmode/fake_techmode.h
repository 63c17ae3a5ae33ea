/* SPDX-License-Identifier: Apache-2.0 */
// A pretend tech-mode device behind devctlv: the test binary defines ioctl();
// DEVCTL_IOC_XFER on kFakeTechModeFd is answered from g_fakeTechMode, every
// other fd goes to the kernel.
#ifndef TESTS_UNIT_TECHMODE_FAKE_TECHMODE_H
#define TESTS_UNIT_TECHMODE_FAKE_TECHMODE_H

#include <stdint.h>

#include <vector>

#include "devctl_xfer.h"

constexpr int kFakeTechModeFd = 4711;

struct FakeTechMode {
    int calls = 0;
    devctl_xfer request{};       // the transfer as the device received it
    std::vector<uint8_t> reply;  // bytes the device answers with
    int32_t status = 0;          // its devctl status (EOK or an errno value)
};
extern FakeTechMode g_fakeTechMode;

#endif  // TESTS_UNIT_TECHMODE_FAKE_TECHMODE_H

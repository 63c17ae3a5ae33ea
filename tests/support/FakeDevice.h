/* SPDX-License-Identifier: Apache-2.0 */
// Test support: the one pretend device behind devctlv. A binary that links
// it gets its ioctl(): DEVCTL_IOC_XFER on kFakeDeviceFd is answered by
// Device() (any other request on that fd fails with ENOTTY), every other fd
// goes to the kernel.
#ifndef TESTS_SUPPORT_FAKEDEVICE_H
#define TESTS_SUPPORT_FAKEDEVICE_H

#include <devctl.h>
#include <stdint.h>

#include <functional>
#include <optional>
#include <vector>

#include "devctl_xfer.h"

namespace testsupport {

constexpr int kFakeDeviceFd = 900;

struct FakeDevice {
    int calls = 0;
    devctl_xfer request{};       // the last transfer as the device received it
    std::vector<uint8_t> reply;  // the bytes it answers with (at most DEVCTL_XFER_MAX are sent)
    int32_t status = EOK, info = 0;
    std::optional<uint32_t> claimedLen;  // a recv_len other than the reply's size: a liar
    // When set, fills in each transfer instead of the fields above.
    std::function<void(devctl_xfer &)> answer;
};

// The device; a test resets it with Device() = FakeDevice{}.
FakeDevice &Device();

}  // namespace testsupport

#endif  // TESTS_SUPPORT_FAKEDEVICE_H

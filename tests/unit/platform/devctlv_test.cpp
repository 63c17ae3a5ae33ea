// SPDX-License-Identifier: Apache-2.0
// devctlv: gather, one DEVCTL_IOC_XFER ioctl to the pretend device, scatter,
// errno-valued results.
#include <devctl.h>

#include <errno.h>
#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

#include "support/FakeDevice.h"

namespace {

using testsupport::Device;
using testsupport::kFakeDeviceFd;

class Devctlv : public ::testing::Test {
  protected:
    void SetUp() override { Device() = testsupport::FakeDevice{}; }
    void Reply(const std::string &text, uint32_t claimed) {
        dev.reply.assign(text.begin(), text.end());
        dev.claimedLen = claimed;
    }
    testsupport::FakeDevice &dev = Device();
};

TEST_F(Devctlv, GathersSendPartsAndScattersReply) {
    char a[] = "abc", b[] = "defgh", r1[4], r2[6];
    memset(r1, '.', sizeof r1), memset(r2, '.', sizeof r2);
    iov_t sv[2], rv[2];
    SETIOV(&sv[0], a, 3), SETIOV(&sv[1], b, 5), SETIOV(&rv[0], r1, 4), SETIOV(&rv[1], r2, 6);
    Reply("0123456", 7);
    dev.info = 42;
    int info = 0;
    EXPECT_EQ(devctlv(kFakeDeviceFd, 0x1000, 2, 2, sv, rv, &info), EOK);
    const devctl_xfer &x = dev.request;  // calls, the transfer's header, info
    EXPECT_EQ(std::vector<uint32_t>({uint32_t(dev.calls), x.dcmd, x.send_len, x.recv_len,
                                     x.reserved, uint32_t(info)}),
              std::vector<uint32_t>({1, 0x1000, 8, 10, 0, 42}));
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(x.data), 8), "abcdefgh");
    EXPECT_EQ(std::string(r1, 4) + std::string(r2, 6), "0123456...");  // what the device sent
}

// devctl: one buffer sent and overwritten by the reply, never past its size.
TEST_F(Devctlv, DevctlNeverCopiesMoreThanTheCallersRoom) {
    char buf[16] = "qrstuvwxGGGGGGG";
    Reply(std::string(16, 'R'), 4000);  // a device that claims more than asked
    EXPECT_EQ(devctl(kFakeDeviceFd, 0x1000, buf, 8, nullptr), EOK);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(dev.request.data), 8), "qrstuvwx");
    EXPECT_EQ(std::string(buf), std::string(8, 'R') + "GGGGGGG");
}

// A device that claims a longer reply than it may give gets no more copied
// than the caller's room and one transfer hold, whichever is less: never
// bytes from beyond the transfer.
TEST_F(Devctlv, AClaimedReplyIsCappedByRoomAndTransfer) {
    const struct {
        size_t room;
        uint32_t claimed;
        size_t copied;
    } cases[] = {
        {100, 50, 50},
        {100, 4000, 100},
        {DEVCTL_XFER_MAX + 8, DEVCTL_XFER_MAX + 4, DEVCTL_XFER_MAX},
        {DEVCTL_XFER_MAX + 8, 6000, DEVCTL_XFER_MAX},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(c.room) + " " + std::to_string(c.claimed));
        std::string buf(DEVCTL_XFER_MAX + 16, 'G');
        Reply(std::string(DEVCTL_XFER_MAX, 'R'), c.claimed);
        iov_t rv;
        SETIOV(&rv, &buf[0], c.room);
        EXPECT_EQ(devctlv(kFakeDeviceFd, 0x1000, 0, 1, nullptr, &rv, nullptr), EOK);
        EXPECT_EQ(buf, std::string(c.copied, 'R') + std::string(buf.size() - c.copied, 'G'));
    }
}

TEST_F(Devctlv, ReturnsErrnoValuesNeverMinusOne) {
    char big[DEVCTL_XFER_MAX + 1] = {};
    iov_t sv;
    SETIOV(&sv, big, sizeof big);
    EXPECT_EQ(devctlv(kFakeDeviceFd, 0x1000, 1, 0, &sv, nullptr, nullptr), E2BIG);
    EXPECT_EQ(dev.calls, 0);  // refused before any ioctl
    SETIOV(&sv, big, DEVCTL_XFER_MAX);
    EXPECT_EQ(devctlv(kFakeDeviceFd, 0x1000, 1, 0, &sv, nullptr, nullptr), EOK);
    // A reply room larger than a transfer offers the device what fits, and
    // takes no more than that whatever the device claims.
    iov_t rv;
    SETIOV(&rv, big, sizeof big);
    dev.claimedLen = 6000;
    EXPECT_EQ(devctlv(kFakeDeviceFd, 0x1000, 0, 1, nullptr, &rv, nullptr), EOK);
    EXPECT_EQ(dev.request.recv_len, static_cast<uint32_t>(DEVCTL_XFER_MAX));

    SETIOV(&sv, big, 100);
    EXPECT_EQ(devctlv(kFakeDeviceFd, 0x1000, 1, 1, &sv, nullptr, nullptr), EINVAL);
    EXPECT_EQ(devctlv(-1, 0x1000, 1, 0, &sv, nullptr, nullptr), EBADF);

    // The device's own status comes back as the result, with its reply.
    dev.status = EIO;
    Reply("xy", 2);
    char r[2] = {};
    SETIOV(&rv, r, 2);
    EXPECT_EQ(devctlv(kFakeDeviceFd, 0x1000, 1, 1, &sv, &rv, nullptr), EIO);
    EXPECT_EQ(dev.request.send_len, 100u);
    EXPECT_EQ(std::string(r, 2), "xy");
}

}  // namespace

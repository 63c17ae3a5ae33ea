// SPDX-License-Identifier: Apache-2.0
// devctlv: gather, one DEVCTL_IOC_XFER ioctl, scatter, errno-valued results.
// The device is faked by interposing ioctl() for one pretend fd; every other
// fd goes to the kernel.
#include <devctl.h>

#include <errno.h>
#include <gtest/gtest.h>
#include <stdarg.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <string>

#include "devctl_xfer.h"

namespace {

constexpr int kFakeFd = 987;

struct FakeDevice {
    int calls = 0;
    devctl_xfer seen{};        // the request as it arrived
    std::string reply;         // bytes the device writes at data[0]
    uint32_t claimed_len = 0;  // recv_len it reports (may lie)
    int32_t status = EOK;
    int32_t info = 0;
} dev;

}  // namespace

extern "C" int ioctl(int fd, unsigned long request, ...) {
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    if (fd != kFakeFd) return static_cast<int>(syscall(SYS_ioctl, fd, request, arg));
    if (request != DEVCTL_IOC_XFER) {
        errno = ENOTTY;
        return -1;
    }
    auto *x = static_cast<devctl_xfer *>(arg);
    dev.calls++;
    dev.seen = *x;
    memcpy(x->data, dev.reply.data(), dev.reply.size());
    x->recv_len = dev.claimed_len;
    x->status = dev.status;
    x->info = dev.info;
    return 0;
}

namespace {

class Devctlv : public ::testing::Test {
  protected:
    void SetUp() override { dev = FakeDevice{}; }
};

TEST_F(Devctlv, GathersSendPartsAndScattersReply) {
    char a[] = "abc", b[] = "defgh", r1[4], r2[6];
    memset(r1, '.', sizeof r1), memset(r2, '.', sizeof r2);
    iov_t sv[2], rv[2];
    SETIOV(&sv[0], a, 3), SETIOV(&sv[1], b, 5), SETIOV(&rv[0], r1, 4), SETIOV(&rv[1], r2, 6);
    dev.reply = "0123456";
    dev.claimed_len = 7;
    dev.info = 42;
    int info = 0;
    EXPECT_EQ(devctlv(kFakeFd, 0x1000, 2, 2, sv, rv, &info), EOK);
    EXPECT_EQ(dev.calls, 1);
    EXPECT_EQ(dev.seen.dcmd, 0x1000u);
    EXPECT_EQ(dev.seen.send_len, 8u);
    EXPECT_EQ(dev.seen.recv_len, 10u);
    EXPECT_EQ(dev.seen.reserved, 0u);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(dev.seen.data), 8), "abcdefgh");
    EXPECT_EQ(std::string(r1, 4), "0123");
    EXPECT_EQ(std::string(r2, 6), "456...");  // only what the device sent
    EXPECT_EQ(info, 42);
}

// devctl: one buffer sent and overwritten by the reply, never past its size.
TEST_F(Devctlv, DevctlNeverCopiesMoreThanTheCallersRoom) {
    char buf[16] = "qrstuvwxGGGGGGG";
    dev.reply = std::string(16, 'R');
    dev.claimed_len = 4000;  // a device that claims more than asked
    EXPECT_EQ(devctl(kFakeFd, 0x1000, buf, 8, nullptr), EOK);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(dev.seen.data), 8), "qrstuvwx");
    EXPECT_EQ(std::string(buf), std::string(8, 'R') + "GGGGGGG");
}

TEST_F(Devctlv, ReturnsErrnoValuesNeverMinusOne) {
    char big[DEVCTL_XFER_MAX + 1] = {};
    iov_t sv;
    SETIOV(&sv, big, sizeof big);
    EXPECT_EQ(devctlv(kFakeFd, 0x1000, 1, 0, &sv, nullptr, nullptr), E2BIG);
    EXPECT_EQ(dev.calls, 0);  // refused before any ioctl
    // A reply room larger than a transfer offers the device what fits, and
    // takes no more than that whatever the device claims.
    iov_t rv;
    SETIOV(&rv, big, sizeof big);
    dev.claimed_len = 6000;
    EXPECT_EQ(devctlv(kFakeFd, 0x1000, 0, 1, nullptr, &rv, nullptr), EOK);
    EXPECT_EQ(dev.seen.recv_len, static_cast<uint32_t>(DEVCTL_XFER_MAX));

    SETIOV(&sv, big, 100);
    EXPECT_EQ(devctlv(kFakeFd, 0x1000, 1, 1, &sv, nullptr, nullptr), EINVAL);
    EXPECT_EQ(devctlv(-1, 0x1000, 1, 0, &sv, nullptr, nullptr), EBADF);
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    EXPECT_EQ(devctlv(fds[0], 0x1000, 1, 0, &sv, nullptr, nullptr), ENOTTY);
    close(fds[0]);
    close(fds[1]);

    // The device's own status comes back as the result, with its reply.
    dev.status = EIO;
    dev.reply = "xy";
    dev.claimed_len = 2;
    char r[2] = {};
    SETIOV(&rv, r, 2);
    EXPECT_EQ(devctlv(kFakeFd, 0x1000, 1, 1, &sv, &rv, nullptr), EIO);
    EXPECT_EQ(dev.seen.send_len, 100u);
}

}  // namespace

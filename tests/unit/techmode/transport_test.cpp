// SPDX-License-Identifier: Apache-2.0
// Tech-mode transport against a pretend device behind devctlv: the request
// on the wire and the checks on the reply. Locating the structure and
// decoding its fields run in every fetch (fetchers_test.cpp).
#include "techmode/techmode_transport.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "support/FakeDevice.h"
#include "tlv_test_util.h"

namespace {

class Transport : public ::testing::Test {
  protected:
    void SetUp() override { testsupport::Device() = testsupport::FakeDevice{}; }
};

// A reply holding an empty structure element of the given type.
std::vector<uint8_t> EmptyReply(uint16_t type) {
    return TlvBuilder().Open(0x2001).Open(type).Close().Close().bytes();
}

TEST_F(Transport, SendsOneRequestAndReturnsTheWholeReplyBuffer) {
    for (unsigned type = 0; type < kTechModeStructTypeCount; ++type) {
        SCOPED_TRACE(type);
        testsupport::Device().reply = EmptyReply(static_cast<uint16_t>(type));
        uint8_t *reply = nullptr;
        size_t replyBytes = 0;
        EXPECT_EQ(StdoutOf([&] {
                      reply = TLVTM_GetStructTlv(testsupport::kFakeDeviceFd, type, &replyBytes);
                  }),
                  "");
        ASSERT_NE(reply, nullptr);

        const devctl_xfer &x = testsupport::Device().request;
        EXPECT_EQ(x.dcmd, 0x1000u);
        EXPECT_EQ(x.send_len, 100u);
        std::vector<uint8_t> request = {0x01, 0x20, 0x02,          0x00, 0x05, 0x20,
                                        0x01, 0x00, uint8_t(type), 0,    0,    0};
        request.resize(100, 0);
        EXPECT_EQ(std::vector<uint8_t>(x.data, x.data + 100), request);
        EXPECT_EQ(x.recv_len, replyBytes);
        EXPECT_EQ(replyBytes, TLVTM_ReplyBufferBytes(type));
        // The reply as sent, then the zeros the buffer was cleared to.
        std::vector<uint8_t> expected = testsupport::Device().reply;
        expected.resize(replyBytes, 0);
        EXPECT_EQ(std::vector<uint8_t>(reply, reply + replyBytes), expected);
        free(reply);
    }
}

TEST_F(Transport, RejectsBadRepliesAndFreesThem) {
    struct {
        const char *name;
        unsigned type;
        int32_t status;
        std::vector<uint8_t> reply;
        int calls;  // of the device
    } cases[] = {
        {"invalid type", 25, 0, EmptyReply(25), 0},
        {"device error", 1, EIO, EmptyReply(1), 1},
        {"not a command reply", 1, 0, TlvBuilder().Open(0x2002).Open(1).Close().Close().bytes(), 1},
        {"another structure", 1, 0, EmptyReply(3), 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        testsupport::Device().reply = c.reply;
        testsupport::Device().status = c.status;
        uint8_t *reply = reinterpret_cast<uint8_t *>(1);
        StdoutOf([&] { reply = TLVTM_GetStructTlv(testsupport::kFakeDeviceFd, c.type, nullptr); });
        EXPECT_EQ(reply, nullptr);  // and nothing leaks (checked under ASan)
        EXPECT_EQ(testsupport::Device().calls, c.calls);
    }
}

}  // namespace

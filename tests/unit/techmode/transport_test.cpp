// Tech-mode transport against a pretend device behind devctlv: the request
// on the wire, the checks on the reply, locating the structure and decoding
// primitives.
#include "techmode/techmode_transport.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "fake_techmode.h"
#include "tlv_test_util.h"

namespace {

class Transport : public ::testing::Test {
  protected:
    void SetUp() override { g_fakeTechMode = FakeTechMode{}; }
};

// A reply holding an empty structure element of the given type.
std::vector<uint8_t> EmptyReply(uint16_t type) {
    return TlvBuilder().Open(0x2001).Open(type).Close().Close().bytes();
}

TEST_F(Transport, SendsOneRequestAndReturnsTheWholeReplyBuffer) {
    for (unsigned type = 0; type <= 24; ++type) {
        SCOPED_TRACE(type);
        g_fakeTechMode.reply = EmptyReply(static_cast<uint16_t>(type));
        uint8_t *reply = nullptr;
        size_t replyBytes = 0;
        EXPECT_EQ(StdoutOf([&] { reply = TLVTM_GetStructTlv(kFakeTechModeFd, type, &replyBytes); }),
                  "");
        ASSERT_NE(reply, nullptr);

        const devctl_xfer &x = g_fakeTechMode.request;
        EXPECT_EQ(x.dcmd, 0x1000u);
        EXPECT_EQ(x.send_len, 100u);
        std::vector<uint8_t> request = {0x01, 0x20, 0x02,          0x00, 0x05, 0x20,
                                        0x01, 0x00, uint8_t(type), 0,    0,    0};
        request.resize(100, 0);
        EXPECT_EQ(std::vector<uint8_t>(x.data, x.data + 100), request);
        EXPECT_EQ(x.recv_len, replyBytes);
        EXPECT_EQ(replyBytes, TLVTM_ReplyBufferBytes(type));
        // The reply as sent, then the zeros the buffer was cleared to.
        std::vector<uint8_t> expected = g_fakeTechMode.reply;
        expected.resize(replyBytes, 0);
        EXPECT_EQ(std::vector<uint8_t>(reply, reply + replyBytes), expected);
        free(reply);
    }
}

TEST_F(Transport, RefusesAnInvalidTypeBeforeTheDevice) {
    uint8_t *reply = nullptr;
    EXPECT_EQ(StdoutOf([&] { reply = TLVTM_GetStructTlv(kFakeTechModeFd, 25, nullptr); }),
              "TLVTM_GetStructTlv: Invalid structType parameter");
    EXPECT_EQ(reply, nullptr);
    EXPECT_EQ(g_fakeTechMode.calls, 0);
    EXPECT_EQ(TLVTM_ReplyBufferBytes(25), 0u);
}

TEST_F(Transport, RejectsBadRepliesAndFreesThem) {
    struct Case {
        const char *name;
        int fd;
        int32_t status;
        std::vector<uint8_t> reply;
        std::string out;
    };
    const std::string badType = "Error: Incorrect structure type received from RRM!\n";
    const Case cases[] = {
        {"device error", kFakeTechModeFd, EIO, EmptyReply(1), "Device error from RRM\n"},
        {"ioctl fails", -1, 0, EmptyReply(1), "Device error from RRM\n"},
        {"not a command reply", kFakeTechModeFd, 0,
         TlvBuilder().Open(0x2002).Open(1).Close().Close().bytes(),
         "Error: Unexpected tech mode command response from RRM\n"},
        {"another structure", kFakeTechModeFd, 0, EmptyReply(3), badType},
        {"command header only", kFakeTechModeFd, 0, TlvBuilder().Header(0x2001, 0).bytes(),
         badType},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        g_fakeTechMode.reply = c.reply;
        g_fakeTechMode.status = c.status;
        uint8_t *reply = reinterpret_cast<uint8_t *>(1);
        EXPECT_EQ(StdoutOf([&] { reply = TLVTM_GetStructTlv(c.fd, 1, nullptr); }), c.out);
        EXPECT_EQ(reply, nullptr);  // and nothing leaks (checked under ASan)
    }
}

TEST_F(Transport, FindStructTlvMarksTheDestinationAndStaysInTheReply) {
    struct Case {
        const char *name;
        std::vector<uint8_t> reply;
        unsigned type;
        int offset;  // -1 for none
        std::string out;
    };
    const Case cases[] = {
        {"found", TlvBuilder().Open(0x2001).Open(3).Primitive(0, 1).Close().Close().bytes(), 3, 4,
         ""},
        {"not a command reply", TlvBuilder().Open(0x2002).Open(3).Close().Close().bytes(), 3, -1,
         "TLV does not contain CMD_TECHMODE_GET_STRUCT_DATA_TAG!"},
        {"no such structure", EmptyReply(3), 5, -1, "TLV does not contain tag: 5"},
        {"structure runs past the reply",
         TlvBuilder().Header(0x2001, 3).Header(1, 40).Primitive(0, 7).bytes(), 1, -1,
         "TLV does not contain tag: 1"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        auto reply = ExactCopy(c.reply);
        uint8_t dest[2] = {0, 0};
        const uint8_t *found = nullptr;
        EXPECT_EQ(StdoutOf([&] {
                      found = TLVTM_FindStructTlv(dest, reply.get(), c.reply.size(), c.type);
                  }),
                  c.out);
        EXPECT_EQ(found == nullptr ? -1 : found - reply.get(), c.offset);
        EXPECT_EQ(dest[0], 0xFF);
        EXPECT_EQ(dest[1], 0);
    }
    auto reply = ExactCopy(EmptyReply(3));
    EXPECT_EQ(StdoutOf([&] { TLVTM_FindStructTlv(nullptr, reply.get(), 12, 3); }),
              "Input Data pointer is NULL!...exiting");
}

TEST_F(Transport, DecodeTlvPrimitiveCopiesOnlyKnownWidths) {
    const std::vector<uint8_t> bytes = TlvBuilder()
                                           .Open(1)
                                           .Primitive(0, 0xAB, 1)
                                           .Primitive(1, 0xBEEF, 2)
                                           .Primitive(2, 0xDEADBEEF)
                                           .Primitive(3, 0x99)
                                           .Value(4, "12345678", 8)
                                           .Close()
                                           .bytes();
    const std::string missing9 = "TLVTM_DecodeTlvPrimitive:TLV does not contain tag 9\n";
    struct Case {
        uint16_t tag;
        int width;
        std::vector<uint8_t> field;  // after the call, from 5A 5A 5A 5A 5A
        std::string out;
        std::string log;
    };
    const Case cases[] = {
        {0, 1, {0xAB, 0x5A, 0x5A, 0x5A, 0x5A}, "", ""},
        {1, 2, {0xEF, 0xBE, 0x5A, 0x5A, 0x5A}, "", ""},
        {2, 4, {0xEF, 0xBE, 0xAD, 0xDE, 0x5A}, "", ""},
        {3, 3, {0x5A, 0x5A, 0x5A, 0x5A, 0x5A}, "Invalid size 3\n", ""},
        {9, 1, {0x5A, 0x5A, 0x5A, 0x5A, 0x5A}, missing9, ""},
        {4,
         4,
         {0x5A, 0x5A, 0x5A, 0x5A, 0x5A},
         "TLVTM_DecodeTlvPrimitive:TLV does not contain tag 4\n",
         AssertionText(4, 2, 1)},
    };
    auto buf = ExactCopy(bytes);
    const uint8_t *end = buf.get() + bytes.size();
    for (const Case &c : cases) {
        SCOPED_TRACE(c.tag);
        std::vector<uint8_t> field(5, 0x5A);
        SlogCapture slog;
        EXPECT_EQ(StdoutOf([&] {
                      TLVTM_DecodeTlvPrimitive(field.data(), buf.get(), end, c.tag, c.width);
                  }),
                  c.out);
        EXPECT_EQ(field, c.field);
        EXPECT_EQ(slog.lines.empty() ? "" : slog.lines[0].text, c.log);
    }
    uint8_t field = 0;
    EXPECT_EQ(StdoutOf([&] { TLVTM_DecodeTlvPrimitive(nullptr, buf.get(), end, 0, 1); }),
              "Invalid src or dest pointer!\n");
    EXPECT_EQ(StdoutOf([&] { TLVTM_DecodeTlvPrimitive(&field, nullptr, end, 0, 1); }),
              "Invalid src or dest pointer!\n");
}

TEST(TechModeConnection, ReportsADeviceThatCannotBeOpened) {
    if (access("/dev/radio/cellular/techmode", F_OK) == 0)
        GTEST_SKIP() << "a tech-mode device exists on this machine";
    int fd = 0;
    EXPECT_EQ(StdoutOf([&] { fd = InitializeTechModeConnection(); }),
              "InitializeTechModeConnection: Failed to open device: "
              "/dev/radio/cellular/techmode (No such file or directory)");
    EXPECT_EQ(fd, -1);
}

}  // namespace

// SPDX-License-Identifier: Apache-2.0
// Tech-mode transport against a pretend device behind devctlv: the checks on
// the reply (the request on the wire is the one the simulator answers in the
// diag tests); and the code-to-text tables at their edges.
#include <errno.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <utility>
#include <vector>

#include "techmode/techmode_text.h"
#include "techmode/techmode_transport.h"

#include "support/FakeDevice.h"
#include "tlv_test_util.h"

namespace {

// A reply holding an empty structure element of the given type.
std::vector<uint8_t> EmptyReply(uint16_t type) {
    return TlvBuilder().Open(0x2001).Open(type).Close().Close().bytes();
}

TEST(Transport, RejectsBadRepliesAndFreesThem) {
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
        testsupport::Device() = testsupport::FakeDevice{};
        testsupport::Device().reply = c.reply;
        testsupport::Device().status = c.status;
        uint8_t *reply = reinterpret_cast<uint8_t *>(1);
        StdoutOf([&] { reply = TLVTM_GetStructTlv(testsupport::kFakeDeviceFd, c.type, nullptr); });
        EXPECT_EQ(reply, nullptr);  // and nothing leaks (checked under ASan)
        EXPECT_EQ(testsupport::Device().calls, c.calls);
    }
}

struct TableCase {
    const char *name;
    const char *(*lookup)(unsigned);
    std::vector<std::pair<unsigned, const char *>> rows;  // codes and texts, fallbacks included
};

// The edges of each kind of table: dense (a code past the end), dense then
// sparse (the gap between them), sparse with a far code, and the one
// fallback text of its own. The texts themselves show in the commands' tests.
// clang-format off
#define TABLE(lookup, ...) {#lookup, lookup, {__VA_ARGS__}}
const TableCase kTables[] = {
    TABLE(RrcStateText, {0, "CELL_DCH "}, {6, "NULL"}, {7, "data error!"}),
    TABLE(RrStateText, {4, "unknown"}, {20, "Two phase access"}, {21, "unknown"},
          {30, "Passive State"}, {119, "unknown"}, {122, "Packet Dedicated Concurrent"},
          {123, "unknown"}),
    TABLE(RatText, {3, "unknown"}, {4, "data error!"}, {255, "data error!"}),
    TABLE(CellTypeText, {255, "UNKNOWN"}, {2, "data error!"}),
    TABLE(CodecText, {13, "OHR_AMR_WB"}, {99, "NOT APPLICABLE"}, {14, "data error!"}),
    TABLE(OnOffText, {1, "ON"}, {2, "data read eorr"}, {0xFFFFFFFFu, "data read eorr"}),
};
// clang-format on
#undef TABLE

TEST(TextTables, CodesAndFallbacks) {
    for (const TableCase &t : kTables) {
        for (const auto &[code, text] : t.rows) {
            SCOPED_TRACE(std::string(t.name) + "(" + std::to_string(code) + ")");
            EXPECT_STREQ(t.lookup(code), text);
        }
    }
}

TEST(DigitFormatters, PackedDigitsAndHex) {
    const uint8_t imsi[9] = {0x21, 0x43, 0x65, 0x87, 0x09, 0x21, 0x43, 0x65, 0xF7};
    const uint8_t imeisv[10] = {0xEE, 0x3A, 0x21, 0x43, 0x65, 0x87, 0x09, 0x21, 0x43, 0xF5};
    const uint8_t tmsi[4] = {0x01, 0xAB, 0x00, 0xFF};
    char text[32];

    FormatImsiDigits(imsi, text, sizeof text);
    EXPECT_STREQ(text, "12345678901234567f");
    FormatImeiDigits(imeisv, text, sizeof text);
    EXPECT_STREQ(text, "3123456789012345f");
    FormatTmsiHex(tmsi, text, sizeof text);
    EXPECT_STREQ(text, "01AB00FF");

    // Exactly the advertised room is enough; less keeps the leading digits.
    char exact[kImsiTextBytes];
    FormatImsiDigits(imsi, exact, sizeof exact);
    EXPECT_STREQ(exact, "12345678901234567f");
    char small[5];
    FormatTmsiHex(tmsi, small, sizeof small);
    EXPECT_STREQ(small, "01AB");
}

}  // namespace

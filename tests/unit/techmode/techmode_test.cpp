// SPDX-License-Identifier: Apache-2.0
// The tech-mode layer against a pretend device: fetchers on bad elements,
// the transport's reply checks, text tables and digit formatters.
#include <errno.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <numeric>
#include <string>
#include <utility>
#include <vector>

#include "support/FakeDevice.h"
#include "techmode/techmode_structs.h"
#include "techmode/techmode_text.h"
#include "techmode/techmode_transport.h"
#include "tlv_test_util.h"

namespace {

using namespace testsupport;
using Fetch = int (*)(int, void *);

#define FETCH(fetcher, Record) [](int fd, void *d) { return fetcher(fd, static_cast<Record *>(d)); }

// A reply whose structure element of type holds the elements of body.
std::vector<uint8_t> StructReply(uint16_t type, const TlvBuilder &body) {
    return TlvBuilder().Open(0x2001).Open(type).Raw(body.bytes()).Close().Close().bytes();
}

// n bytes of 0x5A with the given runs written at their offsets.
std::vector<uint8_t> Bytes(size_t n, std::vector<std::pair<size_t, std::vector<uint8_t>>> runs) {
    std::vector<uint8_t> out(n, 0x5A);
    for (const auto &r : runs) std::copy(r.second.begin(), r.second.end(), out.begin() + r.first);
    return out;
}
std::vector<uint8_t> Series(size_t n, uint8_t first) {
    std::vector<uint8_t> s(n);
    std::iota(s.begin(), s.end(), first);
    return s;
}
// Fields missing or malformed keep their content; a block that cannot be
// copied and an identity reply without its structure fail the fetch and
// leave the record as it was. IdentityData: IMEISV at 0, IMSI at 10, TMSI
// at 19, P-TMSI at 23, SRNC id at 28.
TEST(Fetchers, MissingAndMalformedElements) {
    using B = TlvBuilder;
    const std::vector<uint8_t> block(16, 0x77);
    const Fetch basic = FETCH(getDtaBasicDta, BasicData),
                hspa = FETCH(getDtaHspaChannelInfoDta, HspaChannelInfo),
                identity = FETCH(getDtaIdentityDta, IdentityData);
    B six, odd, other;  // structure bodies
    for (int t = 0; t < 6; ++t) six.Primitive(uint16_t(t), uint32_t(t + 1), 1);
    six.Header(6, 0);
    odd.Open(0).Value(0, "\x41zzzzzz", 8).Primitive(0, 0x42, 1).Header(0, 0).Primitive(0, 0x43, 1);
    odd.Close().ByteMember(1, 10, 0x20).Primitive(6, 0xFFFF, 2);
    other.ByteMember(0, 10, 0x10).Open(1).Primitive(4, 1).Close().ByteMember(2, 0, 0);
    other.Primitive(6, 0x1234, 2);
    struct {
        const char *name;
        Fetch fetch;
        std::vector<uint8_t> reply;
        int result;
        std::vector<uint8_t> record;  // the leading record bytes after the fetch
    } cases[] = {
        {"no reply", basic, {}, -1, Bytes(8, {})},
        // An element without a value is no field: nothing is read past it.
        {"basic with a tag 6 of length 0", basic, StructReply(1, six), 0,
         Bytes(8, {{0, {1, 2, 3, 4, 5, 6}}})},
        // The first field, not found, keeps the mark 0xFF.
        {"basic structure running past the reply", basic,
         B().Header(0x2001, 2).Header(1, 100).Primitive(0, 9, 1).bytes(), 0,
         Bytes(8, {{0, {0xFF}}})},
        {"no block", hspa, StructReply(11, B()), -1, Bytes(16, {})},
        {"short block", hspa, StructReply(11, B().Value(11, block.data(), 12)), -1, Bytes(16, {})},
        {"HSPA structure running past the reply", hspa,
         B().Header(0x2001, 5).Header(11, 6).Raw(block).bytes(), -1, Bytes(16, {})},
        // IMEISV elements step by their own length, and one without a value
        // ends the copy; IMSI bytes beyond its nine are dropped, not written
        // into the TMSI that follows.
        {"odd IMEISV elements, too many IMSI bytes, no TMSI", identity, StructReply(2, odd), 0,
         Bytes(30, {{0, {0x41, 0x42}}, {10, Series(9, 0x20)}, {28, {0xFF, 0xFF}}})},
        {"no P-TMSI, empty TMSI, IMSI of another type", identity, StructReply(2, other), 0,
         Bytes(30, {{0, Series(10, 0x10)}, {28, {0x34, 0x12}}})},
        {"member running past the reply", identity,
         StructReply(2, B().ByteMember(0, 10, 0x10).Header(1, 300)), 0,
         Bytes(30, {{0, Series(10, 0x10)}})},
        {"no identity structure", identity, B().Header(0x2001, 1).Header(2, 70).bytes(), -1,
         Bytes(30, {})},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Device() = FakeDevice{};
        Device().reply = c.reply;
        alignas(8) uint8_t record[32];
        memset(record, 0x5A, sizeof record);
        int result = -2;
        StdoutOf([&] { result = c.fetch(kFakeDeviceFd, record); });
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(std::vector<uint8_t>(record, record + c.record.size()), c.record);
    }
}

TEST(Transport, RejectsBadRepliesAndFreesThem) {
    struct {
        const char *name;
        unsigned type;
        int32_t status;
        std::vector<uint8_t> reply;
        int calls;  // of the device
    } cases[] = {
        {"invalid type", 29, 0, StructReply(29, TlvBuilder()), 0},
        {"device error", 1, EIO, StructReply(1, TlvBuilder()), 1},
        {"not a command reply", 1, 0, TlvBuilder().Open(0x2002).Open(1).Close().Close().bytes(), 1},
        {"another structure", 1, 0, StructReply(3, TlvBuilder()), 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Device() = FakeDevice{};
        Device().reply = c.reply;
        Device().status = c.status;
        uint8_t *reply = reinterpret_cast<uint8_t *>(1);
        StdoutOf([&] { reply = TLVTM_GetStructTlv(kFakeDeviceFd, c.type, nullptr); });
        EXPECT_EQ(reply, nullptr);  // and nothing leaks (checked under ASan)
        EXPECT_EQ(Device().calls, c.calls);
    }
}

// The LTE serving cell arrives as fields, tag by tag: each row is one tag,
// its width on the wire and where it lands. A full reply fills every field;
// a reply without the tag leaves that field "not reported" (the record's
// own starting value) and the others filled.
TEST(Fetchers, LteServingCellFieldsByTag) {
    struct Row {
        uint16_t tag;
        size_t width;
        uint32_t sent;
        int64_t (*read)(const LteServingCell &);
        int64_t want, notReported;
    };
#define F(m) [](const LteServingCell &c) -> int64_t { return c.m; }
    const int64_t level = kTechModeLevelNotReported;
    const Row rows[] = {
        {0, 1, 1, F(camped), 1, 0xFF},
        {1, 4, 262143, F(earfcn), 262143, 0xFFFFFFFF},
        {2, 2, 503, F(pci), 503, 0xFFFF},
        {3, 2, 0xFFFE, F(tac), 0xFFFE, 0xFFFF},
        {4, 4, 0x0FFFFFFF, F(cell_id), 0x0FFFFFFF, 0xFFFFFFFF},
        {5, 2, 310, F(mcc), 310, 0xFFFF},
        {6, 2, 260, F(mnc), 260, 0xFFFF},
        {7, 2, 66, F(band), 66, 0xFFFF},
        {8, 1, 5, F(dl_bandwidth), 5, 0xFF},
        {9, 2, 0xFF42, F(rsrp), -190, level},  // -95 dBm
        {10, 2, 0xFFEB, F(rsrq), -21, level},  // -10.5 dB
        {11, 2, 0xFF7E, F(rssi), -130, level},
        {12, 2, 0xFFF7, F(sinr), -9, level},
        {13, 1, 15, F(cqi), 15, 0xFF},
        {14, 2, 1282, F(timing_advance), 1282, 0xFFFF},
        {15, 1, 1, F(rrc_state), 1, 0xFF},
        {16, 1, 6, F(emm_state), 6, 0xFF},
        {17, 1, 22, F(emm_cause), 22, 0xFF},
    };
#undef F
    TlvBuilder all;
    for (const Row &r : rows) all.Primitive(r.tag, r.sent, r.width);
    Device() = FakeDevice{};
    Device().reply = StructReply(25, all);
    LteServingCell full;
    EXPECT_EQ(StdoutOf([&] { EXPECT_EQ(getDtaLteServingCellDta(kFakeDeviceFd, &full), 0); }),
              "Getting LTE Serving Cell Data Structure\nReceived LTE Serving Cell Data "
              "structure\n");
    for (const Row &r : rows) {
        SCOPED_TRACE(r.tag);
        EXPECT_EQ(r.read(full), r.want);
        TlvBuilder without;
        for (const Row &o : rows)
            if (o.tag != r.tag) without.Primitive(o.tag, o.sent, o.width);
        Device() = FakeDevice{};
        Device().reply = StructReply(25, without);
        LteServingCell partial;
        StdoutOf([&] { EXPECT_EQ(getDtaLteServingCellDta(kFakeDeviceFd, &partial), 0); });
        for (const Row &o : rows)
            EXPECT_EQ(o.read(partial), o.tag == r.tag ? o.notReported : o.want);
    }
}

// The LTE lists and the NR cells arrive as one block each, copied byte for
// byte when whole and refused (the record untouched) when short or missing.
TEST(Fetchers, LteAndNrBlocks) {
    const struct {
        uint16_t type;
        size_t bytes;
        Fetch fetch;
    } blocks[] = {
        {26, sizeof(LteNeighbourCells), FETCH(getDtaLteNeighbourCellsDta, LteNeighbourCells)},
        {27, sizeof(LteSecondaryCells), FETCH(getDtaLteSecondaryCellsDta, LteSecondaryCells)},
        {28, sizeof(NrCellInfo), FETCH(getDtaNrCellInfoDta, NrCellInfo)},
    };
    for (const auto &b : blocks) {
        SCOPED_TRACE(b.type);
        const std::vector<uint8_t> block = Series(b.bytes, 1);
        for (size_t sent : {b.bytes, b.bytes - 4, size_t(0)}) {  // one word short
            Device() = FakeDevice{};
            TlvBuilder body;
            if (sent > 0) body.Value(b.type, block.data(), sent);
            Device().reply = StructReply(b.type, body);
            alignas(8) uint8_t record[260];
            memset(record, 0x5A, sizeof record);
            int result = -2;
            StdoutOf([&] { result = b.fetch(kFakeDeviceFd, record); });
            EXPECT_EQ(result, sent == b.bytes ? 0 : -1) << sent;
            EXPECT_EQ(std::vector<uint8_t>(record, record + b.bytes),
                      sent == b.bytes ? block : std::vector<uint8_t>(b.bytes, 0x5A))
                << sent;
        }
    }
}

// The edges of each kind of table: dense (a code past the end), dense then
// sparse (the gap between them), sparse with a far code, and the one
// fallback text of its own. The texts themselves show in the commands' tests.
TEST(TextTables, CodesAndFallbacks) {
    const struct {
        const char *name;
        const char *(*lookup)(unsigned);
        std::vector<std::pair<unsigned, const char *>> rows;  // codes and texts
    } tables[] = {
        {"RrcState", RrcStateText, {{0, "CELL_DCH "}, {6, "NULL"}, {7, "data error!"}}},
        {"RrState", RrStateText, {{4, "unknown"}, {20, "Two phase access"}, {21, "unknown"}}},
        {"RrState", RrStateText, {{30, "Passive State"}, {119, "unknown"}, {123, "unknown"}}},
        {"RrState", RrStateText, {{122, "Packet Dedicated Concurrent"}}},
        {"Rat", RatText, {{3, "unknown"}, {4, "data error!"}, {255, "data error!"}}},
        {"CellType", CellTypeText, {{255, "UNKNOWN"}, {2, "data error!"}}},
        {"Codec", CodecText, {{13, "OHR_AMR_WB"}, {99, "NOT APPLICABLE"}, {14, "data error!"}}},
        {"OnOff", OnOffText, {{1, "ON"}, {2, "data read eorr"}, {0xFFFFFFFFu, "data read eorr"}}},
        {"EmmState", EmmStateText, {{3, "EMM-REGISTERED"}, {6, "EMM-SERVICE-REQUEST-INITIATED"}}},
        {"EmmState", EmmStateText, {{7, "data error!"}}},
        {"LteBandwidth", LteBandwidthText, {{0, "1.4MHz"}, {5, "20MHz"}, {6, "data error!"}}},
        {"NrScs", NrScsText, {{0, "15kHz"}, {4, "240kHz"}, {5, "data error!"}}},
        {"NrMode", NrModeText, {{2, "NSA"}, {3, "data error!"}}},
    };
    for (const auto &t : tables)
        for (const auto &[code, text] : t.rows)
            EXPECT_STREQ(t.lookup(code), text) << t.name << " " << code;
}

// Exactly the advertised room is enough; less keeps the leading digits. The
// IMEI's first digit is the high half of its second byte (the low half of
// the first is the identity type).
TEST(DigitFormatters, StayInTheirBuffer) {
    const uint8_t imsi[9] = {0x21, 0x43, 0x65, 0x87, 0x09, 0x21, 0x43, 0x65, 0xF7};
    const uint8_t imeisv[10] = {0xEE, 0x3A, 0x21, 0x43, 0x65, 0x87, 0x09, 0x21, 0x43, 0xF5};
    const uint8_t tmsi[4] = {0x01, 0xAB, 0x00, 0xFF};
    char exact[kImsiTextBytes], small[5], imei[32];
    FormatImsiDigits(imsi, exact, sizeof exact);
    EXPECT_STREQ(exact, "12345678901234567f");
    FormatImeiDigits(imeisv, imei, sizeof imei);
    EXPECT_STREQ(imei, "3123456789012345f");
    FormatTmsiHex(tmsi, small, sizeof small);
    EXPECT_STREQ(small, "01AB");
}

}  // namespace

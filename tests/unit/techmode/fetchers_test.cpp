// Structure fetchers against a pretend device: every fetcher on a good reply,
// on a device error, and the decoding rules for missing, over-long, short and
// overrunning elements and for the identity members.
#include "techmode/techmode_structs.h"

#include <errno.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "fake_techmode.h"
#include "techmode/techmode_transport.h"
#include "tlv_test_util.h"

namespace {

using Fetch = std::function<int(int, void *)>;

struct FetcherCase {
    Fetch fetch;
    uint16_t type;
    size_t recordBytes;
    std::string getting;   // the name in "Getting <name> Data Structure"
    std::string received;  // what follows "Received "
    // Sent as fields: the width of each tag, the record holding the fields in
    // tag order. Empty for a block.
    std::vector<int> widths = {};
};

#define FETCH(fetcher, Record) [](int fd, void *d) { return fetcher(fd, static_cast<Record *>(d)); }
#define CASE(fetcher, Record, type) FETCH(fetcher, Record), type, sizeof(Record)

const std::vector<FetcherCase> &Cases() {
    // clang-format off
    static const std::vector<FetcherCase> cases = {
        {CASE(getDtaBasicDta, BasicData, 1), "Basic", "Basic Data structure", {1, 1, 1, 1, 1, 1, 2}},
        {CASE(getDtaRadioStatDta, RadioStatData, 3), "Radio Stat", "radio statistic data structure",
         {1, 1, 1, 1, 1, 1, 2, 2, 2, 2, 2}},
        {CASE(getDta3GServingCellDta, ServingCell3G, 4), "3G Serving Cell",
         "3G Serving Cell Data structure", {2, 2, 4, 1, 1, 1, 1, 1, 1}},
        {CASE(getDta2GServingCellDta, ServingCell2G, 5), "2G Serving Cell",
         "2G Serving Cell Data structure", {1, 1, 2, 2, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1}},
        {CASE(getDta2GBearerInfoDta, BearerInfo2G, 7), "2G Bearer Info",
         "2G Bearer Info Data structure", {4, 4, 4, 4, 1, 1, 2, 1, 1}},
        {CASE(getDtaMobilityDta, MobilityData, 8), "Mobility", "Mobility Data structure",
         {1, 1, 2, 2, 2, 1, 1, 1}},
        {CASE(getDtaDedicatedChannelPowerDta, DedicatedChannelPower, 9), "Dedicated Channel Power",
         "Dedicated Channel Power Data structure", {1, 1, 1}},
        {CASE(getDta3GBearerInfoDta, BearerInfo3G, 6), "3G Bearer Info", "3G Bearer Info Data structure"},
        {CASE(getDtaInterRatMeasurementsInfoDta, InterRatMeasurementsInfo, 10),
         "Inter Rat Measurements Info", "Inter Rat Measurements Info Data structure"},
        {CASE(getDtaHspaChannelInfoDta, HspaChannelInfo, 11), "HSPA Channel Info",
         "HSPA Channel Info Data structure"},
        {CASE(getDta3GRadioAccessInfoDta, RadioAccessInfo3G, 12), "3G Radio Access Info",
         "3G Radio Access Info Data structure"},
        {CASE(getDtaSmCcCauseDta, SmCcCause, 13), "SM/CC Cause", "SM/CC Cause Data structure"},
        {CASE(getDtaPdpContextInfoDta, PdpContextInfo, 14), "PDP Context Info",
         "PDP Context Info Data structure"},
        {CASE(getDta3GIntraRatNeighbourCellMeasInfoDta, IntraRatNeighbourCellMeasInfo3G, 16),
         "3G Intra Rat Neighbour Cell Measurement Info",
         "3G Intra RAT Neighbor Cell Measurement Info Data structure"},
        {CASE(getDta2GIdleNeighborCellsInfoDta, IdleNeighborCellsInfo2G, 17),
         "2G Idle Neighbor Cells Info", "2G Idle Neighbor Cells Info Data structure"},
        {CASE(getDta2GDedicatedMeasurementDta, DedicatedMeasurementInfo2G, 18),
         "2G Dedicated Measurement", "2G Dedicated Measurement Info Data structure"},
        {CASE(getDtaActiveSetInfoDta, ActiveSetInfo, 19), "Active Set Info",
         "Active Set Info Data structure"},
        {CASE(getDtaMonitoredSetInfoDta, MonitoredSetInfo, 20), "Monitored Set Info",
         "Monitored Set Info Data structure"},
        {CASE(getDtaHspaInterRatMeasDta, HspaInterRatMeas, 22), "HSPA Inter RAT Meas",
         "HSPA Inter RAT Measurement Data structure"},
        {CASE(getDtaBatteryTemperatureDta, BatteryTemperature, 23), "Battery Temperature",
         "Battery Temperature Data structure"},
    };
    // clang-format on
    return cases;
}

// A distinct value for each tag, width bytes wide.
uint64_t TagValue(int tag, int width) {
    uint64_t v = 0;
    for (int k = 0; k < width; ++k) v |= uint64_t((0x21 + 13 * tag + k) & 0xFF) << (8 * k);
    return v;
}

std::vector<uint8_t> Bytes(const void *p, size_t n) {
    return std::vector<uint8_t>(static_cast<const uint8_t *>(p),
                                static_cast<const uint8_t *>(p) + n);
}

std::vector<uint8_t> BlockPattern(size_t n) {
    std::vector<uint8_t> b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i * 7 + 3);
    return b;
}

// The record a good reply fills: a block byte for byte, or each tag's value
// at the next offset aligned to its width, 0x5A elsewhere.
std::vector<uint8_t> ExpectedRecord(const FetcherCase &c) {
    if (c.widths.empty()) return BlockPattern(c.recordBytes);
    std::vector<uint8_t> r(c.recordBytes, 0x5A);
    size_t off = 0;
    for (size_t tag = 0; tag < c.widths.size(); ++tag) {
        const size_t width = size_t(c.widths[tag]);
        off = (off + width - 1) / width * width;
        const uint64_t v = TagValue(int(tag), int(width));
        memcpy(&r[off], &v, width);  // little-endian, as the device sends it
        off += width;
    }
    return r;
}

// The full reply a modem sends for a case.
std::vector<uint8_t> GoodReply(const FetcherCase &c) {
    TlvBuilder b;
    b.Open(0x2001).Open(c.type);
    if (c.widths.empty()) {
        const auto block = BlockPattern(c.recordBytes);
        b.Value(c.type, block.data(), block.size());
    }
    for (size_t tag = 0; tag < c.widths.size(); ++tag) {
        // Bytes of the word beyond the width are junk that must not be copied.
        uint64_t word = TagValue(int(tag), c.widths[tag]) | (0xEEEEEEEEull << (8 * c.widths[tag]));
        b.Primitive(uint16_t(tag), uint32_t(word));
    }
    return b.Close().Close().bytes();
}

class Fetchers : public ::testing::Test {
  protected:
    void SetUp() override {
        g_fakeTechMode = FakeTechMode{};
        memset(record, 0x5A, sizeof record);
    }
    // Runs fetch on the fake device; returns its standard output.
    std::string Run(const Fetch &fetch, int *result) {
        return StdoutOf([&] { *result = fetch(kFakeTechModeFd, record); });
    }
    bool Untouched(size_t from = 0) const {
        return std::all_of(record + from, record + sizeof record,
                           [](uint8_t b) { return b == 0x5A; });
    }
    alignas(8) uint8_t record[1024];
};

TEST_F(Fetchers, EveryStructureDecodesAGoodReplyAndLeavesTheRecordOnADeviceError) {
    for (const FetcherCase &c : Cases()) {
        SCOPED_TRACE(c.getting);
        SetUp();
        g_fakeTechMode.reply = GoodReply(c);
        int result = -2;
        const std::string getting = "Getting " + c.getting + " Data Structure\n";
        EXPECT_EQ(Run(c.fetch, &result), getting + "Received " + c.received + "\n");
        EXPECT_EQ(result, 0);
        // The reply buffer is exactly the size of the full reply.
        EXPECT_EQ(g_fakeTechMode.request.recv_len, g_fakeTechMode.reply.size());
        EXPECT_EQ(Bytes(record, c.recordBytes), ExpectedRecord(c));
        EXPECT_TRUE(Untouched(c.recordBytes));

        SetUp();
        g_fakeTechMode.status = EIO;
        EXPECT_EQ(Run(c.fetch, &result), getting + "Device error from RRM\n" +
                                             "Could not successfully retrieve " + c.received +
                                             "\n");
        EXPECT_EQ(result, -1);
        EXPECT_TRUE(Untouched());
    }
}

// A reply whose structure element holds what body adds.
std::vector<uint8_t> StructReply(uint16_t type, const std::function<void(TlvBuilder &)> &body) {
    TlvBuilder b;
    b.Open(0x2001).Open(type);
    body(b);
    return b.Close().Close().bytes();
}

// The lines of primitive tags that were not found.
std::string NoTags(int from, int to) {
    std::string out;
    for (int tag = from; tag <= to; ++tag)
        out += "TLVTM_DecodeTlvPrimitive:TLV does not contain tag " + std::to_string(tag) + "\n";
    return out;
}

TEST_F(Fetchers, FieldsThatAreMissingOrMalformedKeepTheirContent) {
    const std::string basic = "Getting Basic Data Structure\nReceived Basic Data structure\n";
    std::string invalid7;
    for (int i = 0; i < 7; ++i) invalid7 += "Invalid src or dest pointer!\n";
    struct {
        const char *name;
        std::vector<uint8_t> reply;
        std::string out;
        std::vector<uint8_t> record;  // leading record bytes after the fetch
        std::string log;
    } cases[] = {
        {"no tag 6",
         StructReply(1,
                     [](TlvBuilder &b) {
                         for (int t = 0; t < 6; ++t) b.Primitive(t, t + 1, 1);
                     }),
         basic + NoTags(6, 6),
         {1, 2, 3, 4, 5, 6, 0x5A, 0x5A},
         ""},
        // The first field, not found, keeps the mark 0xFF.
        {"structure running past the reply",
         TlvBuilder().Header(0x2001, 2).Header(1, 100).Primitive(0, 9, 1).bytes(),
         basic + "TLV does not contain tag: 1" + invalid7,
         {0xFF, 0x5A},
         ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        g_fakeTechMode.reply = c.reply;
        SlogCapture slog;
        int result = -2;
        EXPECT_EQ(Run(FETCH(getDtaBasicDta, BasicData), &result), c.out);
        EXPECT_EQ(result, 0);
        EXPECT_EQ(Bytes(record, c.record.size()), c.record);
        EXPECT_EQ(slog.First(), c.log);
    }
}

TEST_F(Fetchers, ABlockThatCannotBeCopiedFailsTheFetch) {
    const std::string lines =
        "Getting HSPA Channel Info Data Structure\nReceived HSPA Channel Info Data structure\n";
    const std::string failed = "Could not successfully retrieve HSPA Channel Info Data structure\n";
    const auto block = BlockPattern(16);
    struct {
        const char *name;
        std::vector<uint8_t> reply;
        std::string out;
    } cases[] = {
        {"no block", StructReply(11, [](TlvBuilder &) {}), lines + failed},
        {"short block", StructReply(11, [&](TlvBuilder &b) { b.Value(11, block.data(), 12); }),
         lines + failed},
        {"block running past the reply",
         StructReply(11, [&](TlvBuilder &b) { b.Header(11, 5).Raw(block); }), lines + failed},
        {"structure running past the reply",
         TlvBuilder().Header(0x2001, 5).Header(11, 6).Raw(block).bytes(),
         lines + "TLV does not contain tag: 11" + failed},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        g_fakeTechMode.reply = c.reply;
        int result = 0;
        EXPECT_EQ(Run(FETCH(getDtaHspaChannelInfoDta, HspaChannelInfo), &result), c.out);
        EXPECT_EQ(result, -1);
        EXPECT_TRUE(Untouched());
    }
}

std::vector<uint8_t> Series(size_t n, uint8_t first) {
    std::vector<uint8_t> b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(first + i);
    return b;
}
template <size_t N>
void SetSeries(uint8_t (&field)[N], uint8_t first) {
    const auto s = Series(N, first);
    std::copy(s.begin(), s.end(), field);
}

TEST_F(Fetchers, IdentityMembers) {
    const std::string lines = "Getting Identity Data Structure\nReceived identity data structure\n";
    const std::string missing = "Invalid input pointer.";
    struct {
        const char *name;
        std::vector<uint8_t> reply;
        std::string out;
        int result;
        std::function<void(IdentityData &)> expect;  // edits a record of 0x5A bytes
    } cases[] = {
        {"all members",
         StructReply(2,
                     [](TlvBuilder &b) {
                         b.ByteMember(0, Series(10, 0x10)).ByteMember(1, Series(9, 0x20));
                         b.ByteMember(2, Series(4, 0x30)).ByteMember(3, Series(4, 0x40));
                         b.Primitive(6, 0xFFFF, 2);
                     }),
         lines, 0,
         [](IdentityData &e) {
             SetSeries(e.imeisv, 0x10), SetSeries(e.imsi, 0x20), SetSeries(e.tmsi, 0x30);
             SetSeries(e.ptmsi, 0x40), e.srnc_id = 0xFFFF;
         }},
        {"too many IMSI bytes",
         StructReply(2,
                     [](TlvBuilder &b) {
                         b.ByteMember(1, Series(12, 0x20)).ByteMember(2, Series(4, 0x30));
                         b.Primitive(6, 7, 2);
                     }),
         lines + missing +
             "Too Many byte primitive TLV's in array member TLV, extra TLVs ingored." + missing,
         0,
         [](IdentityData &e) {
             e.imeisv[0] = 0xFF, SetSeries(e.imsi, 0x20), SetSeries(e.tmsi, 0x30), e.srnc_id = 7;
         }},
        {"no P-TMSI, empty TMSI, IMSI of another type",
         StructReply(2,
                     [](TlvBuilder &b) {
                         b.ByteMember(0, Series(10, 0x10)).Open(1).Primitive(4, 1).Close();
                         b.ByteMember(2, {}).Primitive(6, 0x1234, 2);
                     }),
         lines + "No T_TLV_TECHMODE_PRIMITIVE_BYTE_TAG found!" + missing, 0,
         [](IdentityData &e) { SetSeries(e.imeisv, 0x10), e.srnc_id = 0x1234; }},
        {"member running past the reply",
         StructReply(2, [](TlvBuilder &b) { b.ByteMember(0, Series(10, 0x10)).Header(1, 300); }),
         lines + missing + missing + missing + NoTags(6, 6), 0,
         [](IdentityData &e) { SetSeries(e.imeisv, 0x10); }},
        {"no structure", TlvBuilder().Header(0x2001, 1).Header(2, 70).bytes(),
         lines + "TLV does not contain tag: 2" + missing + missing + missing + missing +
             "Invalid src or dest pointer!\nCould not successfully retrieve identity data "
             "structure\n",
         -1, [](IdentityData &) {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        g_fakeTechMode.reply = c.reply;
        int result = -2;
        EXPECT_EQ(Run(FETCH(getDtaIdentityDta, IdentityData), &result), c.out);
        EXPECT_EQ(result, c.result);
        if (&c == &cases[0]) {  // the full reply fills the reply buffer exactly
            EXPECT_EQ(g_fakeTechMode.request.recv_len, g_fakeTechMode.reply.size());
        }
        IdentityData expected;
        memset(&expected, 0x5A, sizeof expected);
        c.expect(expected);
        EXPECT_EQ(Bytes(record, sizeof expected), Bytes(&expected, sizeof expected));
    }
}

TEST(ByteArrayMember, StepsByEachElementsOwnLengthWithinTheRoom) {
    const std::vector<uint8_t> member = TlvBuilder()
                                            .Open(0)
                                            .Value(0, "\x41zzzzzz", 8)
                                            .Primitive(0, 0x42, 1)
                                            .Header(0, 0)
                                            .Primitive(0, 0x43, 1)
                                            .Close()
                                            .bytes();
    auto buf = ExactCopy(member);
    const uint8_t *end = buf.get() + member.size();
    uint8_t out[4] = {0, 0, 0, 0};
    // Length 8 words, so 4 elements counted; the one without a value ends the copy.
    EXPECT_EQ(StdoutOf([&] { TLVTM_DecodeByteArrayMember(out, buf.get(), end, 4); }), "");
    EXPECT_EQ(Bytes(out, 4), (std::vector<uint8_t>{0x41, 0x42, 0, 0}));
    // More elements than room: only the first maxCount bytes are written.
    uint8_t room[2] = {0, 0};
    EXPECT_EQ(StdoutOf([&] { TLVTM_DecodeByteArrayMember(room, buf.get(), end, 1); }),
              "Too Many byte primitive TLV's in array member TLV, extra TLVs ingored.");
    EXPECT_EQ(Bytes(room, 2), (std::vector<uint8_t>{0x41, 0}));
    EXPECT_EQ(StdoutOf([&] { TLVTM_DecodeByteArrayMember(nullptr, buf.get(), end, 4); }),
              "Invalid input pointer.");
}

}  // namespace

// SPDX-License-Identifier: Apache-2.0
// techmode-mm's mapping table: a modem's reading becomes the structures the
// daemon's own fetchers decode (through the fake device, with the shared
// encoders), fields left out stay untouched in the daemon's record, and
// every value from ModemManager that is out of range, malformed or too long
// is left out instead of sent.
#include <errno.h>
#include <gtest/gtest.h>
#include <math.h>
#include <string.h>

#include <functional>
#include <random>

#include "FakeTechmode.h"
#include "Mapping.h"
#include "Replies.h"
#include "techmode/techmode_structs.h"

namespace {

using mm::CellReading;
using mm::Reading;
using testsupport::FakeScenario;
using testsupport::kFakeTechmodeFd;

// What a modem on WCDMA gives when it has everything ModemManager can give.
Reading Good() {
    Reading r;
    r.path = "/org/freedesktop/ModemManager1/Modem/0";
    r.imei = "356938035643809";
    r.imsi = "310150123456789";
    r.operator_code = "26201";
    r.access_technologies = 1u << 5 | 1u << 6;  // UMTS, HSDPA
    r.has_location = true;
    r.lac = 0x1A2B;
    r.ci = 0xC3D4E5;
    r.umts_rscp = -95.0;  // cell info's serving cell comes first
    r.umts_ecio = -12.0;
    r.umts_rssi = -60.6;
    r.cell_info = true;
    CellReading serving;
    serving.rat = CellReading::Rat::kUmts;
    serving.serving = true;
    serving.uarfcn = 10700;
    serving.psc = 310;
    serving.rscp = -80.6;
    serving.ecio = -8.5;
    serving.lac = "1A2B";
    serving.ci = "C3D4E5";
    CellReading neighbour = serving;
    neighbour.serving = false;
    neighbour.psc = 42;
    neighbour.rscp = -101.2;
    neighbour.ecio = -15.0;
    CellReading gsm;
    gsm.rat = CellReading::Rat::kGsm;
    gsm.arfcn = 60;
    gsm.bsic = "2A";
    gsm.rxlev = 30;
    gsm.lac = "0102";
    gsm.ci = "BEEF";
    r.cells = {serving, neighbour, gsm};
    r.bearers = {{"internet.test", "10.1.2.3", "2001:db8::1"}};
    r.network_time = "2026-12-07T10:30:00+01:00";
    return r;
}

// A record as the daemon's fetcher leaves it: bytes it did not decode keep
// the 0xAA they were filled with (but the first, which the fetch marks).
template <typename Record>
int Fetch(int (*fetcher)(int, Record *), Record *out) {
    memset(out, 0xAA, sizeof *out);
    return fetcher(kFakeTechmodeFd, out);
}

std::string Hex(const uint8_t *p, size_t n) {
    std::string s;
    char b[3];
    for (size_t i = 0; i < n; i++) snprintf(b, sizeof b, "%02x", p[i]), s += b;
    return s;
}

// Everything a good reading fills, as the daemon decodes it.
TEST(TechmodeMmMapping, GoodReadingThroughTheDaemonsFetchers) {
    FakeScenario() = mm::Map(Good()).state;

    IdentityData id;
    ASSERT_EQ(Fetch(getDtaIdentityDta, &id), 0);
    // IMEI digits after the type half-byte; the IMSI's from the first.
    EXPECT_EQ(Hex(id.imeisv, 10), "003365390853468390ff");
    EXPECT_EQ(Hex(id.imsi, 9), "13100521436587f9ff");
    EXPECT_EQ(Hex(id.tmsi, 4), "aaaaaaaa");  // left out: no TMSI in ModemManager
    EXPECT_EQ(Hex(id.ptmsi, 4), "aaaaaaaa");
    EXPECT_EQ(id.srnc_id, 0xAAAA);

    MobilityData mob;
    ASSERT_EQ(Fetch(getDtaMobilityDta, &mob), 0);
    EXPECT_EQ(mob.active_rat, kRatWcdma);
    EXPECT_EQ(mob.mcc, 262);
    EXPECT_EQ(mob.mnc, 1);
    EXPECT_EQ(mob.lac, 0x1A2B);
    EXPECT_EQ(mob.rac, 0xAA);  // left out

    ServingCell3G cell;
    ASSERT_EQ(Fetch(getDta3GServingCellDta, &cell), 0);
    EXPECT_EQ(cell.uarfcn, 10700);
    EXPECT_EQ(cell.psc, 310);
    EXPECT_EQ(cell.cell_id, 0xC3D4E5u);
    EXPECT_EQ(cell.rscp, -81);  // -80.6 rounded, from cell info before Signal's -95
    EXPECT_EQ(cell.ecio, -9);   // -8.5 rounded away from zero

    DedicatedChannelPower power;
    ASSERT_EQ(Fetch(getDtaDedicatedChannelPowerDta, &power), 0);
    EXPECT_EQ(power.dch_utra_rssi, -61);
    EXPECT_EQ(power.dch_tx_pwr_step, 0xAA);  // left out

    ActiveSetInfo active;
    ASSERT_EQ(Fetch(getDtaActiveSetInfoDta, &active), 0);
    ASSERT_EQ(active.cell_count, 1);
    EXPECT_EQ(active.cells[0].psc, 310);
    EXPECT_EQ(active.cells[0].rscp, -81);
    MonitoredSetInfo monitored;
    ASSERT_EQ(Fetch(getDtaMonitoredSetInfoDta, &monitored), 0);
    ASSERT_EQ(monitored.cell_count, 1);
    EXPECT_EQ(monitored.cells[0].uarfcn, 10700);
    EXPECT_EQ(monitored.cells[0].psc, 42);
    EXPECT_EQ(monitored.cells[0].rscp, -101);
    EXPECT_EQ(monitored.cells[0].ecio, -15);

    IdleNeighborCellsInfo2G idle;
    ASSERT_EQ(Fetch(getDta2GIdleNeighborCellsInfoDta, &idle), 0);
    ASSERT_EQ(idle.cell_count, 1);
    EXPECT_EQ(idle.cells[0].arfcn, 60);
    EXPECT_EQ(idle.cells[0].bsic, 0x2A);
    EXPECT_EQ(idle.cells[0].rssi, 30 - 110);
    EXPECT_EQ(idle.cells[0].lac, 0x0102);
    EXPECT_EQ(idle.cells[0].cell_id, 0xBEEF);

    PdpContextInfo pdp;
    ASSERT_EQ(Fetch(getDtaPdpContextInfoDta, &pdp), 0);
    EXPECT_STREQ(pdp.contexts[0].apn, "internet.test");
    EXPECT_EQ(Hex(pdp.contexts[0].ipv4_addr, 4), "0a010203");
    EXPECT_EQ(Hex(pdp.contexts[0].ipv6_addr, 16), "20010db8000000000000000000000001");
    EXPECT_EQ(pdp.contexts[1].apn[0], '\0');  // one bearer, one context

    // What ModemManager has no source for, and the GSM serving cell while on
    // WCDMA, fail: the daemon shows them as not available.
    BasicData basic;
    EXPECT_EQ(Fetch(getDtaBasicDta, &basic), -1);
    RadioStatData radio;
    EXPECT_EQ(Fetch(getDtaRadioStatDta, &radio), -1);
    ServingCell2G gsm;
    EXPECT_EQ(Fetch(getDta2GServingCellDta, &gsm), -1);
    HspaChannelInfo hspa;
    EXPECT_EQ(Fetch(getDtaHspaChannelInfoDta, &hspa), -1);
}

// On GSM: the 2G serving cell from cell info and the location's CI; the
// Signal interface's UMTS values (kept from before) are not the cell's.
TEST(TechmodeMmMapping, OnGsmTheServingCellIs2G) {
    Reading r = Good();
    r.access_technologies = 1u << 3;  // GPRS
    r.ci = 0x4321;
    CellReading serving;
    serving.rat = CellReading::Rat::kGsm;
    serving.serving = true;
    serving.arfcn = 975;
    serving.bsic = "3F";
    serving.timing_advance = 5;
    r.cells = {serving};
    FakeScenario() = mm::Map(r).state;

    ServingCell2G cell;
    ASSERT_EQ(Fetch(getDta2GServingCellDta, &cell), 0);
    EXPECT_EQ(cell.arfcn, 975);
    EXPECT_EQ(cell.bsic, 0x3F);
    EXPECT_EQ(cell.cell_id, 0x4321);
    EXPECT_EQ(cell.timing_advance, 5);
    EXPECT_EQ(cell.band, 0xAA);  // left out
    MobilityData mob;
    ASSERT_EQ(Fetch(getDtaMobilityDta, &mob), 0);
    EXPECT_EQ(mob.active_rat, kRatGsm);
    ServingCell3G umts;
    EXPECT_EQ(Fetch(getDta3GServingCellDta, &umts), -1);
    DedicatedChannelPower power;
    EXPECT_EQ(Fetch(getDtaDedicatedChannelPowerDta, &power), -1);
}

// Values from ModemManager are a stranger's: each case spoils one value of
// a good reading and names what must then be left out, besides what a good
// reading leaves out (a structure type and its field or list names).
struct Hostile {
    const char *name;
    std::function<void(Reading &)> spoil;
    int type;
    std::vector<std::string> missing;
};

const Hostile kHostile[] = {
    {"imei_with_a_letter",
     [](Reading &r) { r.imei = "35693803564380A"; },
     TECHMODE_STRUCT_IDENTITY_DATA,
     {"imeisv"}},
    {"imei_of_17_digits",
     [](Reading &r) { r.imei = "35693803564380912"; },
     TECHMODE_STRUCT_IDENTITY_DATA,
     {"imeisv"}},
    {"imei_of_14_digits",
     [](Reading &r) { r.imei = "35693803564380"; },
     TECHMODE_STRUCT_IDENTITY_DATA,
     {"imeisv"}},
    {"imsi_of_16_digits",
     [](Reading &r) { r.imsi = "3101501234567890"; },
     TECHMODE_STRUCT_IDENTITY_DATA,
     {"imsi"}},
    {"imsi_with_a_space",
     [](Reading &r) { r.imsi = "31015012345678 "; },
     TECHMODE_STRUCT_IDENTITY_DATA,
     {"imsi"}},
    {"operator_code_of_4_digits",
     [](Reading &r) { r.operator_code = "3101"; },
     TECHMODE_STRUCT_MOBILITY_DATA,
     {"mcc", "mnc"}},
    {"operator_code_of_7_digits",
     [](Reading &r) { r.operator_code = "3101501"; },
     TECHMODE_STRUCT_MOBILITY_DATA,
     {"mcc", "mnc"}},
    {"operator_code_with_a_sign",
     [](Reading &r) { r.operator_code = "-31015"; },
     TECHMODE_STRUCT_MOBILITY_DATA,
     {"mcc", "mnc"}},
    {"lac_above_16_bits",
     [](Reading &r) { r.lac = 0x10000; },
     TECHMODE_STRUCT_MOBILITY_DATA,
     {"lac"}},
    {"ci_above_28_bits",
     [](Reading &r) { r.ci = 0x10000000; },
     TECHMODE_STRUCT_SERVING_CELL_3G,
     {"cell_id"}},
    {"uarfcn_unknown",
     [](Reading &r) { r.cells[0].uarfcn = mm::kUnknownNumber; },
     TECHMODE_STRUCT_SERVING_CELL_3G,
     {"uarfcn"}},
    {"psc_above_511",
     [](Reading &r) { r.cells[0].psc = 512; },
     TECHMODE_STRUCT_SERVING_CELL_3G,
     {"psc"}},
    {"rscp_positive_and_signal_unknown",
     [](Reading &r) { r.cells[0].rscp = 5, r.umts_rscp = mm::kUnknownLevel; },
     TECHMODE_STRUCT_SERVING_CELL_3G,
     {"rscp_dbm"}},
    {"ecio_not_a_number_and_signal_unknown",
     [](Reading &r) { r.cells[0].ecio = NAN, r.umts_ecio = mm::kUnknownLevel; },
     TECHMODE_STRUCT_SERVING_CELL_3G,
     {"ecio_db"}},
    {"rssi_far_below_any_level",
     [](Reading &r) { r.umts_rssi = -1e300; },
     TECHMODE_STRUCT_DEDICATED_CHANNEL_POWER,
     {"utra_rssi_dbm"}},
    {"neighbour_without_rscp",
     [](Reading &r) { r.cells[1].rscp = mm::kUnknownLevel; },
     TECHMODE_STRUCT_MONITORED_SET_INFO,
     {"monitored_set"}},
    {"serving_cell_without_ecio",
     [](Reading &r) { r.cells[0].ecio = mm::kUnknownLevel; },
     TECHMODE_STRUCT_ACTIVE_SET_INFO,
     {"active_set"}},
    {"gsm_neighbour_rxlev_64",
     [](Reading &r) { r.cells[2].rxlev = 64; },
     TECHMODE_STRUCT_IDLE_NEIGHBOR_CELLS_INFO_2G,
     {"idle_neighbours_2g"}},
    {"gsm_neighbour_bsic_not_hex",
     [](Reading &r) { r.cells[2].bsic = "2G"; },
     TECHMODE_STRUCT_IDLE_NEIGHBOR_CELLS_INFO_2G,
     {"idle_neighbours_2g"}},
    {"gsm_neighbour_bsic_above_63",
     [](Reading &r) { r.cells[2].bsic = "40"; },
     TECHMODE_STRUCT_IDLE_NEIGHBOR_CELLS_INFO_2G,
     {"idle_neighbours_2g"}},
    {"gsm_neighbour_bsic_of_9_hex_digits",
     [](Reading &r) { r.cells[2].bsic = "00000002A"; },
     TECHMODE_STRUCT_IDLE_NEIGHBOR_CELLS_INFO_2G,
     {"idle_neighbours_2g"}},
    {"bearer_with_nothing_usable",
     [](Reading &r) {
         r.bearers = {{std::string(101, 'a'), "10.1.2.300", "2001:db8::g"}};
     },
     TECHMODE_STRUCT_PDP_CONTEXT_INFO,
     {"pdp_contexts"}},
};

// The request for one structure type.
std::vector<uint8_t> Request(int type) {
    return {uint8_t(CMD_TECHMODE_GET_STRUCT_DATA_TAG),
            uint8_t(CMD_TECHMODE_GET_STRUCT_DATA_TAG >> 8),
            2,
            0,
            uint8_t(CMD_TECHMODE_STRUCT_TYPE_TAG),
            uint8_t(CMD_TECHMODE_STRUCT_TYPE_TAG >> 8),
            1,
            0,
            uint8_t(type),
            0,
            0,
            0};
}

sim::Reply Ask(const sim::Scenario &s, int type) {
    std::mt19937 rng;
    const std::vector<uint8_t> req = Request(type);
    return sim::Answer(s, DCMD_TECHMODE_REQUEST, req.data(), req.size(), 0, rng);
}

class TechmodeMmHostile : public ::testing::TestWithParam<Hostile> {};

TEST_P(TechmodeMmHostile, IsLeftOutAndTheRestStays) {
    const Hostile &h = GetParam();
    const mm::Snapshot good = mm::Map(Good());
    Reading r = Good();
    h.spoil(r);
    const mm::Snapshot snap = mm::Map(r);
    std::vector<std::string> want = good.missing[h.type];
    want.insert(want.end(), h.missing.begin(), h.missing.end());
    std::vector<std::string> got = snap.missing[h.type];
    std::sort(want.begin(), want.end());
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, want);
    // On the wire: the reply is shorter by what was left out; a structure
    // with nothing left fails with ENODATA.
    const sim::Reply before = Ask(good.state, h.type), after = Ask(snap.state, h.type);
    ASSERT_EQ(before.status, 0);
    if (snap.filled[h.type]) {
        EXPECT_EQ(after.status, 0);
        EXPECT_LT(after.bytes.size(), before.bytes.size());
    } else {
        EXPECT_EQ(after.status, ENODATA);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, TechmodeMmHostile, ::testing::ValuesIn(kHostile),
                         [](const auto &info) { return std::string(info.param.name); });

// Lists are capped at what their blocks hold; a bearer's APN that is too
// long or not printable is left empty while its addresses stay.
TEST(TechmodeMmMapping, ListsAreCappedAndApnsBounded) {
    Reading r = Good();
    r.cells.assign(40, r.cells[1]);
    r.bearers.assign(9, {"internet.test", "10.1.2.3", ""});
    r.bearers[0].apn = std::string(101, 'a');
    r.bearers[1].apn = std::string("inter\x1bnet");
    r.bearers[2].apn = std::string(100, 'a');
    const mm::Snapshot snap = mm::Map(r);
    EXPECT_EQ(snap.state.monitored_set.size(), 32u);
    ASSERT_EQ(snap.state.pdp_contexts.size(), 7u);
    EXPECT_EQ(snap.state.pdp_contexts[0].apn, "");
    EXPECT_EQ(snap.state.pdp_contexts[0].ipv4[3], 3);
    EXPECT_EQ(snap.state.pdp_contexts[1].apn, "");
    EXPECT_EQ(snap.state.pdp_contexts[2].apn, std::string(100, 'a'));
}

// No modem: every structure fails as a device error.
TEST(TechmodeMmMapping, WithoutAModemEveryRequestIsADeviceError) {
    const sim::Scenario none = mm::NoModem();
    for (int type = 0; type < int(kTechModeStructTypeCount); type++) {
        SCOPED_TRACE(type);
        const sim::Reply reply = Ask(none, type);
        EXPECT_EQ(reply.status, EIO);
        EXPECT_TRUE(reply.bytes.empty());
    }
}

// GetNetworkTime's text to seconds: the forms ModemManager writes, and
// what is no time at all or does not fit the bridge's 32-bit seconds.
TEST(TechmodeMmMapping, NetworkTime) {
    const struct {
        const char *text;
        int64_t seconds;  // -1: refused
    } kCases[] = {
        {"2026-12-07T10:30:00Z", 1796639400},
        {"2026-12-07T10:30:00", 1796639400},
        {"2026-12-07T10:30:00+01:00", 1796639400 - 3600},
        {"2026-12-07T10:30:00-0530", 1796639400 + 5 * 3600 + 1800},
        {"2026-12-07T10:30:00+01", 1796639400 - 3600},
        {"2024-02-29T00:00:00Z", 1709164800},
        {"2026-02-29T00:00:00Z", -1},
        {"2026-13-01T00:00:00Z", -1},
        {"2026-12-07T24:00:00Z", -1},
        {"2026-12-07T10:60:00Z", -1},
        {"2038-01-20T00:00:00Z", -1},
        {"1969-12-31T23:59:59Z", -1},
        {"2026-12-07T10:30:00+15:00", -1},
        {"2026-12-07T10:30:00Zjunk", -1},
        {"2026-12-07 10:30:00", -1},
        {"2026-1-07T10:30:00Z", -1},
        {"", -1},
    };
    for (const auto &c : kCases) {
        SCOPED_TRACE(c.text);
        auto t = mm::NetworkTime(c.text);
        EXPECT_EQ(t ? *t : -1, c.seconds);
    }
    EXPECT_EQ(mm::NetworkTimeLine(1796639400),
              "last_sync_detail:json:{\"source\":\"nitz\",\"src_sec\":1796639400}\n");
}

// ---- LTE and NR

// A modem on LTE with an NR leg (NSA), as ModemManager gives it.
Reading Lte() {
    Reading r = Good();
    r.access_technologies = 1u << 14 | 1u << 15;  // LTE, 5GNR
    r.ci = 0x1A2B3C4;
    r.lte_rsrp = -99.0;  // cell info's serving cell comes first
    r.lte_rsrq = -12.0;
    r.lte_snr = 12.3;
    r.lte_rssi = -65.2;
    r.nr_snr = 14.6;
    CellReading serving;
    serving.rat = CellReading::Rat::kLte;
    serving.serving = true;
    serving.earfcn = 1300;
    serving.physical_ci = "65";
    serving.tac = "2A01";
    serving.ci = "1A2B3C4";
    serving.rsrp = -95.4;
    serving.rsrq = -10.6;
    serving.timing_advance = 12;
    CellReading neighbour = serving;
    neighbour.serving = false;
    neighbour.earfcn = 6300;
    neighbour.physical_ci = "E6";
    neighbour.ci.clear();
    neighbour.rsrp = -101.5;
    neighbour.rsrq = -13.2;
    CellReading nr;
    nr.rat = CellReading::Rat::kNr;
    nr.serving = true;
    nr.earfcn = 627264;
    nr.physical_ci = "1F4";
    nr.tac = "2A0001";
    nr.ci = "FFFFFFFFF";
    nr.rsrp = -90.2;
    nr.rsrq = -11.0;
    r.cells = {serving, neighbour, nr};
    return r;
}

struct LteRecords {
    int serving_ok, neighbours_ok, nr_ok;
    LteServingCell serving;  // starts out not reported in every field
    LteNeighbourCells neighbours;
    NrCellInfo nr;
};
LteRecords FetchLte(const Reading &r) {
    FakeScenario() = mm::Map(r).state;
    LteRecords d;
    d.serving_ok = getDtaLteServingCellDta(kFakeTechmodeFd, &d.serving);
    memset(&d.neighbours, 0xAA, sizeof d.neighbours);
    d.neighbours_ok = getDtaLteNeighbourCellsDta(kFakeTechmodeFd, &d.neighbours);
    memset(&d.nr, 0xAA, sizeof d.nr);
    d.nr_ok = getDtaNrCellInfoDta(kFakeTechmodeFd, &d.nr);
    return d;
}

// One row per value: the reading (a good one, or one with a single value
// spoiled as a lying modem would), the value the daemon decodes. A value out
// of its 3GPP range, malformed or absent reads as not reported; none is
// ever sent as a made-up zero.
TEST(TechmodeMmMapping, LteAndNrThroughTheDaemonsFetchers) {
    const int64_t kNo = kTechModeLevelNotReported;
    const struct {
        const char *name;
        void (*spoil)(Reading &);
        int64_t (*get)(const LteRecords &);
        int64_t want;
    } kRows[] = {
#define GET(e) [](const LteRecords &d) -> int64_t { return d.e; }
#define AS_IS [](Reading &) {}
        {"the serving cell answers", AS_IS, GET(serving_ok), 0},
        {"the NR cells answer", AS_IS, GET(nr_ok), 0},
        {"nothing known of NR: no NR cells", [](Reading &r) { r.access_technologies = 0; },
         GET(nr_ok), -1},
        {"camped", AS_IS, GET(serving.camped), 1},
        {"camped on UMTS", [](Reading &r) { r.access_technologies = 1u << 5; }, GET(serving.camped),
         0},
        {"camped unknown", [](Reading &r) { r.access_technologies = 0; }, GET(serving.camped),
         0xFF},
        {"earfcn", AS_IS, GET(serving.earfcn), 1300},
        {"earfcn past its range", [](Reading &r) { r.cells[0].earfcn = 262144; },
         GET(serving.earfcn), 0xFFFFFFFF},
        {"pci", AS_IS, GET(serving.pci), 101},
        {"pci 504", [](Reading &r) { r.cells[0].physical_ci = "1F8"; }, GET(serving.pci), 0xFFFF},
        {"tac", AS_IS, GET(serving.tac), 0x2A01},
        {"tac of 24 bits", [](Reading &r) { r.cells[0].tac = "10000"; }, GET(serving.tac), 0xFFFF},
        {"cell id from the location", AS_IS, GET(serving.cell_id), 0x1A2B3C4},
        {"cell id past 28 bits", [](Reading &r) { r.ci = 0x10000000; }, GET(serving.cell_id),
         0xFFFFFFFF},
        {"off LTE the location's CI is another RAT's",
         [](Reading &r) {
             r.access_technologies = 1u << 5;
             r.ci = 0xC3D4E5;
         },
         GET(serving.cell_id), 0x1A2B3C4},
        {"off LTE Signal.Lte's last RSRP is not taken",
         [](Reading &r) {
             r.access_technologies = 1u << 5;
             r.cells[0].rsrp = mm::kUnknownLevel;
         },
         GET(serving.rsrp), kNo},
        {"mcc", AS_IS, GET(serving.mcc), 262},
        {"mnc", AS_IS, GET(serving.mnc), 1},
        {"rsrp from cell info, to the half dB", AS_IS, GET(serving.rsrp), -191},
        {"rsrp from Signal.Lte", [](Reading &r) { r.cells[0].rsrp = mm::kUnknownLevel; },
         GET(serving.rsrp), -198},
        {"rsrp above -31 dBm", [](Reading &r) { r.cells[0].rsrp = r.lte_rsrp = -30; },
         GET(serving.rsrp), kNo},
        {"rsrq", AS_IS, GET(serving.rsrq), -21},
        {"rsrq NaN", [](Reading &r) { r.cells[0].rsrq = r.lte_rsrq = NAN; }, GET(serving.rsrq),
         kNo},
        {"sinr", AS_IS, GET(serving.sinr), 25},
        {"sinr off LTE", [](Reading &r) { r.access_technologies = 1u << 5; }, GET(serving.sinr),
         kNo},
        {"rssi", AS_IS, GET(serving.rssi), -130},
        {"timing advance", AS_IS, GET(serving.timing_advance), 12},
        {"timing advance 1283", [](Reading &r) { r.cells[0].timing_advance = 1283; },
         GET(serving.timing_advance), 0xFFFF},
        {"no source: band, bandwidth, CQI, states", AS_IS,
         [](const LteRecords &d) -> int64_t {
             return d.serving.band + d.serving.dl_bandwidth + d.serving.cqi + d.serving.rrc_state +
                    d.serving.emm_state + d.serving.emm_cause;
         },
         0xFFFF + 5 * 0xFF},
        {"one neighbour", AS_IS, GET(neighbours.cell_count), 1},
        {"neighbour earfcn", AS_IS, GET(neighbours.cells[0].earfcn), 6300},
        {"neighbour pci", AS_IS, GET(neighbours.cells[0].pci), 230},
        {"neighbour rsrp", AS_IS, GET(neighbours.cells[0].rsrp), -203},
        {"neighbour rsrq", AS_IS, GET(neighbours.cells[0].rsrq), -26},
        {"neighbour not read", AS_IS, GET(neighbours.cells[0].cell_id), 0xFFFFFFFF},
        {"neighbour read", [](Reading &r) { r.cells[1].ci = "1A2B3C5"; },
         GET(neighbours.cells[0].cell_id), 0x1A2B3C5},
        {"neighbour without rsrq: left out", [](Reading &r) { r.cells[1].rsrq = NAN; },
         GET(neighbours_ok), -1},
        {"NSA", AS_IS, GET(nr.mode), kNrModeNsa},
        {"SA", [](Reading &r) { r.access_technologies = 1u << 15; }, GET(nr.mode), kNrModeSa},
        {"no NR", [](Reading &r) { r.access_technologies = 1u << 14; }, GET(nr.mode), kNrModeNone},
        {"NR-ARFCN", AS_IS, GET(nr.serving.arfcn), 627264},
        {"NR pci", AS_IS, GET(nr.serving.pci), 500},
        {"SS-RSRP", AS_IS, GET(nr.serving.ss_rsrp), -180},
        {"SS-RSRQ", AS_IS, GET(nr.serving.ss_rsrq), -22},
        {"SS-SINR from Signal.Nr5g", AS_IS, GET(nr.serving.ss_sinr), 29},
        {"NR band not reported", AS_IS, GET(nr.serving.band), 0xFFFF},
        {"NR SCS not reported", AS_IS, GET(nr.serving.scs), 0xFF},
        {"NSA: no NR TAC", AS_IS, GET(nr.tac), 0xFFFFFFFF},
        {"SA: TAC", [](Reading &r) { r.access_technologies = 1u << 15; }, GET(nr.tac), 0x2A0001},
        {"SA: NCI of 36 bits", [](Reading &r) { r.access_technologies = 1u << 15; },
         [](const LteRecords &d) -> int64_t { return int64_t(d.nr.nci); }, (int64_t{1} << 36) - 1},
        {"SA: NCI past 36 bits",
         [](Reading &r) {
             r.access_technologies = 1u << 15;
             r.cells[2].ci = "1000000000";
         },
         [](const LteRecords &d) -> int64_t { return d.nr.nci == ~uint64_t{0}; }, 1},
        {"NR-ARFCN past its range", [](Reading &r) { r.cells[2].earfcn = 3279166; },
         GET(nr.serving.arfcn), 0xFFFFFFFF},
        {"the report: NR values filled, band and SCS without a source", AS_IS,
         [](const LteRecords &) -> int64_t {
             const std::string report = mm::Report(Lte());
             return report.find("     pci                  filled") != std::string::npos &&
                    report.find("     ss_rsrq_db           filled") != std::string::npos &&
                    report.find("     tac                  missing") != std::string::npos &&
                    report.find(
                        "     band                 missing (ModemManager has no "
                        "source)") != std::string::npos &&
                    report.find("27 lte_secondary_cells") != std::string::npos;
         },
         1},
        {"no carriers: the structure fails", AS_IS,
         [](const LteRecords &) -> int64_t {
             LteSecondaryCells c;
             return getDtaLteSecondaryCellsDta(kFakeTechmodeFd, &c);
         },
         -1},
#undef GET
#undef AS_IS
    };
    for (const auto &row : kRows) {
        SCOPED_TRACE(row.name);
        Reading r = Lte();
        row.spoil(r);
        testing::internal::CaptureStdout();
        const LteRecords d = FetchLte(r);
        const int64_t got = row.get(d);
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(got, row.want);
    }
}

}  // namespace

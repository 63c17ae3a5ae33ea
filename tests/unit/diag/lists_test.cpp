// SPDX-License-Identifier: Apache-2.0
// The list commands (gsmopinfo, umtsopinfo, radionwinfo) through the real
// server intake: the one write to their status object and the response.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdint.h>

#include <algorithm>
#include <string>
#include <vector>

#include "diag_harness.h"

namespace {

using Lists = DiagHarness;
using namespace testsupport;

// --- gsmopinfo --------------------------------------------------------------

TEST_F(Lists, GsmopinfoPublishesEverySectionInOrder) {
    S().idle_neighbours_2g = {{1, 0x03FF, 12, static_cast<int8_t>(0xC4), 20, -3, 1002, 4660},
                              {2, 1, 0, 0, -128, 127, 0, 0}};
    S().mobility = {0, 262, 1, 0xFFFF, 255};
    S().utra_neighbours = {{10700, 310, static_cast<int8_t>(0x9C), -6, -70}};
    S().radio_stats.t3314 = 65535;
    S().serving_cell_2g = {
        6, 33, 512, 1001, 1, 3, 0, 1, 2, 2, 12, 1, 2, 1, 3, static_cast<int8_t>(0xFB), 63};
    S().dedicated_measurement_2g = {-20, 38, 0xFF, 1, {{600, 45, -2}}};
    S().basic.rr_state = 25;
    EXPECT_EQ(Run("gsmopinfo"), "SUCCESS");
    EXPECT_EQ(Geran(),
              GsmopinfoHead() +
                  "gsm_cell_type1::GPRS\ngsm_arfcn1:n:1023\ngsm_rssi1:n:-60\ngsm_cellid1:n:1002\n"
                  "gsm_bsic1:n:12\ngsm_lac1:n:4660\ngsm_rac1::NOT SUPPORTED\ngsm_c1_1:n:20\n"
                  "gsm_c2_1:n:-3\ngsm_cell_type2::data error!\ngsm_arfcn2:n:1\ngsm_rssi2:n:0\n"
                  "gsm_cellid2:n:0\ngsm_bsic2:n:0\ngsm_lac2:n:0\ngsm_rac2::NOT SUPPORTED\n"
                  "gsm_c1_2:n:-128\ngsm_c2_2:n:127\n"
                  "gsm_mcc:n:262\ngsm_mnc:n:1\ngsm_lac:n:65535\ngsm_rac:n:255\nactive_rat::GSM\n"
                  "gsm_irat_meas:json:[{\"1 irat_3g_uarfcn\":10700,\"1 irat_3g_psc\":310,"
                  "\"1 irat_3g_rscp\":-100,\"1 irat_3g_ecn0\":-6,\"1 irat_3g_rssi\":-70}]\n"
                  "gsm_t3312:n:54\ngsm_t3314:n:65535\ngprs_state::data error!\ngsm_bsic:n:33\n"
                  "gsm_bands::PCS_1900\ngsm_cellid:n:1001\ngsm_arfcn:n:512\ngprs_nco::unknown\n"
                  "gsm_nmo::Mode I\nmsc_rev:n:1\nsgsn_rev:n:2\nedge_support::EGPRS RACH\n"
                  "gsm_tx_power:n:-5\ngsm_ta:n:63\nlatest_tbf:json:{\"tbf_channel\":\"MCS9\","
                  "\"tfi_ul\":1,\"tfi_dl\":2,\"timeslots_ul\":1,\"timeslots_dl\":3}\n"
                  "gsm_ded_meas:json:[{\"1 gsm_dec_arfcn\":600,\"1 gsm_dec_bsic\":45,"
                  "\"1 gsm_dec_rxlev\":-2}]\ngsm_sc_dec:json:{\"rxlev_full\":-20,\"rxlev_sub\":38,"
                  "\"rxqual_full\":255,\"rxqual_sub\":1}\nrr_state::unknown\n");
}

// Runs in a row with different neighbour counts: each resets indices 1 to 6,
// lists at most 16 cells, and writes nothing above (count 10, then 2: indices
// 7 to 10 keep the first run's values).
TEST_F(Lists, GsmopinfoNeighbourCountsAndWhatASecondRunLeaves) {
    for (int count : {0, 3, 20, 10, 2}) {
        SCOPED_TRACE(count);
        S().idle_neighbours_2g.assign(size_t(count), {0, 100, 7, -70, 1, 2, 300, 400});
        EXPECT_EQ(Run("gsmopinfo"), "SUCCESS");
        std::string listed =
            IndexedLines({"gsm_cell_type%d::2G", "gsm_arfcn%d:n:100", "gsm_rssi%d:n:-70",
                          "gsm_cellid%d:n:300", "gsm_bsic%d:n:7", "gsm_lac%d:n:400",
                          "gsm_rac%d::NOT SUPPORTED", "gsm_c1_%d:n:1", "gsm_c2_%d:n:2"},
                         1, std::min(count, 16));
        EXPECT_EQ(Geran().rfind(GsmopinfoHead() + listed + "gsm_mcc:n:", 0), 0u);
    }
}

// The 3G list is fetched and published only when camped on GSM; otherwise,
// or when its fetch fails, the attribute is deleted.
TEST_F(Lists, GsmopinfoInterRatListFollowsTheActiveRat) {
    struct Case {
        int rat;  // -1: the mobility fetch fails; 255: its RAT field is missing
        int utra_count, irat_ok, irat_requests;
        const char *irat_text;
    } cases[] = {
        {kRatGsm, 0, 1, 1, "\ngsm_irat_meas:json:[]\n"},
        {kRatGsm, 20, 1, 1, "\"16 irat_3g_rssi\":-3}]\ngsm_t3312"},
        {kRatGsm, 2, 0, 1, "\n-gsm_irat_meas\n"},
        {kRatWcdma, 2, 1, 0, "\nactive_rat::WCDMA\n-gsm_irat_meas\n"},
        {255, 2, 1, 0, "\nactive_rat::data error!\n-gsm_irat_meas\n"},
        {-1, 2, 1, 0, "\ngsm_rac::N/A\n-gsm_irat_meas\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.rat);
        Reset();
        S().mobility.active_rat = static_cast<uint8_t>(c.rat < 0 ? kRatGsm : c.rat);
        if (c.rat == -1) Fail({TECHMODE_STRUCT_MOBILITY_DATA});
        if (c.rat == 255) S().faults[TECHMODE_STRUCT_MOBILITY_DATA].missing_tags = {0};
        if (!c.irat_ok) Fail({TECHMODE_STRUCT_INTER_RAT_MEASUREMENTS_INFO});
        S().utra_neighbours.assign(size_t(c.utra_count), {4, 5, -1, -2, -3});
        EXPECT_EQ(Run("gsmopinfo"), "SUCCESS");
        EXPECT_EQ(testsupport::FakeTechmode::Requests(TECHMODE_STRUCT_INTER_RAT_MEASUREMENTS_INFO),
                  c.irat_requests);
        EXPECT_NE(Geran().find(c.irat_text), std::string::npos);
    }
}

// --- umtsopinfo -------------------------------------------------------------

// The text from one marker up to another ("" when either is missing).
std::string Between(const std::string &text, const std::string &from, const std::string &to) {
    size_t a = text.find(from), b = text.find(to);
    return a == std::string::npos || b == std::string::npos || b < a ? "" : text.substr(a, b - a);
}

// Fills the stack below the caller with non-zero bytes, so that a byte the
// code reads without writing it first (a terminator left out) shows.
__attribute__((noinline)) void DirtyStack() {
    volatile char junk[256 * 1024];
    for (size_t i = 0; i < sizeof junk; i++) junk[i] = 'x';
}

// A name that fills its 100-byte field without a NUL ends at the field: the
// address bytes after it ("ABCD") are not part of it.
TEST_F(Lists, UmtsopinfoPublishesEverySectionInOrder) {
    const std::string apn = std::string(99, 'a') + "\xe9";
    S().basic.gmm_cause = 17;
    S().basic.mm_cause = 255;
    S().intra_neighbours = {{311, -9, static_cast<int8_t>(0x9C)}, {65535, -24, -120}};
    S().inter_neighbours = {{10713, 44, -11, -95, static_cast<int8_t>(0xC4)}};
    S().gsm_neighbours = {{1023, 63, -60}, {512, 0, -110}};  // camped on WCDMA
    S().pdp_contexts.resize(5);
    S().pdp_contexts[0] = {"internet", {0xC0, 0xA8, 0x01, 0x0A}, {0x20, 0x01, 0x0d, 0xb8}};
    S().pdp_contexts[2] = {"ims", {255, 255, 255, 255}, {0xfe, 0x80}};
    S().pdp_contexts[2].ipv6[15] = 1;
    S().pdp_contexts[3] = {apn, {'A', 'B', 'C', 'D'}, {}};
    S().pdp_contexts[4] = {"fifth", {1, 2, 3, 4}, {}};  // beyond the four shown
    DirtyStack();
    EXPECT_EQ(Run("umtsopinfo"), "SUCCESS");
    const std::string zeros = "0000:0000:0000:0000:0000:0000\n";
    EXPECT_EQ(Utra(),
              UmtsopinfoHead() +
                  "gmm_reject:n:17\nmm_reject:n:255\nt3212:n:60\nintra_psc1:n:311\n"
                  "intra_ecno1:n:-9\nintra_rscp1:n:-100\nintra_psc2:n:65535\n"
                  "intra_ecno2:n:-24\nintra_rscp2:n:-120\ninter_uarfcn1:n:10713\n"
                  "inter_psc1:n:44\ninter_ecno1:n:-11\ninter_rscp1:n:-95\n"
                  "inter_rssi1:n:-60\nirat_system1::GSM\nirat_ch1:n:1023\n"
                  "irat_bsic1:n:63\nirat_gsm_rssi1:n:-60\nirat_cellid1::N/A\n"
                  "irat_cm1::N/A\nirat_system2::GSM\nirat_ch2:n:512\nirat_bsic2:n:0\n"
                  "irat_gsm_rssi2:n:-110\nirat_cellid2::N/A\nirat_cm2::N/A\n"
                  "apn1_name::internet\napn1_ipv4_addr::192.168.1.10\n"
                  "apn1_ipv6_addr::2001:0db8:" +
                  zeros +
                  "apn2_name::\napn2_ipv4_addr::0.0.0.0\napn2_ipv6_addr::0000:0000:" + zeros +
                  "apn3_name::ims\napn3_ipv4_addr::255.255.255.255\n"
                  "apn3_ipv6_addr::fe80:0000:0000:0000:0000:0000:0000:0001\n"
                  "apn4_name::" +
                  apn + "\napn4_ipv4_addr::65.66.67.68\napn4_ipv6_addr::0000:0000:" + zeros);
}

// Neighbour lists are capped at six cells. GSM cells are fetched only when
// camped on WCDMA; otherwise, or when that fetch fails, all six indices read
// "N/A". A shorter list leaves the higher indices of the previous run alone
// (count 8, then 1).
TEST_F(Lists, UmtsopinfoNeighboursAndGsmCellsFollowTheActiveRat) {
    struct Case {
        int rat;  // -1: the mobility fetch fails
        int irat_ok, count, irat_requests;
    } cases[] = {{kRatGsm, 1, 2, 0},   {kRatUnknown, 1, 0, 0}, {-1, 1, 40, 0},
                 {kRatWcdma, 0, 2, 1}, {kRatWcdma, 1, 8, 1},   {kRatWcdma, 1, 1, 1}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.rat);
        Reset();
        S().mobility.active_rat = static_cast<uint8_t>(c.rat < 0 ? kRatWcdma : c.rat);
        if (c.rat < 0) Fail({TECHMODE_STRUCT_MOBILITY_DATA});
        if (!c.irat_ok) Fail({TECHMODE_STRUCT_INTER_RAT_MEASUREMENTS_INFO});
        S().intra_neighbours.assign(size_t(c.count), {7, -1, -2});
        S().inter_neighbours.assign(size_t(c.count), {8, 9, -3, -4, -5});
        S().gsm_neighbours.assign(size_t(c.count), {600, 5, -70});
        EXPECT_EQ(Run("umtsopinfo"), "SUCCESS");
        EXPECT_EQ(testsupport::FakeTechmode::Requests(TECHMODE_STRUCT_INTER_RAT_MEASUREMENTS_INFO),
                  c.irat_requests);
        const int shown = std::min(c.count, 6);
        EXPECT_EQ(Between(Utra(), "drx::", "apn1_name::"),
                  UmtsopinfoHead() + "gmm_reject:n:0\nmm_reject:n:0\nt3212:n:60\n" +
                      IndexedLines({"intra_psc%d:n:7", "intra_ecno%d:n:-1", "intra_rscp%d:n:-2"}, 1,
                                   shown) +
                      IndexedLines({"inter_uarfcn%d:n:8", "inter_psc%d:n:9", "inter_ecno%d:n:-3",
                                    "inter_rscp%d:n:-4", "inter_rssi%d:n:-5"},
                                   1, shown) +
                      (c.rat != kRatWcdma || !c.irat_ok
                           ? UmtsopinfoGsmCellsNA()
                           : IndexedLines(
                                 {"irat_system%d::GSM", "irat_ch%d:n:600", "irat_bsic%d:n:5",
                                  "irat_gsm_rssi%d:n:-70", "irat_cellid%d::N/A", "irat_cm%d::N/A"},
                                 1, shown)));
    }
}

// --- radionwinfo ------------------------------------------------------------

// A set of count cells as published under the set's names: the listed cells
// (entry k with scrambling code k + 1), then "N/A" up to index 6.
std::string SetLines(const std::string &p, const std::string &channel, int count) {
    int shown = std::min(count, 6);
    std::string ch = p + channel + "%d", sc = p + "sc%d", rscp = p + "rscp%d", ecio = p + "ecio%d";
    std::string v[] = {ch + ":n:10700", sc + ":n:%d", rscp + ":n:-100", ecio + ":n:-10"};
    return IndexedLines({v[0].c_str(), v[1].c_str(), v[2].c_str(), v[3].c_str()}, 1, shown) +
           IndexedLines({ch.c_str(), sc.c_str(), rscp.c_str(), ecio.c_str()}, shown + 1, 6,
                        "::N/A");
}

std::vector<sim::SetCell> Cells(int count) {
    std::vector<sim::SetCell> cells;
    for (int k = 0; k < count; k++)  // RSCP byte 0x9C, Ec/Io byte 0xF6
        cells.push_back({10700, uint16_t(k + 1), int8_t(0x9C), int8_t(0xF6)});
    return cells;
}

// Empty sets still write all six indices, so nothing of an earlier run is
// left behind; the network identity stands without the serving cell.
TEST_F(Lists, RadionwinfoPublishesEverySectionInOrder) {
    struct Case {
        int active, monitored;
        bool serving;
        std::string text;  // after the unsupported attributes
    } cases[] = {
        {3, 9, true,
         "scell_uarfcn:n:10700\nscell_sc:n:511\nscell_rscp:n:-100\nscell_ecio:n:-10\n"
         "scell_cellid:n:268435455\nscell_mcc:n:310\nscell_mnc:n:260\nscell_lac:n:65534\n"
         "scell_rac:n:255\n" +
             SetLines("aset_", "arfcn", 3) + SetLines("mset_", "uarfcn", 9)},
        {0, 0, false,
         NA({"scell_uarfcn", "scell_sc", "scell_rscp", "scell_ecio", "scell_cellid"}) +
             "scell_mcc:n:310\nscell_mnc:n:260\nscell_lac:n:65534\nscell_rac:n:255\n" +
             SetLines("aset_", "arfcn", 0) + SetLines("mset_", "uarfcn", 0)},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.active);
        S().serving_cell_3g = {10700, 511, 0x0FFFFFFF, static_cast<int8_t>(0x9C),
                               static_cast<int8_t>(0xF6)};
        S().mobility = {1, 310, 260, 0xFFFE, 255};
        S().active_set = Cells(c.active);
        S().monitored_set = Cells(c.monitored);
        if (!c.serving) Fail({TECHMODE_STRUCT_SERVING_CELL_3G});
        EXPECT_EQ(Run("radionwinfo"), "SUCCESS");
        EXPECT_EQ(Utra(), RadionwinfoUnsupported() + c.text);
    }
}

}  // namespace

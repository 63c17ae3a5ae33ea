// gsmopinfo through the real server intake: the one write to status_geran,
// the response and the standard-output line.
#include <gtest/gtest.h>
#include <stdint.h>

#include <algorithm>
#include <string>

#include "list_harness.h"

namespace {

class Gsmopinfo : public ListHarness {};

const char kFixed[] =
    "gsm_cs_ps_pdp::NOT SUPPORTED\ndtm_support::N/A\ngsm_pch_period::NOT SUPPORTED\n"
    "last_sddch::NOT SUPPORTED\ngsm_dnlk_thru::NOT SUPPORTED\nedge_bler::NOT SUPPORTED\n";

std::string NeighbourDefaults() {
    return IndexedLines({"gsm_cell_type%d", "gsm_arfcn%d", "gsm_rssi%d", "gsm_cellid%d",
                         "gsm_bsic%d", "gsm_lac%d", "gsm_rac%d", "gsm_c1_%d", "gsm_c2_%d"},
                        1, 6, "::N/A");
}

TEST_F(Gsmopinfo, PublishesEverySectionInOrder) {
    sim::Scenario &s = S();
    s.idle_neighbours_2g = {{1, 0x03FF, 12, static_cast<int8_t>(0xC4), 20, -3, 1002, 4660},
                            {255, 600, 45, -90, 12, 12, 65535, 4661},
                            {2, 1, 0, 0, -128, 127, 0, 0}};
    s.mobility = {0, 262, 1, 0xFFFF, 255};
    s.utra_neighbours = {{10700, 310, static_cast<int8_t>(0x9C), -6, -70},
                         {10713, 511, -85, -12, -75}};
    s.radio_stats.t3314 = 65535;
    s.serving_cell_2g = {
        6, 33, 512, 1001, 1, 3, 0, 1, 2, 2, 12, 1, 2, 1, 3, static_cast<int8_t>(0xFB), 63};
    s.dedicated_measurement_2g = {-20, 38, 0xFF, 1, {{520, 12, 28}, {600, 45, -2}}};
    s.basic.rr_state = 25;
    std::string own;
    EXPECT_EQ(Run("gsmopinfo", &own), "SUCCESS");
    EXPECT_EQ(own, "RAT = GSM\n");
    EXPECT_EQ(Geran(),
              kFixed + NeighbourDefaults() +
                  "gsm_cell_type1::GPRS\ngsm_arfcn1:n:1023\ngsm_rssi1:n:-60\ngsm_cellid1:n:1002\n"
                  "gsm_bsic1:n:12\ngsm_lac1:n:4660\ngsm_rac1::NOT SUPPORTED\ngsm_c1_1:n:20\n"
                  "gsm_c2_1:n:-3\ngsm_cell_type2::UNKNOWN\ngsm_arfcn2:n:600\ngsm_rssi2:n:-90\n"
                  "gsm_cellid2:n:65535\ngsm_bsic2:n:45\ngsm_lac2:n:4661\ngsm_rac2::NOT SUPPORTED\n"
                  "gsm_c1_2:n:12\ngsm_c2_2:n:12\ngsm_cell_type3::data error!\ngsm_arfcn3:n:1\n"
                  "gsm_rssi3:n:0\ngsm_cellid3:n:0\ngsm_bsic3:n:0\ngsm_lac3:n:0\n"
                  "gsm_rac3::NOT SUPPORTED\ngsm_c1_3:n:-128\ngsm_c2_3:n:127\n"
                  "gsm_mcc:n:262\ngsm_mnc:n:1\ngsm_lac:n:65535\ngsm_rac:n:255\nactive_rat::GSM\n"
                  "gsm_irat_meas:json:[{\"1 irat_3g_uarfcn\":10700,\"1 irat_3g_psc\":310,"
                  "\"1 irat_3g_rscp\":-100,\"1 irat_3g_ecn0\":-6,\"1 irat_3g_rssi\":-70},"
                  "{\"2 irat_3g_uarfcn\":10713,\"2 irat_3g_psc\":511,\"2 irat_3g_rscp\":-85,"
                  "\"2 irat_3g_ecn0\":-12,\"2 irat_3g_rssi\":-75}]\n"
                  "gsm_t3312:n:54\ngsm_t3314:n:65535\ngprs_state::data error!\ngsm_bsic:n:33\n"
                  "gsm_bands::PCS_1900\ngsm_cellid:n:1001\ngsm_arfcn:n:512\ngprs_nco::unknown\n"
                  "gsm_nmo::Mode I\nmsc_rev:n:1\nsgsn_rev:n:2\nedge_support::EGPRS RACH\n"
                  "gsm_tx_power:n:-5\ngsm_ta:n:63\nlatest_tbf:json:{\"tbf_channel\":\"MCS9\","
                  "\"tfi_ul\":1,\"tfi_dl\":2,\"timeslots_ul\":1,\"timeslots_dl\":3}\n"
                  "gsm_ded_meas:json:[{\"1 gsm_dec_arfcn\":520,\"1 gsm_dec_bsic\":12,"
                  "\"1 gsm_dec_rxlev\":28},{\"2 gsm_dec_arfcn\":600,\"2 gsm_dec_bsic\":45,"
                  "\"2 gsm_dec_rxlev\":-2}]\ngsm_sc_dec:json:{\"rxlev_full\":-20,\"rxlev_sub\":38,"
                  "\"rxqual_full\":255,\"rxqual_sub\":1}\nrr_state::unknown\n");
}

// Runs in a row with different neighbour counts: each resets indices 1 to 6,
// lists at most 16 cells, and writes nothing above (count 10, then 2: indices
// 7 to 10 keep the first run's values).
TEST_F(Gsmopinfo, NeighbourCountsAndWhatASecondRunLeaves) {
    for (int count : {0, 3, 20, 10, 2}) {
        SCOPED_TRACE(count);
        S().idle_neighbours_2g.assign(size_t(count), {0, 100, 7, -70, 1, 2, 300, 400});
        EXPECT_EQ(Run("gsmopinfo"), "SUCCESS");
        std::string listed =
            IndexedLines({"gsm_cell_type%d::2G", "gsm_arfcn%d:n:100", "gsm_rssi%d:n:-70",
                          "gsm_cellid%d:n:300", "gsm_bsic%d:n:7", "gsm_lac%d:n:400",
                          "gsm_rac%d::NOT SUPPORTED", "gsm_c1_%d:n:1", "gsm_c2_%d:n:2"},
                         1, std::min(count, 16));
        EXPECT_EQ(Geran().rfind(kFixed + NeighbourDefaults() + listed + "gsm_mcc:n:", 0), 0u);
    }
}

// The 3G list is fetched and published only when camped on GSM; otherwise,
// or when its fetch fails, the attribute is deleted.
TEST_F(Gsmopinfo, InterRatListFollowsTheActiveRat) {
    struct Case {
        int rat;  // -1: the mobility fetch fails; 255: its RAT field is missing
        int utra_count, irat_ok, irat_requests;
        const char *irat_text, *own;
    } cases[] = {
        {0, 0, 1, 1, "\ngsm_irat_meas:json:[]\n", "RAT = GSM\n"},
        {0, 20, 1, 1, "\"16 irat_3g_rssi\":-3}]\ngsm_t3312", "RAT = GSM\n"},
        {0, 2, 0, 1, "\n-gsm_irat_meas\n", "RAT = GSM\n"},
        {1, 2, 1, 0, "\n-gsm_irat_meas\n", "RAT = WCDMA\n"},
        {2, 2, 1, 0, "\n-gsm_irat_meas\n", "RAT = GAN\n"},
        {3, 2, 1, 0, "\n-gsm_irat_meas\n", "RAT = unknown\n"},
        {255, 2, 1, 0, "\n-gsm_irat_meas\n", "RAT = data error!\n"},
        {-1, 2, 1, 0,
         "\nactive_rat::N/A\ngsm_mcc::N/A\ngsm_mnc::N/A\ngsm_lac::N/A\n"
         "gsm_rac::N/A\n-gsm_irat_meas\n",
         ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.rat);
        Reset();
        S().mobility.active_rat = static_cast<uint8_t>(c.rat < 0 ? 0 : c.rat);
        if (c.rat == -1) FailStructure(8);
        if (c.rat == 255) S().faults[8].missing_tags = {0};
        if (!c.irat_ok) FailStructure(10);
        S().utra_neighbours.assign(size_t(c.utra_count), {4, 5, -1, -2, -3});
        std::string own;
        EXPECT_EQ(Run("gsmopinfo", &own), "SUCCESS");
        EXPECT_EQ(own, c.own);
        EXPECT_EQ(testsupport::FakeTechmode::Requests(10), c.irat_requests);
        EXPECT_NE(Geran().find(c.irat_text), std::string::npos);
    }
}

// Every fetch failing publishes all placeholders and deletions and answers
// FAILURE; any one successful fetch, the first included, makes a SUCCESS.
TEST_F(Gsmopinfo, FailedFetches) {
    for (int ok : {0, 17, 8, 3, 5, 18, 1}) {
        SCOPED_TRACE(ok);
        Reset();
        FailAllBut({17, 8, 10, 3, 5, 18, 1}, {ok});
        std::string own;
        EXPECT_EQ(Run("gsmopinfo", &own), ok ? "SUCCESS" : "FAILURE");
        if (ok) continue;
        EXPECT_EQ(own, "");
        EXPECT_EQ(Geran(), kFixed + NeighbourDefaults() +
                               "active_rat::N/A\ngsm_mcc::N/A\ngsm_mnc::N/A\ngsm_lac::N/A\n"
                               "gsm_rac::N/A\n-gsm_irat_meas\ngsm_t3312::N/A\ngsm_t3314::N/A\n"
                               "gprs_state::N/A\ngsm_bsic::N/A\ngsm_bands::N/A\ngsm_cellid::N/A\n"
                               "gsm_arfcn::N/A\ngprs_nco::N/A\ngsm_nmo::N/A\nmsc_rev::N/A\n"
                               "sgsn_rev::N/A\nedge_support::N/A\ngsm_tx_power::N/A\ngsm_ta::N/A\n"
                               "latest_tbf:json:{\"tbf_channel\":\"N/A\",\"tfi_ul\":\"N/A\","
                               "\"tfi_dl\":\"N/A\",\"timeslots_ul\":\"N/A\","
                               "\"timeslots_dl\":\"N/A\"}\n"
                               "-gsm_sc_dec\n-gsm_ded_meas\nrr_state::N/A\n");
    }
}

}  // namespace

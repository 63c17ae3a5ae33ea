// SPDX-License-Identifier: Apache-2.0
// access, radiostats, tchtxpower, hspaopinfo and bearer through the real
// server intake: what each writes to its status object after its fixed
// placeholder lines, and the response; then when every command answers
// SUCCESS. The normal run and the run without a device are those of the
// system test.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Replies.h"
#include "diag_harness.h"

namespace {

struct Case {
    const char *msg;
    void (*setup)(sim::Scenario &);
    std::string published;  // the end of what the run writes
    const char *answer;
};

class Commands : public DiagHarness {
  protected:
    // Runs each case on a fresh scenario.
    void Check(const std::vector<Case> &cases) {
        for (const Case &c : cases) {
            SCOPED_TRACE(std::string(c.msg) + ": " + c.published);
            Reset();
            if (c.setup) c.setup(S());
            EXPECT_EQ(Run(c.msg), c.answer);
            bool toData = std::string(c.msg) == "access" || std::string(c.msg) == "bearer";
            std::string utra = Utra(), data = Data();
            EXPECT_THAT(toData ? data : utra, testing::EndsWith(c.published));
            EXPECT_EQ(toData ? utra : data, "");
        }
    }
};

std::string Rab2G(const char *domain, const char *ciphering) {
    return std::string("active_rat::GSM\n-rab_3g\nrab_2g:json:{\"domain\":\"") + domain +
           "\",\"datarate_ul\":9600,\"datarate_dl\":-1,\"maxrate_ul\":12000,\"maxrate_dl\":16000,"
           "\"bler_residual\":3,\"codec\":\"GSM_EFR\",\"ciphering\":\"" +
           ciphering + "\"}\n";
}
template <uint8_t domain, uint8_t ciphering>
void Gsm(sim::Scenario &s) {
    s.mobility.active_rat = kRatGsm;
    s.bearer_2g = {0, 9600, 0xFFFFFFFFu, 12000, 16000, 0, domain, 3, 2, ciphering};
}

// Field mapping, signed versus unsigned bytes, text tables, runs where only
// some of the fetches answer, and the bearer of each RAT (the WCDMA bearers
// themselves are in the system test).
TEST_F(Commands, ValuesAndPartialFetches) {
    Check(
        {{"access",
          [](sim::Scenario &s) {
              s.sm_cc_cause = {0xF6, 16}, s.basic = {3, 4, 5, 0}, s.radio_stats = {0, 6, 7};
              s.radio_access_3g = {-10, 0xF6, 8};
          },
          "sm_latest_cause:n:246\ncc_latest_cause:n:16\ngmm_latest_cause:n:3\n"
          "mm_latest_cause:n:4\nrr_latest_cause:n:5\nrrc_rej_cause:n:6\nrrc_rel_cause:n:7\n"
          "init_tx_power:n:-10\nrach_step_size:n:246\nprea_retr_max:n:8\n",
          "SUCCESS"},
         {"radiostats",
          [](sim::Scenario &s) {
              s.radio_stats = {7, 0xFF, 2, 5};
          },
          "rrc_reject:n:255\nrrc_release:n:2\nrrc_state::data error!\n"
          "rrc_conn_state::PASSIVENULL\n",
          "SUCCESS"},
         {"tchtxpower",
          [](sim::Scenario &s) {
              s.dedicated_channel_power = {-10, 0xF6, -70}, s.battery_temperature_c = -5;
          },
          "dch_tx_pwr:n:-10\ndch_tx_pwr_step:n:246\ndch_utra_rssi:n:-70\nradio_temp:n:-5\n",
          "SUCCESS"},
         {"tchtxpwr", [](sim::Scenario &) { Fail({TECHMODE_STRUCT_DEDICATED_CHANNEL_POWER}); },
          NA({"dch_tx_pwr", "dch_tx_pwr_step", "dch_utra_rssi"}) + "radio_temp:n:31\n", "SUCCESS"},
         {"hspaopinfo",
          [](sim::Scenario &s) {
              s.hspa_channel = {9, 0xFFFFFFF0u, 2}, s.hspa_irat_cm = 1;
          },
          "hssch_code:n:9\nhsdpa_rate:n:-16\nedch_tti::2ms\nhspa_irat_cm::ON\n", "SUCCESS"},
         {"hspaopinfo",
          [](sim::Scenario &s) {
              // An edch_tti byte of 2, after the command, structure and
              // block headers of 4 bytes each.
              s.faults[TECHMODE_STRUCT_HSPA_CHANNEL_INFO].raw =
                  sim::EncodeStructure(s, TECHMODE_STRUCT_HSPA_CHANNEL_INFO);
              s.faults[TECHMODE_STRUCT_HSPA_CHANNEL_INFO].raw.at(12 + 12) = 2;
              s.faults[TECHMODE_STRUCT_HSPA_CHANNEL_INFO].has_raw = true;
              Fail({TECHMODE_STRUCT_HSPA_INTER_RAT_MEAS});
          },
          "hssch_code:n:5\nhsdpa_rate:n:7200\nedch_tti::10ms\nhspa_irat_cm::N/A\n", "SUCCESS"},
         {"hspaopinfo",
          [](sim::Scenario &s) { Fail({TECHMODE_STRUCT_HSPA_CHANNEL_INFO}), s.hspa_irat_cm = 2; },
          NA({"hssch_code", "hsdpa_rate", "edch_tti"}) + "hspa_irat_cm::data read eorr\n",
          "SUCCESS"},
         {"bearer", [](sim::Scenario &) { Fail({TECHMODE_STRUCT_BEARER_INFO_3G}); },
          "active_rat::WCDMA\n-rab_2g\n-rab_3g\n", "FAILURE"},
         {"bearer", Gsm<0, 2>, Rab2G("CS", "A5_3"), "SUCCESS"},
         {"bearer", Gsm<1, 0>, Rab2G("PS", "GPRS_CIPHERING_OFF"), "SUCCESS"},
         {"bearer", Gsm<2, 0>, Rab2G("INVALID", "data error!"), "SUCCESS"},
         {"bearer",
          [](sim::Scenario &s) {
              Gsm<0, 0>(s);
              Fail({TECHMODE_STRUCT_BEARER_INFO_2G});
          },
          "active_rat::GSM\n-rab_3g\n-rab_2g\n", "FAILURE"},
         {"bearer",
          [](sim::Scenario &s) { s.faults[TECHMODE_STRUCT_MOBILITY_DATA].missing_tags = {0}; },
          "active_rat::data error!\n-rab_3g\n-rab_2g\n", "FAILURE"},
         {"bearer", [](sim::Scenario &s) { s.mobility.active_rat = kRatGan; },
          "active_rat::GAN\n-rab_3g\n-rab_2g\n", "FAILURE"}});
    // GAN, the last case, asked for no bearer structure.
    EXPECT_EQ(testsupport::FakeTechmode::Requests(TECHMODE_STRUCT_BEARER_INFO_3G) +
                  testsupport::FakeTechmode::Requests(TECHMODE_STRUCT_BEARER_INFO_2G),
              0);
}

// A run succeeds when any one of its fetches does; with every one failing it
// answers FAILURE. umtsopinfo's mobility fetch only picks the branch (it
// answers in every run here, on WCDMA, so the GSM cells are fetched).
TEST_F(Commands, AnyOneFetchMakesASuccess) {
    const struct {
        const char *msg;
        std::vector<int> fetches;
        const char *failed = "";  // the end of what a run without any fetch writes
    } commands[] = {
        {"identity", {TECHMODE_STRUCT_IDENTITY_DATA}},
        {"radiostats", {TECHMODE_STRUCT_RADIO_STAT_DATA}},
        {"access",
         {TECHMODE_STRUCT_SM_CC_CAUSE, TECHMODE_STRUCT_BASIC_DATA, TECHMODE_STRUCT_RADIO_STAT_DATA,
          TECHMODE_STRUCT_RADIO_ACCESS_INFO_3G}},
        {"tchtxpower",
         {TECHMODE_STRUCT_DEDICATED_CHANNEL_POWER, TECHMODE_STRUCT_BATTERY_TEMPERATURE}},
        {"hspaopinfo", {TECHMODE_STRUCT_HSPA_CHANNEL_INFO, TECHMODE_STRUCT_HSPA_INTER_RAT_MEAS}},
        {"gsmopinfo",
         {TECHMODE_STRUCT_IDLE_NEIGHBOR_CELLS_INFO_2G, TECHMODE_STRUCT_MOBILITY_DATA,
          TECHMODE_STRUCT_RADIO_STAT_DATA, TECHMODE_STRUCT_SERVING_CELL_2G,
          TECHMODE_STRUCT_DEDICATED_MEASUREMENT_INFO_2G, TECHMODE_STRUCT_BASIC_DATA},
         "}\n-gsm_sc_dec\n-gsm_ded_meas\nrr_state::N/A\n"},
        {"umtsopinfo",
         {TECHMODE_STRUCT_BASIC_DATA, TECHMODE_STRUCT_RADIO_STAT_DATA,
          TECHMODE_STRUCT_INTRA_RAT_NEIGHBOUR_CELL_MEAS_INFO_3G, TECHMODE_STRUCT_PDP_CONTEXT_INFO,
          TECHMODE_STRUCT_INTER_RAT_MEASUREMENTS_INFO}},
        {"radionwinfo",
         {TECHMODE_STRUCT_SERVING_CELL_3G, TECHMODE_STRUCT_MOBILITY_DATA,
          TECHMODE_STRUCT_ACTIVE_SET_INFO, TECHMODE_STRUCT_MONITORED_SET_INFO}},
    };
    for (const auto &c : commands) {
        for (size_t ok = 0; ok <= c.fetches.size(); ok++) {  // ok == size: none
            SCOPED_TRACE(std::string(c.msg) + " " + std::to_string(ok));
            Reset();
            for (size_t i = 0; i < c.fetches.size(); i++)
                if (i != ok) Fail({c.fetches[i]});
            EXPECT_EQ(Run(c.msg), ok < c.fetches.size() ? "SUCCESS" : "FAILURE");
            const std::string published = Utra() + Geran() + Data();
            if (ok == c.fetches.size()) {
                EXPECT_THAT(published, testing::EndsWith(c.failed));
            }
        }
    }
}

}  // namespace

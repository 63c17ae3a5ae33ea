// SPDX-License-Identifier: Apache-2.0
// The diagnostic commands through the real server intake: what each writes
// and answers, the id echo and the duplicate-id check; and the network-time
// bridge. These tables decide every command's text.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdint.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "ExpectedText.h"
#include "FakeTechmode.h"
#include "Replies.h"
#include "VelomarPPS.h"
#include "techmode/techmode_structs.h"
#include "unit/pps/pps_test_util.h"

namespace {

class TestService : public VelomarPPS {
  public:
    PPSServer &server() { return server_; }
    using VelomarPPS::InitializeControlMessage;
};

using namespace testsupport;

// A VelomarPPS whose status objects are pipes, whose control object is a
// socketpair played by the test, and whose device answers from a scenario.
// A row of a screen's table: whether the run answers SUCCESS, what its
// status object must hold and what it must not ("" for nothing).
struct ScreenCase {
    const char *name;
    bool ok;
    void (*setup)(sim::Scenario &);
    std::string present, absent;
};

class Diag : public ::testing::Test {
  protected:
    Diag() {
        Reset();
        g_service = &svc;
        for (int *fd : {&svc.m_statusUtraFd, &svc.m_statusGeranFd, &svc.m_statusDataFd,
                        &svc.m_statusEutraFd, &svc.m_statusNrFd}) {
            int p[2];
            EXPECT_EQ(pipe2(p, O_NONBLOCK), 0);
            *fd = p[1];
            readers.push_back(p[0]);
        }
        svc.m_techmodeFd = kFakeTechmodeFd;
    }
    ~Diag() override {
        svc.m_techmodeFd = -1;  // not a real fd: never closed
        for (int fd : readers) close(fd);
        g_service = nullptr;
    }

    static sim::Scenario &S() { return FakeScenario(); }
    // A fresh scenario (no faults) and fresh request counts.
    static void Reset() {
        S() = sim::ParseScenario("{\"drift\":{\"enabled\":false}}", "test");
        ResetFakeRequests();
    }
    // Makes every fetch of a structure fail with a device error.
    static void Fail(std::initializer_list<int> types) {
        for (int t : types) S().faults[t].device_error = 5;
    }
    // Sends one request as client 12 and lets the server dispatch it; what
    // the client receives: "SUCCESS" or "FAILURE" for those exact responses
    // (the id echoed cut to 29 characters), else the response ("" if none).
    std::string Request(const std::string &msg, const std::string &id) {
        testing::internal::CaptureStdout();
        peer.Send("@control.12\nmsg::" + msg + "\nid::" + id + "\n");
        EXPECT_EQ(svc.server().ReadPPS(peer.control), 0);
        testing::internal::GetCapturedStdout();
        const std::string got = peer.Receive(),
                          ok = "@control.12\nres::" + msg + "\nid::" + id.substr(0, 29) + "\n";
        return got == ok ? "SUCCESS" : got == ok + "err:n:-1\n" ? "FAILURE" : got;
    }
    // A request with an id no earlier request used.
    std::string Run(const std::string &msg) {
        static int last = 1000;
        return Request(msg, std::to_string(++last));
    }

    // What the runs since the last call wrote to a status object.
    std::string Utra() { return Drain(readers[0]); }
    std::string Geran() { return Drain(readers[1]); }
    std::string Data() { return Drain(readers[2]); }
    std::string Eutra() { return Drain(readers[3]); }
    std::string Nr() { return Drain(readers[4]); }
    // Runs command once for each case on a fresh scenario: its answer, what
    // the status object of readers[reader] holds and does not, that every
    // name of the screen is written once (lines: the object line and the
    // attributes) and that no other object is written.
    void RunCases(const char *command, std::size_t reader, std::ptrdiff_t lines,
                  const std::vector<ScreenCase> &cases) {
        for (const ScreenCase &c : cases) {
            SCOPED_TRACE(c.name);
            Reset();
            c.setup(S());
            EXPECT_EQ(Run(command), c.ok ? "SUCCESS" : "FAILURE");
            std::string out, others;
            for (std::size_t i = 0; i < readers.size(); i++)
                (i == reader ? out : others) += Drain(readers[i]);
            EXPECT_THAT(out, testing::HasSubstr(c.present));
            if (!c.absent.empty()) {
                EXPECT_THAT(out, testing::Not(testing::HasSubstr(c.absent)));
            }
            EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), lines);
            EXPECT_EQ(others, "");
        }
    }
    static std::string Drain(int fd) {
        std::string out;
        char buf[65536];
        for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) out.append(buf, size_t(n));
        return out;
    }

    TestService svc;
    ControlPeer peer{[this](const char *path) { return svc.InitializeControlMessage(path); }};
    std::vector<int> readers;
};

#define SET(...) [](sim::Scenario &s [[maybe_unused]]) { __VA_ARGS__; }

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
// some of the fetches answer, the identity values each in their place, and
// the bearer of each RAT (the WCDMA bearers are in the system test).
TEST_F(Diag, ValuesAndPartialFetches) {
    const struct {
        const char *msg;
        bool ok;                         // SUCCESS, else FAILURE
        void (*setup)(sim::Scenario &);  // on a fresh scenario
        std::string published;           // the end of what the run writes
    } cases[] = {
        {"access", true,
         SET(s.sm_cc_cause = {0xF6, 16}, s.basic = {3, 4, 5, 0}, s.radio_stats = {0, 6, 7},
             s.radio_access_3g = {-10, 0xF6, 8}),
         "sm_latest_cause:n:246\ncc_latest_cause:n:16\ngmm_latest_cause:n:3\n"
         "mm_latest_cause:n:4\nrr_latest_cause:n:5\nrrc_rej_cause:n:6\nrrc_rel_cause:n:7\n"
         "init_tx_power:n:-10\nrach_step_size:n:246\nprea_retr_max:n:8\n"},
        {"identity", true, SET(s.identity.imsi = "92103", s.identity.srnc_id = 65535),
         "TMSI::01AB00FF\nPTMSI::C0FFEE01\nIMEI::3538070512345601f\nIMSI::92103fffffffffffff\n"
         "SRNCID:n:65535\n"},
        {"radiostats", true, SET(s.radio_stats = {7, 0xFF, 2, 5}),
         "rrc_reject:n:255\nrrc_release:n:2\nrrc_state::data error!\n"
         "rrc_conn_state::PASSIVENULL\n"},
        {"tchtxpower", true,
         SET(s.dedicated_channel_power = {-10, 0xF6, -70}, s.battery_temperature_c = -5),
         "dch_tx_pwr:n:-10\ndch_tx_pwr_step:n:246\ndch_utra_rssi:n:-70\nradio_temp:n:-5\n"},
        {"tchtxpwr", true, SET(Fail({TECHMODE_STRUCT_DEDICATED_CHANNEL_POWER})),
         NA({"dch_tx_pwr", "dch_tx_pwr_step", "dch_utra_rssi"}) + "radio_temp:n:31\n"},
        {"hspaopinfo", true, SET(s.hspa_channel = {9, 0xFFFFFFF0u, 2}, s.hspa_irat_cm = 1),
         "hssch_code:n:9\nhsdpa_rate:n:-16\nedch_tti::2ms\nhspa_irat_cm::ON\n"},
        {"hspaopinfo", true,
         [](sim::Scenario &s) {
             // edch_tti byte 2, after three 4-byte headers (command, structure, block)
             sim::Fault &f = s.faults[TECHMODE_STRUCT_HSPA_CHANNEL_INFO];
             f.raw = sim::EncodeStructure(s, TECHMODE_STRUCT_HSPA_CHANNEL_INFO);
             f.raw.at(12 + 12) = 2;
             f.has_raw = true;
             Fail({TECHMODE_STRUCT_HSPA_INTER_RAT_MEAS});
         },
         "hssch_code:n:5\nhsdpa_rate:n:7200\nedch_tti::10ms\nhspa_irat_cm::N/A\n"},
        {"hspaopinfo", true, SET(Fail({TECHMODE_STRUCT_HSPA_CHANNEL_INFO}), s.hspa_irat_cm = 2),
         NA({"hssch_code", "hsdpa_rate", "edch_tti"}) + "hspa_irat_cm::data read eorr\n"},
        {"bearer", false, SET(Fail({TECHMODE_STRUCT_BEARER_INFO_3G})),
         "active_rat::WCDMA\n-rab_2g\n-rab_3g\n"},
        {"bearer", true, Gsm<0, 2>, Rab2G("CS", "A5_3")},
        {"bearer", true, Gsm<1, 0>, Rab2G("PS", "GPRS_CIPHERING_OFF")},
        {"bearer", true, Gsm<2, 0>, Rab2G("INVALID", "data error!")},
        {"bearer", false, SET(Gsm<0, 0>(s), Fail({TECHMODE_STRUCT_BEARER_INFO_2G})),
         "active_rat::GSM\n-rab_3g\n-rab_2g\n"},
        {"bearer", false, SET(s.faults[TECHMODE_STRUCT_MOBILITY_DATA].missing_tags = {0}),
         "active_rat::data error!\n-rab_3g\n-rab_2g\n"},
        {"bearer", false, SET(Fail({TECHMODE_STRUCT_MOBILITY_DATA})),
         "active_rat::unknown\n-rab_3g\n-rab_2g\n"},
        {"tchtxpower", true, SET(Fail({TECHMODE_STRUCT_BATTERY_TEMPERATURE})),
         "dch_utra_rssi:n:-70\nradio_temp::N/A\n"},
        {"bearer", false, SET(s.mobility.active_rat = kRatGan),
         "active_rat::GAN\n-rab_3g\n-rab_2g\n"}};
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.msg) + ": " + c.published);
        Reset();
        c.setup(S());
        EXPECT_EQ(Run(c.msg), c.ok ? "SUCCESS" : "FAILURE");
        const std::string m = c.msg, utra = Utra(), data = Data();
        bool toData = m == "access" || m == "bearer" || m == "identity";
        EXPECT_THAT(toData ? data : utra, testing::EndsWith(c.published));
        EXPECT_EQ(toData ? utra : data, "");
    }
    // GAN, the last case, asked for no bearer structure.
    EXPECT_EQ(
        FakeRequests(TECHMODE_STRUCT_BEARER_INFO_3G) + FakeRequests(TECHMODE_STRUCT_BEARER_INFO_2G),
        0);
}

// A run succeeds when any one of its fetches does, FAILURE when none does
// (umtsopinfo's mobility fetch only picks the branch: WCDMA in every run).
TEST_F(Diag, AnyOneFetchMakesASuccess) {
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
            EXPECT_THAT(Utra() + Geran() + Data(),
                        testing::EndsWith(ok == c.fetches.size() ? c.failed : ""));
        }
    }
}

// Every handler keeps a last id of its own (tchtxpwr is tchtxpower); a repeat
// answers FAILURE and writes nothing; 1 is never a repeat; ids are read as
// atoi reads them; a long id is echoed cut; an unknown name gets no answer.
TEST_F(Diag, DuplicateIdRules) {
    auto check = [this](const std::string &msg, const std::string &id, bool duplicate) {
        SCOPED_TRACE(msg + " " + id);
        EXPECT_EQ(Request(msg, id), duplicate ? "FAILURE" : "SUCCESS");
        EXPECT_EQ((Data() + Utra() + Geran()).empty(), duplicate);
    };
    for (bool again : {false, true})
        for (const char *msg : {"identity", "access", "gsmopinfo", "tchtxpower", "bearer",
                                "hspaopinfo", "umtsopinfo", "radiostats", "radionwinfo"})
            check(msg, "7", again);
    const struct {
        const char *msg, *id;
        bool duplicate;
    } steps[] = {
        {"identity", "70", false},  {"identity", "70", true},   {"identity", "1", false},
        {"identity", "1", false},   {"tchtxpower", "5", false}, {"tchtxpwr", "5", true},
        {"identity", "abc", false}, {"identity", "0", true},    {"identity", "9x", false},
        {"identity", "9", true},
    };
    for (const auto &s : steps) check(s.msg, s.id, s.duplicate);
    check("identity", std::string(40, 'k'), false);
    testing::internal::CaptureStderr();
    EXPECT_EQ(Request("nosuchcmd", "5"), "");
    testing::internal::GetCapturedStderr();
}

// NITZ details are republished as UTC date and time (members in any order);
// gsm_time_enable 1 (as atoi reads it) asks for GSM time only, another value
// for all sources. Text the other side should never send does nothing.
TEST_F(Diag, NetworkTimeRepublishesNitzAndSelectsTimeSources) {
    int sent[2];  // what the bridge sends the network-time control object
    ASSERT_EQ(pipe2(sent, O_NONBLOCK), 0);
    svc.m_nwTimeControlFd = sent[1];
    const bool nitz = true, config = false;
    const struct {
        bool nitz;                           // else the config handler
        const char *text, *published, *dat;  // dat "": nothing sent
    } cases[] = {
        {nitz, "@status\nlast_sync_detail:json:{\"src_sec\":0,\"source\":\"gps\",\"extra\":[1]}\n",
         "nitz_source::gps\nnitz_time::00:00:00\nnitz_date::1970:01:01\n", ""},
        {nitz, "not pps\n", "", ""},
        {nitz, "@status\nother::1\n", "", ""},
        {nitz, "@status\nlast_sync_detail::text\n", "", ""},
        {nitz, "@status\nlast_sync_detail:json:{\"src_sec\":5}\n", "", ""},
        {nitz, "@status\nlast_sync_detail:json:{\"source\":\"nitz\"}\n", "", ""},
        {nitz, "@status\nlast_sync_detail:json:{\"source\":1,\"src_sec\":5}\n", "", ""},
        {nitz, "", "", ""},
        {config, "@config\ngsm_time_enable::01\n", "", "gsm"},
        {config, "@config\ngsm_time_enable::1x\n", "", "gsm"},
        {config, "@config\ngsm_time_enable::2\n", "", "all"},
        {config, "@config\ngsm_time_enable:n:1\n", "", ""},
        {config, "@config\nother::1\n", "", ""},
        {config, "not pps\n", "", ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        int p[2];  // the object as the handler reads it
        ASSERT_EQ(pipe(p), 0);
        EXPECT_EQ(write(p[1], c.text, strlen(c.text)), static_cast<ssize_t>(strlen(c.text)));
        close(p[1]);
        testing::internal::CaptureStdout();
        (c.nitz ? VeloNitzStatusHandler : VeloConfigHandler)(nullptr, nullptr, p[0]);
        close(p[0]);
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(Data(), c.published);
        EXPECT_EQ(Drain(sent[0]),
                  *c.dat ? "msg::ts_select\nid::0\ndat::" + std::string(c.dat) + "\n" : "");
    }
    close(sent[0]);
}

TEST_F(Diag, GsmopinfoPublishesEverySectionInOrder) {
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

// The 3G list is fetched and published only when camped on GSM; otherwise,
// or when its fetch fails, the attribute is deleted. Each run resets the
// idle neighbours' indices 1 to 6, lists at most 16 cells and writes nothing
// above (10, then 2: indices 7 to 10 keep the earlier run's values).
TEST_F(Diag, GsmopinfoNeighboursAndInterRatListFollowTheActiveRat) {
    struct Case {
        int rat, idle, utra_count, irat_ok, irat_requests;  // rat -1: no mobility; 255: no RAT
        const char *irat_text;
    } cases[] = {
        {kRatGsm, 3, 0, 1, 1, "\ngsm_irat_meas:json:[]\n"},
        {kRatGsm, 20, 20, 1, 1, "\"16 irat_3g_rssi\":-3}]\ngsm_t3312"},
        {kRatGsm, 0, 2, 0, 1, "\n-gsm_irat_meas\n"},
        {kRatWcdma, 10, 2, 1, 0, "\nactive_rat::WCDMA\n-gsm_irat_meas\n"},
        {255, 2, 2, 1, 0, "\nactive_rat::data error!\n-gsm_irat_meas\n"},
        {-1, 16, 2, 1, 0, "\ngsm_rac::N/A\n-gsm_irat_meas\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.rat);
        Reset();
        S().mobility.active_rat = static_cast<uint8_t>(c.rat < 0 ? kRatGsm : c.rat);
        if (c.rat == -1) Fail({TECHMODE_STRUCT_MOBILITY_DATA});
        if (c.rat == 255) S().faults[TECHMODE_STRUCT_MOBILITY_DATA].missing_tags = {0};
        if (!c.irat_ok) Fail({TECHMODE_STRUCT_INTER_RAT_MEASUREMENTS_INFO});
        S().idle_neighbours_2g.assign(size_t(c.idle), {0, 100, 7, -70, 1, 2, 300, 400});
        S().utra_neighbours.assign(size_t(c.utra_count), {4, 5, -1, -2, -3});
        EXPECT_EQ(Run("gsmopinfo"), "SUCCESS");
        EXPECT_EQ(FakeRequests(TECHMODE_STRUCT_INTER_RAT_MEASUREMENTS_INFO), c.irat_requests);
        const std::string out = Geran();
        EXPECT_NE(out.find(c.irat_text), std::string::npos);
        const std::string listed =
            GsmopinfoHead() +
            IndexedLines({"gsm_cell_type%d::2G", "gsm_arfcn%d:n:100", "gsm_rssi%d:n:-70",
                          "gsm_cellid%d:n:300", "gsm_bsic%d:n:7", "gsm_lac%d:n:400",
                          "gsm_rac%d::NOT SUPPORTED", "gsm_c1_%d:n:1", "gsm_c2_%d:n:2"},
                         1, std::min(c.idle, 16));
        EXPECT_EQ(out.rfind(listed, 0), 0u);
        EXPECT_EQ(out.find("gsm_cell_type", listed.size()), std::string::npos);
    }
}

// Fills the stack below the caller with non-zero bytes, so that a byte the
// code reads without writing it first (a terminator left out) shows.
__attribute__((noinline)) void DirtyStack() {
    volatile char junk[256 * 1024];
    for (size_t i = 0; i < sizeof junk; i++) junk[i] = 'x';
}

// A name that fills its 100-byte field without a NUL ends at the field: the
// address bytes after it ("ABCD") are not part of it (checked in both tests
// below, after different paths through the command).
const std::string kFullApn = std::string(99, 'a') + "\xe9";

// The lists between the reject causes and the contexts are the next test's.
TEST_F(Diag, UmtsopinfoPublishesEverySectionInOrder) {
    S().basic.gmm_cause = 17;
    S().basic.mm_cause = 255;
    S().pdp_contexts.resize(5);
    S().pdp_contexts[0] = {kFullApn, {'A', 'B', 'C', 'D'}, {}};
    S().pdp_contexts[2] = {"ims", {255, 255, 255, 255}, {0xfe, 0x80}};
    S().pdp_contexts[2].ipv6[15] = 1;
    S().pdp_contexts[3] = {"internet", {0xC0, 0xA8, 0x01, 0x0A}, {0x20, 0x01, 0x0d, 0xb8}};
    S().pdp_contexts[4] = {"fifth", {1, 2, 3, 4}, {}};  // beyond the four shown
    DirtyStack();
    EXPECT_EQ(Run("umtsopinfo"), "SUCCESS");
    const std::string zeros = "0000:0000:0000:0000:0000:0000\n", out = Utra();
    EXPECT_EQ(out.rfind(UmtsopinfoHead() + "gmm_reject:n:17\nmm_reject:n:255\nt3212:n:60\n", 0),
              0u);
    EXPECT_THAT(out,
                testing::EndsWith(
                    "\napn1_name::" + kFullApn +
                    "\napn1_ipv4_addr::65.66.67.68\napn1_ipv6_addr::0000:0000:" + zeros +
                    "apn2_name::\napn2_ipv4_addr::0.0.0.0\napn2_ipv6_addr::0000:0000:" + zeros +
                    "apn3_name::ims\napn3_ipv4_addr::255.255.255.255\n"
                    "apn3_ipv6_addr::fe80:0000:0000:0000:0000:0000:0000:0001\n"
                    "apn4_name::internet\napn4_ipv4_addr::192.168.1.10\n"
                    "apn4_ipv6_addr::2001:0db8:" +
                    zeros));
}

// Neighbour lists are capped at six cells (the inter-frequency list holds
// one cell fewer than the intra-frequency one); GSM cells are fetched only
// when camped on WCDMA, otherwise (or failed) all six read "N/A". A shorter
// list leaves the higher indices of the previous run alone (count 8, then 1).
TEST_F(Diag, UmtsopinfoNeighboursAndGsmCellsFollowTheActiveRat) {
    struct Case {
        int rat, irat_ok, count, irat_requests;  // rat -1: the mobility fetch fails
    } cases[] = {{kRatGsm, 1, 2, 0},   {kRatUnknown, 1, 0, 0}, {-1, 1, 40, 0},
                 {kRatWcdma, 0, 2, 1}, {kRatWcdma, 1, 8, 1},   {kRatWcdma, 1, 1, 1}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.rat);
        Reset();
        S().mobility.active_rat = static_cast<uint8_t>(c.rat < 0 ? kRatWcdma : c.rat);
        if (c.rat < 0) Fail({TECHMODE_STRUCT_MOBILITY_DATA});
        if (!c.irat_ok) Fail({TECHMODE_STRUCT_INTER_RAT_MEASUREMENTS_INFO});
        S().intra_neighbours.clear();
        S().inter_neighbours.clear();
        S().gsm_neighbours.clear();
        S().pdp_contexts = {{kFullApn, {'A', 'B', 'C', 'D'}, {}}};
        for (int k = 1; k <= c.count; k++) {  // signed bytes 0x9C and 0xC4, each cell its own
            S().intra_neighbours.push_back({uint16_t(65520 + k), -24, int8_t(0x9C)});
            if (k > 1) S().inter_neighbours.push_back({uint16_t(10709 + k), 44, -11, -95, -60});
            S().gsm_neighbours.push_back({uint16_t(1020 + k), 63, -110});
        }
        DirtyStack();
        EXPECT_EQ(Run("umtsopinfo"), "SUCCESS");
        EXPECT_EQ(FakeRequests(TECHMODE_STRUCT_INTER_RAT_MEASUREMENTS_INFO), c.irat_requests);
        const int n = std::min(c.count, 6);
        const std::string out = Utra();
        EXPECT_THAT(out, testing::HasSubstr("apn1_name::" + kFullApn + "\napn1_ipv4_addr::65.66"));
        EXPECT_EQ(
            out.substr(0, out.find("apn1_name::")),
            UmtsopinfoHead() + "gmm_reject:n:0\nmm_reject:n:0\nt3212:n:60\n" +
                IndexedLines({"intra_psc%d:n:6552%d", "intra_ecno%d:n:-24", "intra_rscp%d:n:-100"},
                             1, n) +
                IndexedLines({"inter_uarfcn%d:n:1071%d", "inter_psc%d:n:44", "inter_ecno%d:n:-11",
                              "inter_rscp%d:n:-95", "inter_rssi%d:n:-60"},
                             1, std::min(c.count - 1, 6)) +
                (c.rat == kRatWcdma && c.irat_ok
                     ? IndexedLines(
                           {"irat_system%d::GSM", "irat_ch%d:n:102%d", "irat_bsic%d:n:63",
                            "irat_gsm_rssi%d:n:-110", "irat_cellid%d::N/A", "irat_cm%d::N/A"},
                           1, n)
                     : UmtsopinfoGsmCellsNA()));
    }
}

// Puts count cells in a set (entry k with scrambling code k + 1, RSCP byte
// 0x9C, Ec/Io byte 0xF6); the lines published under the set's names: the
// listed cells, then "N/A" up to index 6.
std::string SetLines(std::vector<sim::SetCell> &set, const std::string &p, const char *channel,
                     int count) {
    set.clear();
    for (int k = 0; k < count; k++) set.push_back({10700, uint16_t(k + 1), int8_t(0x9C), -10});
    int shown = std::min(count, 6);
    std::string ch = p + channel + "%d", sc = p + "sc%d", rscp = p + "rscp%d", ecio = p + "ecio%d";
    std::string v[] = {ch + ":n:10700", sc + ":n:%d", rscp + ":n:-100", ecio + ":n:-10"};
    return IndexedLines({v[0].c_str(), v[1].c_str(), v[2].c_str(), v[3].c_str()}, 1, shown) +
           IndexedLines({ch.c_str(), sc.c_str(), rscp.c_str(), ecio.c_str()}, shown + 1, 6,
                        "::N/A");
}

// Empty sets still write all six indices, so nothing of an earlier run is
// left behind; the network identity stands without the serving cell.
TEST_F(Diag, RadionwinfoPublishesEverySectionInOrder) {
    for (int active : {3, 0}) {  // 0: no cells at all, and no serving cell
        SCOPED_TRACE(active);
        S().serving_cell_3g = {10700, 511, 0x0FFFFFFF, static_cast<int8_t>(0x9C),
                               static_cast<int8_t>(0xF6)};
        S().mobility = {1, 310, 260, 0xFFFE, 255};
        if (!active) Fail({TECHMODE_STRUCT_SERVING_CELL_3G});
        const std::string text =
            (active
                 ? "scell_uarfcn:n:10700\nscell_sc:n:511\nscell_rscp:n:-100\nscell_ecio:n:-10\n"
                   "scell_cellid:n:268435455\n"
                 : NA({"scell_uarfcn", "scell_sc", "scell_rscp", "scell_ecio", "scell_cellid"})) +
            "scell_mcc:n:310\nscell_mnc:n:260\nscell_lac:n:65534\nscell_rac:n:255\n" +
            SetLines(S().active_set, "aset_", "arfcn", active) +
            SetLines(S().monitored_set, "mset_", "uarfcn", active * 3);
        EXPECT_EQ(Run("radionwinfo"), "SUCCESS");
        EXPECT_EQ(Utra(), RadionwinfoUnsupported() + text);
    }
}

// ---- lteopinfo and nropinfo ----

// What a run of msg writes, with every list index of an empty list "N/A".
const char *const kLteNeighbourFormats[] = {"ncell_earfcn%d", "ncell_pci%d", "ncell_rsrp%d",
                                            "ncell_rsrq%d", "ncell_cellid%d"};
const char *const kLteSecondaryFormats[] = {"scc_earfcn%d", "scc_pci%d",  "scc_band%d",
                                            "scc_dl_bw%d",  "scc_rsrp%d", "scc_rsrq%d",
                                            "scc_sinr%d",   "scc_state%d"};
const char *const kNrNeighbourFormats[] = {
    "nr_ncell_arfcn%d",   "nr_ncell_pci%d",     "nr_ncell_band%d", "nr_ncell_ss_rsrp%d",
    "nr_ncell_ss_rsrq%d", "nr_ncell_ss_sinr%d", "nr_ncell_scs%d"};
template <size_t N>
std::string ListNA(const char *const (&formats)[N], int first, int last) {
    std::string out;
    char line[64];
    for (int i = first; i <= last; i++)
        for (const char *f : formats) {
            snprintf(line, sizeof line, f, i);
            out += std::string(line) + "::N/A\n";
        }
    return out;
}
const std::string kLteServingNA =
    NA({"scell_earfcn", "scell_pci", "scell_tac", "scell_cellid", "scell_mcc", "scell_mnc",
        "scell_band", "scell_dl_bw", "scell_rsrp", "scell_rsrq", "scell_rssi", "scell_sinr",
        "scell_cqi", "scell_ta"});
const std::string kNrServingNA =
    NA({"nr_scell_arfcn", "nr_scell_pci", "nr_scell_band", "nr_scell_ss_rsrp", "nr_scell_ss_rsrq",
        "nr_scell_ss_sinr", "nr_scell_scs"});

void Camped(sim::Scenario &s) {
    s.lte_serving_cell = {1,    262143, 503, 0xFFFE, 0x0FFFFFFF, 999,  99, 66, 0,
                          -312, 5,      -2,  80,     15,         1282, 0,  6,  254};
}

// Each row sets one part of the modem's state and names the lines that
// must appear together (present) and a line that must not (absent). Every
// field is at an edge of its range, one past it (a modem that lies: "data
// error!"), or not reported ("NOT SUPPORTED"); counts go past the lists'
// room and are cut to it.
TEST_F(Diag, LteopinfoValuesRangesAndLists) {
    RunCases(
        "lteopinfo", 3, 1 + 14 + 3 + 16 * 5 + 7 * 8,
        {
            {"serving cell, every field at an edge", true, Camped,
             "lte_camped::YES\nscell_earfcn:n:262143\nscell_pci:n:503\nscell_tac:n:65534\n"
             "scell_cellid:n:268435455\nscell_mcc:n:999\nscell_mnc:n:99\nscell_band:n:66\n"
             "scell_dl_bw::1.4MHz\nscell_rsrp:n:-156\nscell_rsrq:n:2.5\nscell_rssi:n:-1\n"
             "scell_sinr:n:40\nscell_cqi:n:15\nscell_ta:n:1282\nlte_rrc_state::RRC_IDLE\n"
             "emm_state::EMM-SERVICE-REQUEST-INITIATED\nemm_latest_cause:n:254\nncell_earfcn1::N/"
             "A\n",
             "SUPPORTED"},
            {"a modem that lies: every field one past its range", true,
             SET(s.lte_serving_cell = {1, 262144, 504, 0xFFFF, 0x10000000, 1000, 1000, 0, 6, -313,
                                       6, 1, 81, 16, 1283, 2, 7, 0xFF}),
             "lte_camped::YES\nscell_earfcn::data error!\nscell_pci::data error!\n"
             "scell_tac::NOT SUPPORTED\nscell_cellid::data error!\nscell_mcc::data error!\n"
             "scell_mnc::data error!\nscell_band::data error!\nscell_dl_bw::data error!\n"
             "scell_rsrp::data error!\nscell_rsrq::data error!\nscell_rssi::data error!\n"
             "scell_sinr::data error!\nscell_cqi::data error!\nscell_ta::data error!\n"
             "lte_rrc_state::data error!\nemm_state::data error!\nemm_latest_cause::NOT "
             "SUPPORTED\n",
             ""},
            {"the other edges", true,
             SET(s.lte_serving_cell = {1, 0, 0, 0, 0, 0, 0, 1, 5, -62, -68, -312, -46, 0, 0, 1, 0,
                                       0}),
             "scell_earfcn:n:0\nscell_pci:n:0\nscell_tac:n:0\nscell_cellid:n:0\nscell_mcc:n:0\n"
             "scell_mnc:n:0\nscell_band:n:1\nscell_dl_bw::20MHz\nscell_rsrp:n:-31\nscell_rsrq:n:-"
             "34\n"
             "scell_rssi:n:-156\nscell_sinr:n:-23\nscell_cqi:n:0\nscell_ta:n:0\n"
             "lte_rrc_state::RRC_CONNECTED\nemm_state::EMM-NULL\nemm_latest_cause:n:0\n",
             ""},
            {"fields left out and levels not reported", true,
             SET(Camped(s), s.faults[TECHMODE_STRUCT_LTE_SERVING_CELL].missing_tags = {4, 13, 16},
                 s.lte_serving_cell.rsrq = sim::kNoLevel),
             "scell_cellid::NOT SUPPORTED\nscell_mcc:n:999\n", ""},
            {"fields left out: the rest", true,
             SET(Camped(s), s.faults[TECHMODE_STRUCT_LTE_SERVING_CELL].missing_tags = {0, 13, 16},
                 s.lte_serving_cell.rsrq = sim::kNoLevel),
             "lte_camped::NOT SUPPORTED\nscell_earfcn:n:262143\n", ""},
            {"fields left out: CQI, EMM state, RSRQ", true,
             SET(Camped(s), s.faults[TECHMODE_STRUCT_LTE_SERVING_CELL].missing_tags = {13, 16},
                 s.lte_serving_cell.rsrq = sim::kNoLevel),
             "scell_rsrq::NOT SUPPORTED\nscell_rssi:n:-1\nscell_sinr:n:40\n"
             "scell_cqi::NOT SUPPORTED\nscell_ta:n:1282\nlte_rrc_state::RRC_IDLE\n"
             "emm_state::NOT SUPPORTED\n",
             ""},
            // One word more than the reply's room: the structure element runs past
            // what was received, so none of it is read.
            {"a field one word too long: nothing is read", true,
             SET(Camped(s), s.faults[TECHMODE_STRUCT_LTE_SERVING_CELL].overlong_tags = {9}),
             "lte_camped::NOT SUPPORTED\nscell_earfcn::NOT SUPPORTED\nscell_pci::NOT SUPPORTED\n",
             "scell_rsrq:n"},
            {"a reply of another structure fails the fetch", true,
             SET(Camped(s), s.faults[TECHMODE_STRUCT_LTE_SERVING_CELL].wrong_struct_type = 26),
             "lte_camped::N/A\n", ""},
            {"not camped: an empty row, the EMM state still shown", true,
             SET(Camped(s), s.lte_serving_cell.camped = 0),
             "lte_camped::NO\n" + kLteServingNA +
                 "lte_rrc_state::RRC_IDLE\nemm_state::EMM-SERVICE-REQUEST-INITIATED\n",
             "scell_pci:n"},
            {"two neighbours, one not read, the rest N/A", true,
             SET(s.lte_neighbours = {{1300, 101, -200, -20, 0x1A2B3C}, {2850, 7, -231, -39}}),
             "ncell_earfcn1:n:1300\nncell_pci1:n:101\nncell_rsrp1:n:-100\nncell_rsrq1:n:-10\n"
             "ncell_cellid1:n:1715004\nncell_earfcn2:n:2850\nncell_pci2:n:7\nncell_rsrp2:n:-115.5\n"
             "ncell_rsrq2:n:-19.5\nncell_cellid2::NOT SUPPORTED\n" +
                 ListNA(kLteNeighbourFormats, 3, 16) + "scc_earfcn1::N/A\n",
             ""},
            {"neighbours lying in range and identity", true,
             SET(s.lte_neighbours = {{262144, 504, -313, 6, 0x10000000}}),
             "ncell_earfcn1::data error!\nncell_pci1::data error!\nncell_rsrp1::data error!\n"
             "ncell_rsrq1::data error!\nncell_cellid1::data error!\n",
             ""},
            {"a count of 40 is cut to the room of 16", true,
             SET(s.lte_neighbours.assign(40, {100, 1, -200, -20})),
             "ncell_cellid15::NOT SUPPORTED\nncell_earfcn16:n:100\nncell_pci16:n:1\n"
             "ncell_rsrp16:n:-100\nncell_rsrq16:n:-10\nncell_cellid16::NOT SUPPORTED\nscc_earfcn1",
             "ncell_earfcn17"},
            {"a short neighbour block: the list reads N/A", true,
             SET(s.lte_neighbours = {{1300, 101, -200, -20}},
                 s.faults[TECHMODE_STRUCT_LTE_NEIGHBOUR_CELLS].truncate_block = 100),
             ListNA(kLteNeighbourFormats, 1, 16), "ncell_pci1:n"},
            {"two carriers, active and configured", true,
             SET(s.lte_secondary_cells = {{1850, 12, 3, 3, -210, -22, 26, 1},
                                          {9820, 300, 42, 5, -238, -30, -4, 0}}),
             "scc_earfcn1:n:1850\nscc_pci1:n:12\nscc_band1:n:3\nscc_dl_bw1::10MHz\n"
             "scc_rsrp1:n:-105\nscc_rsrq1:n:-11\nscc_sinr1:n:13\nscc_state1::ACTIVE\n"
             "scc_earfcn2:n:9820\nscc_pci2:n:300\nscc_band2:n:42\nscc_dl_bw2::20MHz\n"
             "scc_rsrp2:n:-119\nscc_rsrq2:n:-15\nscc_sinr2:n:-2\nscc_state2::CONFIGURED\n" +
                 ListNA(kLteSecondaryFormats, 3, 7),
             ""},
            {"carriers lying: codes, levels, not reported", true,
             SET(s.lte_secondary_cells = {{0xFFFFFFFF, 0xFFFF, 0xFFFF, 0xFF, sim::kNoLevel, 6, 81,
                                           2}}),
             "scc_earfcn1::NOT SUPPORTED\nscc_pci1::NOT SUPPORTED\nscc_band1::NOT SUPPORTED\n"
             "scc_dl_bw1::NOT SUPPORTED\nscc_rsrp1::NOT SUPPORTED\nscc_rsrq1::data error!\n"
             "scc_sinr1::data error!\nscc_state1::data error!\n",
             ""},
            {"a count of 9 is cut to the room of 7", true,
             SET(s.lte_secondary_cells.assign(9, {1850, 12, 3, 3, -210, -22, 26, 1})),
             "scc_sinr7:n:13\nscc_state7::ACTIVE\n", "scc_earfcn8"},
            {"the serving cell fetch fails", true, SET(Fail({TECHMODE_STRUCT_LTE_SERVING_CELL})),
             "lte_camped::N/A\n" + kLteServingNA +
                 NA({"lte_rrc_state", "emm_state", "emm_latest_cause"}) + "ncell_earfcn1::N/A\n",
             ""},
            {"only the carriers answer: SUCCESS", true,
             SET(Fail({TECHMODE_STRUCT_LTE_SERVING_CELL, TECHMODE_STRUCT_LTE_NEIGHBOUR_CELLS})),
             "lte_camped::N/A\n", ""},
            {"every fetch fails", false,
             SET(Fail({TECHMODE_STRUCT_LTE_SERVING_CELL, TECHMODE_STRUCT_LTE_NEIGHBOUR_CELLS,
                       TECHMODE_STRUCT_LTE_SECONDARY_CELLS})),
             "emm_latest_cause::N/A\n" + ListNA(kLteNeighbourFormats, 1, 16) +
                 ListNA(kLteSecondaryFormats, 1, 7),
             ""},
        });
}

sim::NrCell NrCellOf(uint32_t arfcn, uint16_t pci, uint16_t band, int16_t rsrp, int16_t rsrq,
                     int16_t sinr, uint8_t scs) {
    sim::NrCell c;
    c.arfcn = arfcn, c.pci = pci, c.band = band, c.ss_rsrp = rsrp, c.ss_rsrq = rsrq,
    c.ss_sinr = sinr, c.scs = scs;
    return c;
}
void Sa(sim::Scenario &s) {
    s.nr_cells.cell = NrCellOf(3279165, 1007, 78, -62, -86, -46, 4);
    s.nr_cells.mode = 1;
    s.nr_cells.tac = 0xFFFFFF;
    s.nr_cells.nci = (int64_t{1} << 36) - 1;
}

// As for lteopinfo: edges, one past them, not reported, the modes, and a
// neighbour count past the room of 8.
TEST_F(Diag, NropinfoValuesRangesModesAndNeighbours) {
    RunCases(
        "nropinfo", 4, 1 + 7 + 2 + 8 * 7,
        {
            {"SA, every field at an edge", true, Sa,
             "nr_mode::SA\nnr_scell_arfcn:n:3279165\nnr_scell_pci:n:1007\nnr_scell_band:n:78\n"
             "nr_scell_ss_rsrp:n:-31\nnr_scell_ss_rsrq:n:-43\nnr_scell_ss_sinr:n:-23\n"
             "nr_scell_scs::240kHz\nnr_scell_tac:n:16777215\nnr_scell_nci:n:68719476735\n" +
                 ListNA(kNrNeighbourFormats, 1, 8),
             ""},
            {"SA, the other edges", true,
             SET(Sa(s), s.nr_cells.cell = NrCellOf(0, 0, 1, -312, 40, 80, 0), s.nr_cells.tac = 0,
                 s.nr_cells.nci = 0),
             "nr_scell_arfcn:n:0\nnr_scell_pci:n:0\nnr_scell_band:n:1\nnr_scell_ss_rsrp:n:-156\n"
             "nr_scell_ss_rsrq:n:20\nnr_scell_ss_sinr:n:40\nnr_scell_scs::15kHz\nnr_scell_tac:n:0\n"
             "nr_scell_nci:n:0\n",
             ""},
            {"a modem that lies: one past every range", true,
             SET(Sa(s), s.nr_cells.cell = NrCellOf(3279166, 1008, 0, -61, -87, 81, 5),
                 s.nr_cells.tac = 0x1000000, s.nr_cells.nci = int64_t{1} << 36),
             "nr_scell_arfcn::data error!\nnr_scell_pci::data error!\nnr_scell_band::data error!\n"
             "nr_scell_ss_rsrp::data error!\nnr_scell_ss_rsrq::data error!\n"
             "nr_scell_ss_sinr::data error!\nnr_scell_scs::data error!\n"
             "nr_scell_tac::data error!\nnr_scell_nci::data error!\n",
             ""},
            {"SA without what the modem does not report", true,
             SET(Sa(s),
                 s.nr_cells.cell = NrCellOf(0xFFFFFFFF, 0xFFFF, 0xFFFF, sim::kNoLevel,
                                            sim::kNoLevel, sim::kNoLevel, 0xFF),
                 s.nr_cells.tac = 0xFFFFFFFF, s.nr_cells.nci = -1),
             "nr_mode::SA\n" + NS({"nr_scell_arfcn", "nr_scell_pci", "nr_scell_band",
                                   "nr_scell_ss_rsrp", "nr_scell_ss_rsrq", "nr_scell_ss_sinr",
                                   "nr_scell_scs", "nr_scell_tac", "nr_scell_nci"}),
             ""},
            {"NSA: the secondary cell, no NR identities", true, SET(Sa(s), s.nr_cells.mode = 2),
             "nr_mode::NSA\nnr_scell_arfcn:n:3279165\nnr_scell_pci:n:1007\n", "nr_scell_tac:n"},
            {"NSA: the identities are empty", true, SET(Sa(s), s.nr_cells.mode = 2),
             "nr_scell_scs::240kHz\nnr_scell_tac::N/A\nnr_scell_nci::N/A\n", ""},
            {"no NR cell: an empty row", true, SET(Sa(s), s.nr_cells.mode = 0),
             "nr_mode::NONE\n" + kNrServingNA + NA({"nr_scell_tac", "nr_scell_nci"}), ""},
            {"a mode code of its own: data error!, an empty row", true,
             SET(Sa(s), s.nr_cells.mode = 7), "nr_mode::data error!\n" + kNrServingNA, ""},
            {"neighbours: count 12 cut to 8", true,
             SET(s.nr_cells.neighbours.assign(12, NrCellOf(627264, 500, 78, -190, -21, 24, 1))),
             "nr_ncell_arfcn8:n:627264\nnr_ncell_pci8:n:500\nnr_ncell_band8:n:78\n"
             "nr_ncell_ss_rsrp8:n:-95\nnr_ncell_ss_rsrq8:n:-10.5\nnr_ncell_ss_sinr8:n:12\n"
             "nr_ncell_scs8::30kHz\n",
             "nr_ncell_arfcn9"},
            {"two neighbours, each its own", true,
             SET(s.nr_cells.neighbours = {NrCellOf(627264, 500, 78, -190, -21, 24, 1),
                                          NrCellOf(643334, 17, 77, -221, -30, -10, 0)}),
             "nr_ncell_arfcn1:n:627264\nnr_ncell_pci1:n:500\nnr_ncell_band1:n:78\n"
             "nr_ncell_ss_rsrp1:n:-95\nnr_ncell_ss_rsrq1:n:-10.5\nnr_ncell_ss_sinr1:n:12\n"
             "nr_ncell_scs1::30kHz\nnr_ncell_arfcn2:n:643334\nnr_ncell_pci2:n:17\n"
             "nr_ncell_band2:n:77\nnr_ncell_ss_rsrp2:n:-110.5\nnr_ncell_ss_rsrq2:n:-15\n"
             "nr_ncell_ss_sinr2:n:-5\nnr_ncell_scs2::15kHz\nnr_ncell_arfcn3::N/A\n",
             ""},
            {"a neighbour lying", true,
             SET(s.nr_cells.neighbours = {NrCellOf(3279166, 1008, 0, -313, -87, -47, 9)}),
             "nr_ncell_arfcn1::data error!\nnr_ncell_pci1::data error!\nnr_ncell_band1::data "
             "error!\n"
             "nr_ncell_ss_rsrp1::data error!\nnr_ncell_ss_rsrq1::data error!\n"
             "nr_ncell_ss_sinr1::data error!\nnr_ncell_scs1::data error!\n" +
                 ListNA(kNrNeighbourFormats, 2, 8),
             ""},
            {"the fetch fails", false, SET(Fail({TECHMODE_STRUCT_NR_CELL_INFO})),
             "nr_mode::N/A\n" + kNrServingNA + NA({"nr_scell_tac", "nr_scell_nci"}) +
                 ListNA(kNrNeighbourFormats, 1, 8),
             ""},
            {"a short block fails the fetch", false,
             SET(Sa(s), s.faults[TECHMODE_STRUCT_NR_CELL_INFO].truncate_block = 156),
             "nr_mode::N/A\n", ""},
        });
}

// The new commands keep their own last ids, as the nine do.
TEST_F(Diag, LteAndNrDuplicateIds) {
    for (const char *msg : {"lteopinfo", "nropinfo"}) {
        SCOPED_TRACE(msg);
        EXPECT_EQ(Request(msg, "7"), "SUCCESS");
        EXPECT_NE(Eutra() + Nr(), "");
        EXPECT_EQ(Request(msg, "7"), "FAILURE");
        EXPECT_EQ(Eutra() + Nr(), "");
        EXPECT_EQ(Request(msg, "1"), "SUCCESS");
        EXPECT_EQ(Request(msg, "1"), "SUCCESS");
        Eutra(), Nr();
    }
    EXPECT_EQ(Request("identity", "7"), "SUCCESS");  // 7 was lteopinfo's and nropinfo's only
}

}  // namespace

// SPDX-License-Identifier: Apache-2.0
// techmode-sim mounted in a private mount namespace, fetched and decoded by
// the daemon's own fetchers; faults, scenario replacement and bad scenarios.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <devctl.h>

#include <cstring>
#include <fstream>
#include <random>
#include <tuple>
#include <utility>

#include "ErrorOf.h"
#include "Replies.h"
#include "Scenario.h"
#include "Structures.h"
#include "devctl_xfer.h"
#include "support/Sandbox.h"
#include "techmode/techmode_protocol.h"
#include "techmode/techmode_structs.h"
#include "techmode/techmode_text.h"
#include "techmode/techmode_transport.h"

namespace {

using testsupport::Child;

// Values easy to tell apart, no drift, a list longer than its block holds.
std::string TestScenario(const std::string &faults = "") {
    std::string gsm;
    for (int i = 0; i < 40; i++)
        gsm += std::string(i ? "," : "") + "{\"arfcn\":" + std::to_string(600 + i) +
               ",\"bsic\":" + std::to_string(i) + ",\"rssi_dbm\":" + std::to_string(-60 - i) + "}";
    return R"({"serving_cell_3g":{"uarfcn":10700,"psc":511,"rscp_dbm":-100,"ecio_db":-10},
      "serving_cell_2g":{"arfcn":1023,"cell_id":65535,"timing_advance":63},
      "bearers_3g":[{"rab_id":5}], "sm_cc_cause":{"sm_cause":26,"cc_cause":31},
      "hspa_channel":{"edch_tti_ms":2}, "active_set":[{"psc":310}],
      "inter_rat_measurements":{"gsm_cells":[)" +
           gsm + R"(]}, "drift":{"enabled":false})" +
           (faults.empty() ? "" : ",\"faults\":" + faults) + "}";
}

std::string Nested(size_t depth) {
    return std::string(depth, '[') + std::string(depth, ']');
}

// The reply the simulator serves for a structure type elapsed_ms into its run.
std::vector<uint8_t> Served(const sim::Scenario &s, int type, double elapsed_ms) {
    const uint8_t req[12] = {0x01, 0x20, 0x02, 0x00, 0x05, 0x20, 0x01, 0x00, uint8_t(type)};
    std::mt19937 rng;
    return sim::Answer(s, DCMD_TECHMODE_REQUEST, req, sizeof req, elapsed_ms, rng).bytes;
}

// What a fetcher of the daemon decodes from the device; its result must be want.
template <typename T>
T Fetch(int (*get)(int, T *), int fd, int want = 0) {
    T v{};
    EXPECT_EQ(get(fd, &v), want);
    return v;
}

class TechmodeSim : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string why = testsupport::EnterPrivateMountNamespace();
        if (!why.empty()) GTEST_SKIP() << why;
        dir_ = testsupport::MakeTempDir("tmsim");
        ASSERT_FALSE(dir_.empty());
        scenario_path_ = dir_ + "/scenario.json";
        WriteScenarioFile(TestScenario());
        mnt_ = dir_ + "/mnt";
        ASSERT_EQ(mkdir(mnt_.c_str(), 0755), 0);
        ASSERT_TRUE(sim_.Start({TECHMODE_SIM_BIN, "-f", "-v", "-s", scenario_path_, mnt_}, "",
                               dir_ + "/sim.err"));
        ASSERT_TRUE(testsupport::WaitForMount(mnt_)) << testsupport::ReadFile(dir_ + "/sim.err");
        fd_ = open((mnt_ + "/techmode").c_str(), O_RDWR);
        ASSERT_GE(fd_, 0) << strerror(errno);
    }
    void TearDown() override {
        if (fd_ >= 0) close(fd_);
        int status = sim_.Stop(SIGTERM);  // unmounted and ended by itself, as a normal stop
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    void WriteScenarioFile(const std::string &text) { std::ofstream(scenario_path_) << text; }
    // Replaces the running scenario through the control file: close()'s errno or 0.
    int ReplaceScenario(const std::string &text) {
        int fd = open((mnt_ + "/scenario").c_str(), O_WRONLY | O_TRUNC);
        EXPECT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
        return close(fd) == 0 ? 0 : errno;
    }

    bool Logged(const std::string &text) const {  // within 5 s
        for (int i = 0; i < 500; i++, usleep(10000))
            if (testsupport::ReadFile(dir_ + "/sim.err").find(text) != std::string::npos)
                return true;
        return false;
    }

    std::string dir_, mnt_, scenario_path_;
    Child sim_;
    int fd_ = -1;
};

// A list longer than its block fills it and says its length; each fault
// spoils its structure's reply.
TEST_F(TechmodeSim, RepliesRequestsAndScenarioControl) {
    const auto ir = Fetch(getDtaInterRatMeasurementsInfoDta, fd_);
    EXPECT_EQ(std::tuple(ir.gsm_cell_count, ir.gsm_cells[31].arfcn, ir.gsm_cells[31].rssi),
              std::tuple(40, 631, -91));
    const std::string faults = TestScenario(R"({"mobility": {"device_error": 5},
        "basic": {"wrong_command": true}, "radio_stats": {"wrong_struct_type": 9},
        "serving_cell_3g": {"missing_tags": [0, 3]}, "hspa_irat_cm": {"raw": "01200000"},
        "serving_cell_2g": {"overlong_tags": [2], "missing_tags": [16]},
        "bearers_3g": {"truncate_block": 100}, "inter_rat_measurements": {"overlong_block": true},
        "identity": {"missing_tags": [3], "overlong_tags": [1]},
        "sm_cc_cause": {"oversize_reply": 64}, "active_set": {"device_error": 110, "probability": 0}
    })");
    ASSERT_EQ(ReplaceScenario(faults), 0);
    testing::internal::CaptureStdout();  // the fetchers' complaints
    // A device error, another command or structure type, a raw reply: the fetch fails.
    Fetch(getDtaMobilityDta, fd_, -1);
    Fetch(getDtaBasicDta, fd_, -1);
    Fetch(getDtaRadioStatDta, fd_, -1);
    Fetch(getDtaHspaInterRatMeasDta, fd_, -1);
    // Missing tags 0 and 3: the first byte reads 0xFF, rscp stays 0.
    const auto s3 = Fetch(getDta3GServingCellDta, fd_);
    EXPECT_EQ(std::tuple(s3.uarfcn & 0xFF, s3.rscp, s3.psc), std::tuple(0xFF, 0, 511));
    // The over-long ARFCN is refused; the other fields arrive.
    const auto s2 = Fetch(getDta2GServingCellDta, fd_);
    EXPECT_EQ(std::tuple(s2.arfcn, s2.cell_id, s2.timing_advance), std::tuple(0, 65535, 0));
    // A truncated or over-long block is never copied.
    EXPECT_EQ(Fetch(getDta3GBearerInfoDta, fd_, -1).rabs[0].rab_id, 0);
    EXPECT_EQ(Fetch(getDtaInterRatMeasurementsInfoDta, fd_, -1).gsm_cells[0].arfcn, 0);
    // Too many IMSI bytes are cut (with a complaint), a missing member leaves its field.
    const auto id = Fetch(getDtaIdentityDta, fd_);
    char imsi[32];
    FormatImsiDigits(id.imsi, imsi, sizeof imsi);
    EXPECT_EQ(std::tuple(std::string(imsi), id.ptmsi[0], id.srnc_id),
              std::tuple("310150123456789fff", 0, 1234));
    // A reply larger than the room is cut to it by devctlv and still decodes.
    EXPECT_EQ(Fetch(getDtaSmCcCauseDta, fd_).cc_cause, 31);
    EXPECT_EQ(Fetch(getDtaActiveSetInfoDta, fd_).cell_count, 1);  // probability 0: never
    EXPECT_NE(testing::internal::GetCapturedStdout().find(
                  "Too Many byte primitive TLV's in array member TLV"),
              std::string::npos);
    // The over-size reply itself: the reply, then 64 bytes more.
    const sim::Scenario s = sim::ParseScenario(faults, "x");
    EXPECT_EQ(Served(s, TECHMODE_STRUCT_SM_CC_CAUSE, 0).size(),
              sim::EncodeStructure(s, TECHMODE_STRUCT_SM_CC_CAUSE).size() + 64);
    ASSERT_EQ(ReplaceScenario(TestScenario()), 0);  // no faults: requests, scenario control
    uint8_t req[100] = {
        0x01, 0x20, 0x02, 0x00, 0x05, 0x20, 0x01, 0x00, TECHMODE_STRUCT_MOBILITY_DATA};
    uint8_t reply[72];
    iov_t sv, rv;
    SETIOV(&sv, req, sizeof req);
    SETIOV(&rv, reply, sizeof reply);
    EXPECT_EQ(devctlv(fd_, 0x1001, 1, 1, &sv, &rv, nullptr), ENOTTY);
    // Another structure type, message id or length of the type element.
    const std::pair<int, int> bad[] = {{8, kTechModeStructTypeCount}, {4, 0x06}, {6, 0x02}};
    for (auto [at, value] : bad) {
        const uint8_t good = std::exchange(req[at], uint8_t(value));
        EXPECT_EQ(devctlv(fd_, 0x1000, 1, 1, &sv, &rv, nullptr), EINVAL) << at;
        req[at] = good;
    }
    devctl_xfer x{};  // a transfer that claims more than it can hold
    x.dcmd = 0x1000;
    x.send_len = DEVCTL_XFER_MAX + 1;
    x.recv_len = 64;
    memcpy(x.data, req, sizeof req);
    EXPECT_EQ(ioctl(fd_, DEVCTL_IOC_XFER, &x) == 0 ? 0 : errno, EINVAL);
    // A refused scenario (nested too deep) fails close() and keeps the old one.
    const std::string deep = Nested(150000), why = "line 1 column 257: nested more than 256 levels";
    EXPECT_EQ(ReplaceScenario(deep), EINVAL);
    EXPECT_TRUE(Logged("scenario refused: written scenario: " + why));
    auto mcc = [&] { return Fetch(getDtaMobilityDta, fd_).mcc; };
    EXPECT_EQ(mcc(), 310);
    EXPECT_EQ(ReplaceScenario("{\"mobility\":{\"mcc\":1}}"), 0);
    EXPECT_EQ(mcc(), 1);
    EXPECT_EQ(testsupport::ReadFile(mnt_ + "/scenario"), "{\"mobility\":{\"mcc\":1}}");
    // A scenario text stops at 1 MiB.
    int fd = open((mnt_ + "/scenario").c_str(), O_WRONLY);
    const std::string chunk(64 * 1024, ' ');
    size_t written = 0;
    for (ssize_t n; written <= (1u << 20) && (n = write(fd, chunk.data(), chunk.size())) > 0;)
        written += static_cast<size_t>(n);
    EXPECT_EQ(errno, EFBIG);
    EXPECT_EQ(written, 1u << 20);
    EXPECT_EQ(close(fd) == 0 ? 0 : errno, EINVAL);  // blanks are no scenario
    // ">>" replaces it as ">" does; of one open file's holders the last close replaces.
    fd = open((mnt_ + "/scenario").c_str(), O_WRONLY | O_APPEND);
    EXPECT_EQ(write(fd, "{\"mobility\":", 12), 12);
    EXPECT_EQ(close(dup(fd)) == 0 ? 0 : errno, EINVAL);
    EXPECT_EQ(write(fd, "{\"mcc\":2}}", 10), 10);
    EXPECT_EQ(close(fd), 0);
    EXPECT_EQ(mcc(), 2);
    // One open file, one scenario after another, each at the close of a copy.
    fd = open((mnt_ + "/scenario").c_str(), O_WRONLY);
    for (int n = 3; n <= 4; n++) {
        const std::string text = "{\"mobility\":{\"mcc\":" + std::to_string(n) + "}}";
        EXPECT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
        EXPECT_EQ(close(dup(fd)), 0);
        EXPECT_EQ(mcc(), n);
    }
    close(fd);
    // SIGHUP reloads the scenario file when it comes, not at the next request.
    WriteScenarioFile("{\"mobility\":{\"mcc\":999}}");
    kill(sim_.pid(), SIGHUP);
    EXPECT_TRUE(Logged("scenario reloaded from " + scenario_path_));
    EXPECT_EQ(mcc(), 999);
    // Texts pending in open writers are capped together (ENOSPC past the cap),
    // and a closed writer gives its share back.
    const std::string text(1 << 20, ' ');  // each open file's text may grow to 1 MiB
    auto fill = [&](int fd) {              // 0, or the errno of the write that failed
        for (ssize_t n = 0, done = 0; done < ssize_t(text.size()); done += n)
            if ((n = write(fd, text.data() + done, text.size() - done)) < 0) return errno;
        return 0;
    };
    std::vector<int> fds;
    int err = 0;
    while (fds.size() < 20 && err == 0) {
        fds.push_back(open((mnt_ + "/scenario").c_str(), O_WRONLY));
        err = fill(fds.back());
    }
    EXPECT_EQ(err, ENOSPC) << strerror(err);
    EXPECT_EQ(fds.size(), 9u);  // eight whole texts fit
    EXPECT_EQ(mcc(), 999);
    for (int fd : fds) close(fd);  // refused (no JSON), and dropped
    // A release reaches the simulator after close() returns: try for a while.
    err = ENOSPC;
    for (int i = 0; i < 250 && err == ENOSPC; i++) {
        int fd = open((mnt_ + "/scenario").c_str(), O_WRONLY);
        err = fill(fd);
        close(fd);
        if (err == ENOSPC) usleep(20 * 1000);
    }
    EXPECT_EQ(err, 0) << strerror(err);  // and the simulator served on (its exit status)
}

// A written scenario reads back to the same replies and is written again the
// same, for every kind of value. Drift moves the levels and brings them back
// after a period.
TEST(TechmodeSimScenario, WrittenScenariosReadBackAndDriftMoves) {
    const std::string hard = R"({"mobility": {"active_rat": 200}, "hspa_irat_cm": 7,
        "hspa_channel": {"edch_tti_ms": 2},
        "idle_neighbours_2g": [{"cell_type": 255, "c1": -128}, {"cell_type": "GPRS"}],
        "pdp_contexts": [{"apn": "a\"b\\c\u00e9\t/", "ipv4": "255.255.255.255",
                          "ipv6": "1:2:3:4:5:6:7:8"}],
        "identity": {"imeisv": "12345678901234567", "imsi": "1", "tmsi": "ffffffff"},
        "bearers_3g": [{"datarate_ul": 4294967295, "domain": 2}],
        "battery_temperature_c": -2147483648, "drift": {"enabled": false}})";
    // Levels in half dB (a fraction rounded to the nearest half), null for
    // not reported, past any 3GPP range; identities at their widest.
    const std::string lte = R"({"lte_serving_cell": {"camped": "YES", "rsrp_dbm": -95.5,
        "rsrq_db": -10.26, "rssi_dbm": null, "sinr_db": 16383.5, "cell_id": 4294967295},
        "lte_neighbours": [{"earfcn": 262143, "rsrp_dbm": -16383.5}, {}],
        "lte_secondary_cells": [{"state": "ACTIVE", "dl_bandwidth": 255}],
        "nr_cells": {"mode": "SA", "nci": 68719476735, "ss_rsrq_db": 2.5,
                     "neighbours": [{"scs": "240kHz", "ss_sinr_db": -0.5}]}})";
    for (const std::string &json :
         {std::string(sim::DefaultScenarioJson()), TestScenario(), hard, lte}) {
        const sim::Scenario s = sim::ParseScenario(json, "x");
        const std::string written = sim::WriteScenario(s);
        const sim::Scenario back = sim::ParseScenario(written, "written");
        for (unsigned type = 0; type < kTechModeStructTypeCount; type++)
            EXPECT_EQ(sim::EncodeStructure(back, type), sim::EncodeStructure(s, type))
                << sim::StructureName(type) << " of " << written;
        EXPECT_EQ(sim::WriteScenario(back), written);
    }

    const sim::Scenario d =
        sim::ParseScenario(R"({"drift":{"enabled":true,"period_ms":1000,"amplitude_db":5}})", "x");
    const int type = TECHMODE_STRUCT_SERVING_CELL_3G;
    EXPECT_NE(Served(d, type, 250), Served(d, type, 0));
    EXPECT_EQ(Served(d, type, 1000), Served(d, type, 0));

    // Half-dB levels drift by twice as many steps; one not reported stays
    // so, and a level at the edge of its member stays inside it.
    const sim::Scenario h = sim::ParseScenario(
        R"({"drift":{"enabled":true,"period_ms":1000,"amplitude_db":5},
            "lte_serving_cell":{"rsrp_dbm":-95,"rsrq_db":null,"sinr_db":-16383.5}})",
        "x");
    auto level = [&h](double ms, size_t tag) {
        // Field tag's one-word value, after the command and structure headers.
        const std::vector<uint8_t> r = Served(h, TECHMODE_STRUCT_LTE_SERVING_CELL, ms);
        const size_t at = 8 + 8 * tag + 4;
        return int16_t(r.at(at) | r.at(at + 1) << 8);
    };
    EXPECT_EQ(level(0, 9), -190);
    EXPECT_EQ(level(250, 9), -180);  // a quarter period: +5 dB
    EXPECT_EQ(level(250, 10), kTechModeLevelNotReported);
    EXPECT_EQ(level(750, 12), kTechModeLevelNotReported + 1);
}

TEST(TechmodeSimScenario, BadScenariosNameTheFieldAndProblem) {
    const std::string range = "must be an integer from 0 to 65535, got ";
    const std::string cases[][2] = {
        {R"({"mobility":{"mcc":70000}})", "mobility.mcc: " + range + "70000"},
        {R"({"extra":1})", "extra: unknown field"},
        {R"({"identity":{"imsi":"31015a"}})", "identity.imsi: must hold decimal digits only"},
        {R"({"identity":{"tmsi":"123"}})", "identity.tmsi: must hold exactly 8 hexadecimal digits"},
        {R"({"bearers_3g":[{},{},{},{},{},{},{},{},{}]})", "bearers_3g: holds at most 8 entries"},
        {R"({"pdp_contexts":[{"ipv4":"1.2.3"}]})", "pdp_contexts[0].ipv4: must be an IPv4 address"},
        {R"({"faults":{"mobilty":{}}})", "faults.mobilty: unknown field; known: struct0, basic, "},
        {R"({"mobility":{"mcc":1,"mcc":70000}})", "mobility.mcc: duplicate field"},
        {R"({"mobility":{"mcc":18446744073709551615}})", "mobility.mcc: " + range + "1844674"},
        {R"({"mobility":{"mcc":1e3}})", "mobility.mcc: " + range + "1000 written as a fraction"},
        {R"({"faults":{"identity":{"missing_tags":[99]}}})",
         "faults.identity.missing_tags[0]: identity has no tag 99 (its tags: 0, 1, 2, 3, 6)"},
        {R"({"faults":{"basic":{"truncate_block":3}}})",
         "faults.basic.truncate_block: applies to block structures only"},
        {R"({"faults":{"basic":{"device_error":4096}}})",
         "faults.basic.device_error: must be an errno value from 1 to 4095"},
        {R"({"faults":{"basic":{"raw":"0g"}}})", "faults.basic.raw: must hold hexadecimal bytes"},
        {R"({"hspa_channel":{"edch_tti_ms":5}})", "hspa_channel.edch_tti_ms: must be 2 or 10"},
        {R"({"lte_serving_cell":{"rsrp_dbm":"-95"}})",
         "lte_serving_cell.rsrp_dbm: must be a level from -16383.5 to 16383.5 (in steps of 0.5) "
         "or null"},
        {R"({"lte_neighbours":[{"rsrq_db":16384}]})", "lte_neighbours[0].rsrq_db: must be a level"},
        {R"({"nr_cells":{"nci":68719476736}})",
         "nr_cells.nci: must be an integer from -1 to 68719476735"},
        {"{\n\"a\":", "line 2 column 5: "},
        {std::string("{}\0", 3), "the text holds a NUL byte (at byte 2)"},
        // 256 levels are parsed (and then found to be no scenario), 257 are not.
        {Nested(256), "top level: must be an object"},
        {Nested(257), "line 1 column 257: nested more than 256 levels deep"},
        {"{\"faults\":" + Nested(300) + "}", "line 1 column 266: nested more than 256 levels"},
    };
    for (const auto &[json, error] : cases) {
        SCOPED_TRACE(json);
        EXPECT_EQ(ErrorOf([&] { sim::ParseScenario(json, "x"); }).substr(0, error.size() + 3),
                  "x: " + error);
    }
    EXPECT_EQ(ErrorOf([] { sim::ParseScenario(sim::DefaultScenarioJson(), "built-in"); }),
              "accepted");
    EXPECT_EQ(ErrorOf([] { sim::LoadScenarioFile("/"); }), "/: Is a directory");
}

}  // namespace

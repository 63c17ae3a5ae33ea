// techmode-sim through the real device: the simulator is mounted in a
// private mount namespace and every structure is fetched and decoded by the
// daemon's own fetchers; faults, scenario replacement and bad scenarios.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <string.h>
#include <unistd.h>

#include <devctl.h>

#include <fstream>
#include <string>

#include "Scenario.h"
#include "support/Sandbox.h"
#include "techmode/techmode_structs.h"
#include "techmode/techmode_text.h"
#include "techmode/techmode_transport.h"

namespace {

using testsupport::Child;

// A scenario with values easy to tell apart, no drift, and lists longer
// than the blocks hold.
std::string TestScenario(const std::string &faults = "") {
    std::string gsm, intra, idle;
    for (int i = 0; i < 40; i++) {
        if (i) gsm += ",", intra += ",", idle += ",";
        gsm += "{\"arfcn\":" + std::to_string(600 + i) + ",\"bsic\":" + std::to_string(i) +
               ",\"rssi_dbm\":" + std::to_string(-60 - i) + "}";
        intra += "{\"psc\":" + std::to_string(100 + i) + ",\"ecno_db\":-9,\"rscp_dbm\":-100}";
        idle += "{\"cell_type\":255,\"arfcn\":" + std::to_string(1 + i) + ",\"rssi_dbm\":-70}";
    }
    return R"({"identity":{"imeisv":"3538070512345601","imsi":"310150123456789",
                 "tmsi":"01AB00FF","ptmsi":"C0FFEE01","srnc_id":65535},
      "mobility":{"active_rat":"GSM","mcc":262,"mnc":1,"lac":4660,"rac":200},
      "basic":{"gmm_cause":7,"mm_cause":17,"rr_cause":65,"rr_state":122},
      "radio_stats":{"rrc_state":4,"rrc_reject_cause":1,"rrc_release_cause":2,"rrc_conn_state":10,
                     "t3212":240,"t3312":3240,"t3314":44},
      "serving_cell_3g":{"uarfcn":10700,"psc":511,"cell_id":4294967295,"rscp_dbm":-100,"ecio_db":-10},
      "serving_cell_2g":{"gprs_state":"RAU_INIT","bsic":63,"arfcn":1023,"cell_id":65535,"band":"PCS_1900",
                         "nco":"NC2","nmo":"Mode III","msc_rev":2,"sgsn_rev":3,"edge_support":"EGPRS RACH",
                         "tbf_coding_scheme":12,"tfi_ul":31,"tfi_dl":30,"timeslots_ul":2,"timeslots_dl":4,
                         "tx_power_dbm":-5,"timing_advance":63},
      "bearers_3g":[{"rab_id":5,"datarate_ul":384000,"datarate_dl":7200000,"maxrate_ul":1,"maxrate_dl":2,
                     "traffic_class":3,"domain":"PS","bler_residual":10,"codec":99,"ciphering":2}],
      "bearer_2g":{"datarate_ul":13600,"datarate_dl":59200,"maxrate_ul":27200,"maxrate_dl":236800,
                   "domain":"CS","bler_residual":20,"codec":3,"ciphering":7},
      "dedicated_channel_power":{"tx_power_dbm":-10,"tx_power_step":246,"utra_rssi_dbm":-70},
      "inter_rat_measurements":{"gsm_cells":[)" +
           gsm +
           R"(],"utra_cells":[{"uarfcn":10562,"psc":7,"rscp_dbm":-99,"ecn0_db":-12,"rssi_dbm":-66}]},
      "hspa_channel":{"hssch_code":15,"hsdpa_rate":14400,"edch_tti_ms":2},
      "hspa_irat_cm":"ON",
      "radio_access_3g":{"initial_tx_power_dbm":-10,"rach_power_step":246,"max_preamble_retrans":64},
      "sm_cc_cause":{"sm_cause":26,"cc_cause":31},
      "pdp_contexts":[{"apn":"internet","ipv4":"192.168.1.10","ipv6":"2001:db8::1"},
                      {"apn":")" +
           std::string(100, 'a') + R"("}],
      "neighbours_3g":{"intra":[)" +
           intra + R"(],
                       "inter":[{"uarfcn":10713,"psc":44,"ecno_db":-11,"rscp_dbm":-95,"rssi_dbm":-80}]},
      "idle_neighbours_2g":[)" +
           idle + R"(],
      "dedicated_measurement_2g":{"rxlev_full":-20,"rxlev_sub":30,"rxqual_full":255,"rxqual_sub":7,
                                  "cells":[{"arfcn":520,"bsic":12,"rxlev":28}]},
      "active_set":[{"uarfcn":10700,"psc":310,"rscp_dbm":-85,"ecio_db":-6}],
      "monitored_set":[{"uarfcn":10713,"psc":44,"rscp_dbm":-95,"ecio_db":-11},
                       {"uarfcn":10713,"psc":45,"rscp_dbm":-96,"ecio_db":-12}],
      "battery_temperature_c":-12,
      "drift":{"enabled":false})" +
           (faults.empty() ? "" : ",\"faults\":" + faults) + "}";
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
        ASSERT_TRUE(sim_.Start({TECHMODE_SIM_BIN, "-f", "-s", scenario_path_, mnt_}, "",
                               dir_ + "/sim.err"));
        ASSERT_TRUE(testsupport::WaitForMount(mnt_)) << testsupport::ReadFile(dir_ + "/sim.err");
        fd_ = open((mnt_ + "/techmode").c_str(), O_RDWR);
        ASSERT_GE(fd_, 0) << strerror(errno);
    }
    void TearDown() override {
        if (fd_ >= 0) close(fd_);
        sim_.Stop(SIGTERM);
    }
    void WriteScenarioFile(const std::string &text) { std::ofstream(scenario_path_) << text; }
    // Replaces the running scenario through the control file; returns the
    // result of close().
    int ReplaceScenario(const std::string &text) {
        int fd = open((mnt_ + "/scenario").c_str(), O_WRONLY | O_TRUNC);
        if (fd < 0) return -errno;
        EXPECT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
        return close(fd) == 0 ? 0 : errno;
    }

    std::string dir_, mnt_, scenario_path_;
    Child sim_;
    int fd_ = -1;
};

TEST_F(TechmodeSim, EveryStructureDecodesToTheScenario) {
    char text[32];
    IdentityData id{};
    ASSERT_EQ(getDtaIdentityDta(fd_, &id), 0);
    FormatImeiDigits(id.imeisv, text, sizeof text);
    EXPECT_STREQ(text, "3538070512345601f");
    FormatImsiDigits(id.imsi, text, sizeof text);
    EXPECT_STREQ(text, "310150123456789fff");
    FormatTmsiHex(id.tmsi, text, sizeof text);
    EXPECT_STREQ(text, "01AB00FF");
    FormatTmsiHex(id.ptmsi, text, sizeof text);
    EXPECT_STREQ(text, "C0FFEE01");
    EXPECT_EQ(id.srnc_id, 65535);

    MobilityData m{};
    ASSERT_EQ(getDtaMobilityDta(fd_, &m), 0);
    EXPECT_EQ(m.active_rat, 0);
    EXPECT_EQ(m.mcc, 262);
    EXPECT_EQ(m.mnc, 1);
    EXPECT_EQ(m.lac, 4660);
    EXPECT_EQ(m.rac, 200);

    BasicData b{};
    ASSERT_EQ(getDtaBasicDta(fd_, &b), 0);
    EXPECT_EQ(b.gmm_cause, 7);
    EXPECT_EQ(b.mm_cause, 17);
    EXPECT_EQ(b.rr_cause, 65);
    EXPECT_STREQ(RrStateText(b.rr_state), "Packet Dedicated Concurrent");

    RadioStatData r{};
    ASSERT_EQ(getDtaRadioStatDta(fd_, &r), 0);
    EXPECT_STREQ(RrcStateText(r.rrc_state), "IDLE");
    EXPECT_STREQ(RrcConnStateText(r.rrc_conn_state), "INTERRAT_U2G");
    EXPECT_EQ(r.rrc_reject_cause, 1);
    EXPECT_EQ(r.rrc_release_cause, 2);
    EXPECT_EQ(r.t3212, 240);
    EXPECT_EQ(r.t3312, 3240);
    EXPECT_EQ(r.t3314, 44);

    ServingCell3G s3{};
    ASSERT_EQ(getDta3GServingCellDta(fd_, &s3), 0);
    EXPECT_EQ(s3.uarfcn, 10700);
    EXPECT_EQ(s3.psc, 511);
    EXPECT_EQ(s3.cell_id, 4294967295u);
    EXPECT_EQ(s3.rscp, -100);
    EXPECT_EQ(s3.ecio, -10);

    ServingCell2G s2{};
    ASSERT_EQ(getDta2GServingCellDta(fd_, &s2), 0);
    EXPECT_STREQ(GprsStateText(s2.gprs_state), "RAU_INIT");
    EXPECT_EQ(s2.bsic, 63);
    EXPECT_EQ(s2.arfcn, 1023);
    EXPECT_EQ(s2.cell_id, 65535);
    EXPECT_STREQ(GsmBandText(s2.band), "PCS_1900");
    EXPECT_STREQ(NetworkControlOrderText(s2.nco), "NC2");
    EXPECT_STREQ(NetworkOperationModeText(s2.nmo), "Mode III");
    EXPECT_EQ(s2.msc_rev, 2);
    EXPECT_EQ(s2.sgsn_rev, 3);
    EXPECT_STREQ(EdgeSupportText(s2.edge_support), "EGPRS RACH");
    EXPECT_STREQ(CodingSchemeText(s2.tbf_coding_scheme), "MCS9");
    EXPECT_EQ(s2.tfi_ul, 31);
    EXPECT_EQ(s2.tfi_dl, 30);
    EXPECT_EQ(s2.timeslots_ul, 2);
    EXPECT_EQ(s2.timeslots_dl, 4);
    EXPECT_EQ(s2.tx_power, -5);
    EXPECT_EQ(s2.timing_advance, 63);

    BearerInfo3G b3{};
    ASSERT_EQ(getDta3GBearerInfoDta(fd_, &b3), 0);
    EXPECT_EQ(b3.rabs[0].rab_id, 5);
    EXPECT_EQ(b3.rabs[0].datarate_ul, 384000u);
    EXPECT_EQ(b3.rabs[0].datarate_dl, 7200000u);
    EXPECT_EQ(b3.rabs[0].maxrate_ul, 1u);
    EXPECT_EQ(b3.rabs[0].maxrate_dl, 2u);
    EXPECT_EQ(b3.rabs[0].traffic_class, 3);
    EXPECT_STREQ(DomainText(b3.rabs[0].domain), "PS");
    EXPECT_EQ(b3.rabs[0].bler_residual, 10);
    EXPECT_STREQ(CodecText(b3.rabs[0].codec), "NOT APPLICABLE");
    EXPECT_STREQ(UmtsCipheringText(b3.rabs[0].ciphering), "UAE_2");
    EXPECT_EQ(b3.rabs[1].rab_id, 0);

    BearerInfo2G b2{};
    ASSERT_EQ(getDta2GBearerInfoDta(fd_, &b2), 0);
    EXPECT_EQ(b2.datarate_ul, 13600u);
    EXPECT_EQ(b2.maxrate_dl, 236800u);
    EXPECT_STREQ(DomainText(b2.domain), "CS");
    EXPECT_EQ(b2.bler_residual, 20);
    EXPECT_STREQ(CodecText(b2.codec), "FR_AMR");
    EXPECT_STREQ(GsmCipheringText(b2.ciphering), "Reserved");

    DedicatedChannelPower d{};
    ASSERT_EQ(getDtaDedicatedChannelPowerDta(fd_, &d), 0);
    EXPECT_EQ(d.dch_tx_pwr, -10);
    EXPECT_EQ(d.dch_tx_pwr_step, 246);
    EXPECT_EQ(d.dch_utra_rssi, -70);

    InterRatMeasurementsInfo ir{};
    ASSERT_EQ(getDtaInterRatMeasurementsInfoDta(fd_, &ir), 0);
    EXPECT_EQ(ir.gsm_cell_count, 40);  // the count says 40, the block holds 32
    EXPECT_EQ(ir.gsm_cells[0].arfcn, 600);
    EXPECT_EQ(ir.gsm_cells[31].arfcn, 631);
    EXPECT_EQ(ir.gsm_cells[31].bsic, 31);
    EXPECT_EQ(ir.gsm_cells[31].rssi, -91);
    EXPECT_EQ(ir.utra_cell_count, 1);
    EXPECT_EQ(ir.utra_cells[0].uarfcn, 10562);
    EXPECT_EQ(ir.utra_cells[0].psc, 7);
    EXPECT_EQ(ir.utra_cells[0].rscp, -99);
    EXPECT_EQ(ir.utra_cells[0].ecn0, -12);
    EXPECT_EQ(ir.utra_cells[0].rssi, -66);

    HspaChannelInfo h{};
    ASSERT_EQ(getDtaHspaChannelInfoDta(fd_, &h), 0);
    EXPECT_EQ(h.hssch_code, 15);
    EXPECT_EQ(h.hsdpa_rate, 14400u);
    EXPECT_EQ(h.edch_tti, 0);  // 2 ms

    RadioAccessInfo3G ra{};
    ASSERT_EQ(getDta3GRadioAccessInfoDta(fd_, &ra), 0);
    EXPECT_EQ(ra.init_tx_power, -10);
    EXPECT_EQ(ra.rach_step_size, 246);
    EXPECT_EQ(ra.preamble_retrans_max, 64);

    SmCcCause sc{};
    ASSERT_EQ(getDtaSmCcCauseDta(fd_, &sc), 0);
    EXPECT_EQ(sc.sm_cause, 26);
    EXPECT_EQ(sc.cc_cause, 31);

    static PdpContextInfo pdp;
    memset(&pdp, 0, sizeof pdp);
    ASSERT_EQ(getDtaPdpContextInfoDta(fd_, &pdp), 0);
    EXPECT_STREQ(pdp.contexts[0].apn, "internet");
    EXPECT_EQ(memcmp(pdp.contexts[0].ipv4_addr, "\xC0\xA8\x01\x0A", 4), 0);
    EXPECT_EQ(memcmp(pdp.contexts[0].ipv6_addr, "\x20\x01\x0d\xb8", 4), 0);
    EXPECT_EQ(pdp.contexts[0].ipv6_addr[15], 1);
    EXPECT_EQ(std::string(pdp.contexts[1].apn, 100), std::string(100, 'a'));  // no NUL
    EXPECT_EQ(pdp.contexts[1].ipv4_addr[0], 0);

    IntraRatNeighbourCellMeasInfo3G n3{};
    ASSERT_EQ(getDta3GIntraRatNeighbourCellMeasInfoDta(fd_, &n3), 0);
    EXPECT_EQ(n3.intra_count, 40);
    EXPECT_EQ(n3.intra_cells[31].psc, 131);
    EXPECT_EQ(n3.intra_cells[31].ecno, -9);
    EXPECT_EQ(n3.intra_cells[31].rscp, -100);
    EXPECT_EQ(n3.inter_count, 1);
    EXPECT_EQ(n3.inter_cells[0].uarfcn, 10713);
    EXPECT_EQ(n3.inter_cells[0].rssi, -80);

    IdleNeighborCellsInfo2G n2{};
    ASSERT_EQ(getDta2GIdleNeighborCellsInfoDta(fd_, &n2), 0);
    EXPECT_EQ(n2.cell_count, 40);
    EXPECT_STREQ(CellTypeText(n2.cells[0].cell_type), "UNKNOWN");
    EXPECT_EQ(n2.cells[31].arfcn, 32);
    EXPECT_EQ(n2.cells[31].rssi, -70);

    DedicatedMeasurementInfo2G dm{};
    ASSERT_EQ(getDta2GDedicatedMeasurementDta(fd_, &dm), 0);
    EXPECT_EQ(dm.cell_count, 1);
    EXPECT_EQ(dm.rxlev_full, -20);
    EXPECT_EQ(dm.rxlev_sub, 30);
    EXPECT_EQ(dm.rxqual_full, 255);
    EXPECT_EQ(dm.rxqual_sub, 7);
    EXPECT_EQ(dm.cells[0].arfcn, 520);
    EXPECT_EQ(dm.cells[0].rxlev, 28);

    ActiveSetInfo as{};
    ASSERT_EQ(getDtaActiveSetInfoDta(fd_, &as), 0);
    EXPECT_EQ(as.cell_count, 1);
    EXPECT_EQ(as.cells[0].psc, 310);
    EXPECT_EQ(as.cells[0].ecio, -6);
    MonitoredSetInfo ms{};
    ASSERT_EQ(getDtaMonitoredSetInfoDta(fd_, &ms), 0);
    EXPECT_EQ(ms.cell_count, 2);
    EXPECT_EQ(ms.cells[1].psc, 45);
    EXPECT_EQ(ms.cells[1].rscp, -96);

    HspaInterRatMeas cm{};
    ASSERT_EQ(getDtaHspaInterRatMeasDta(fd_, &cm), 0);
    EXPECT_STREQ(OnOffText(cm.irat_cm), "ON");

    BatteryTemperature t{};
    ASSERT_EQ(getDtaBatteryTemperatureDta(fd_, &t), 0);
    EXPECT_EQ(t.radio_temp, -12);

    // Types no command fetches still answer, at their reply sizes.
    for (unsigned type : {0u, 15u, 21u, 24u}) {
        size_t n = 0;
        uint8_t *reply = TLVTM_GetStructTlv(fd_, type, &n);
        EXPECT_NE(reply, nullptr) << type;
        free(reply);
    }
}

TEST_F(TechmodeSim, FaultsSpoilReplies) {
    ASSERT_EQ(ReplaceScenario(TestScenario(R"({
        "mobility": {"device_error": 5},
        "basic": {"wrong_command": true},
        "radio_stats": {"wrong_struct_type": 9},
        "serving_cell_3g": {"missing_tags": [0, 3]},
        "serving_cell_2g": {"overlong_tags": [2], "missing_tags": [16]},
        "bearers_3g": {"truncate_block": 100},
        "inter_rat_measurements": {"overlong_block": true},
        "identity": {"missing_tags": [3], "overlong_tags": [1]},
        "sm_cc_cause": {"oversize_reply": 64},
        "battery_temperature_c": {"delay_ms": 200},
        "hspa_irat_cm": {"raw": "01200000"},
        "active_set": {"device_error": 110, "probability": 0}
    })")),
              0);
    testing::internal::CaptureStdout();
    MobilityData m{};
    EXPECT_EQ(getDtaMobilityDta(fd_, &m), -1);
    BasicData b{};
    EXPECT_EQ(getDtaBasicDta(fd_, &b), -1);
    RadioStatData r{};
    EXPECT_EQ(getDtaRadioStatDta(fd_, &r), -1);
    ServingCell3G s3{};
    EXPECT_EQ(getDta3GServingCellDta(fd_, &s3), 0);
    ServingCell2G s2{};
    EXPECT_EQ(getDta2GServingCellDta(fd_, &s2), 0);
    BearerInfo3G b3{};
    getDta3GBearerInfoDta(fd_, &b3);
    InterRatMeasurementsInfo ir{};
    getDtaInterRatMeasurementsInfoDta(fd_, &ir);
    IdentityData id{};
    EXPECT_EQ(getDtaIdentityDta(fd_, &id), 0);
    SmCcCause sc{};
    EXPECT_EQ(getDtaSmCcCauseDta(fd_, &sc), 0);
    BatteryTemperature t{};
    EXPECT_EQ(getDtaBatteryTemperatureDta(fd_, &t), 0);
    HspaInterRatMeas cm{};
    EXPECT_EQ(getDtaHspaInterRatMeasDta(fd_, &cm), -1);
    ActiveSetInfo as{};
    EXPECT_EQ(getDtaActiveSetInfoDta(fd_, &as), 0);
    std::string out = testing::internal::GetCapturedStdout();

    EXPECT_NE(out.find("Device error from RRM"), std::string::npos);
    EXPECT_NE(out.find("Error: Unexpected tech mode command response from RRM"), std::string::npos);
    EXPECT_NE(out.find("Error: Incorrect structure type received from RRM!"), std::string::npos);
    // Missing tags 0 and 3: the first byte reads 0xFF, rscp stays 0.
    EXPECT_EQ(s3.uarfcn & 0xFF, 0xFF);
    EXPECT_EQ(s3.rscp, 0);
    EXPECT_EQ(s3.psc, 511);
    // The over-long ARFCN is refused (the missing last field keeps the reply
    // at its size); the other fields arrive.
    EXPECT_EQ(s2.arfcn, 0);
    EXPECT_EQ(s2.cell_id, 65535);
    EXPECT_EQ(s2.timing_advance, 0);
    // A truncated or over-long block is never copied.
    EXPECT_EQ(b3.rabs[0].rab_id, 0);
    EXPECT_EQ(ir.gsm_cells[0].arfcn, 0);
    // Identity: too many IMSI bytes are cut, the missing P-TMSI member
    // leaves its field, SRNC id still decoded.
    char text[32];
    FormatImsiDigits(id.imsi, text, sizeof text);
    EXPECT_STREQ(text, "310150123456789fff");
    EXPECT_NE(out.find("Too Many byte primitive TLV's in array member TLV"), std::string::npos);
    EXPECT_NE(out.find("Invalid input pointer."), std::string::npos);
    EXPECT_EQ(id.ptmsi[0], 0);
    EXPECT_EQ(id.srnc_id, 65535);
    // A reply larger than the room is cut to it by devctlv and still decodes.
    EXPECT_EQ(sc.cc_cause, 31);
    EXPECT_EQ(t.radio_temp, -12);
    // A fault with probability 0 never applies.
    EXPECT_EQ(as.cell_count, 1);
}

TEST_F(TechmodeSim, RequestChecksAndScenarioControl) {
    uint8_t req[100] = {0x01, 0x20, 0x02, 0x00, 0x05, 0x20, 0x01, 0x00, 8, 0};
    uint8_t reply[72];
    iov_t sv, rv;
    SETIOV(&sv, req, sizeof req);
    SETIOV(&rv, reply, sizeof reply);
    EXPECT_EQ(devctlv(fd_, 0x1001, 1, 1, &sv, &rv, nullptr), ENOTTY);
    req[8] = 25;
    EXPECT_EQ(devctlv(fd_, 0x1000, 1, 1, &sv, &rv, nullptr), EINVAL);
    req[8] = 8;
    req[4] = 0x06;
    EXPECT_EQ(devctlv(fd_, 0x1000, 1, 1, &sv, &rv, nullptr), EINVAL);

    // A refused scenario fails close() and keeps the old one.
    EXPECT_EQ(ReplaceScenario("{\"mobility\":{\"active_rat\":\"LTE\"}}"), EINVAL);
    EXPECT_NE(testsupport::ReadFile(dir_ + "/sim.err").find("mobility.active_rat"),
              std::string::npos);
    MobilityData m{};
    ASSERT_EQ(getDtaMobilityDta(fd_, &m), 0);
    EXPECT_EQ(m.mcc, 262);

    EXPECT_EQ(ReplaceScenario("{\"mobility\":{\"mcc\":1}}"), 0);
    ASSERT_EQ(getDtaMobilityDta(fd_, &m), 0);
    EXPECT_EQ(m.mcc, 1);
    EXPECT_EQ(testsupport::ReadFile(mnt_ + "/scenario"), "{\"mobility\":{\"mcc\":1}}");

    // SIGHUP reloads the scenario file.
    WriteScenarioFile("{\"mobility\":{\"mcc\":999}}");
    kill(sim_.pid(), SIGHUP);
    for (int i = 0; i < 200 && m.mcc != 999; i++) {
        usleep(10000);
        ASSERT_EQ(getDtaMobilityDta(fd_, &m), 0);
    }
    EXPECT_EQ(m.mcc, 999);
}

TEST(TechmodeSimScenario, BadScenariosNameTheFieldAndProblem) {
    struct {
        const char *json;
        const char *error;
    } cases[] = {
        {"{\"mobility\":{\"mcc\":70000}}",
         "x: mobility.mcc: must be an integer from 0 to 65535, got 70000"},
        {"{\"mobility\":{\"mccx\":1}}", "x: mobility.mccx: unknown field"},
        {"{\"extra\":1}", "x: extra: unknown field"},
        {"[]", "x: top level: must be an object"},
        {"{\"identity\":{\"imsi\":\"31015a\"}}", "x: identity.imsi: must hold decimal digits only"},
        {"{\"identity\":{\"tmsi\":\"123\"}}",
         "x: identity.tmsi: must hold exactly 8 hexadecimal digits"},
        {"{\"bearers_3g\":[{},{},{},{},{},{},{},{},{}]}", "x: bearers_3g: holds at most 8 entries"},
        {"{\"active_set\":[{\"rscp_dbm\":-200}]}",
         "x: active_set[0].rscp_dbm: must be an integer from -128 to 127, got -200"},
        {"{\"pdp_contexts\":[{\"ipv4\":\"1.2.3\"}]}",
         "x: pdp_contexts[0].ipv4: must be an IPv4 address a.b.c.d"},
        {"{\"faults\":{\"mobilty\":{}}}", "x: faults.mobilty: unknown field"},
        {"{\"faults\":{\"basic\":{\"raw\":\"0g\"}}}",
         "x: faults.basic.raw: must hold hexadecimal bytes"},
        {"{\"hspa_channel\":{\"edch_tti_ms\":5}}", "x: hspa_channel.edch_tti_ms: must be 2 or 10"},
        {"{\n\"a\":", "x: line 2 column 5: "},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.json);
        try {
            sim::ParseScenario(c.json, "x");
            ADD_FAILURE() << "accepted";
        } catch (const sim::ScenarioError &e) {
            EXPECT_EQ(std::string(e.what()).rfind(c.error, 0), 0u) << e.what();
        }
    }
    EXPECT_NO_THROW(sim::ParseScenario(sim::DefaultScenarioJson(), "built-in"));
}

}  // namespace

// SPDX-License-Identifier: Apache-2.0
// diagctl's pure parts on status texts as the daemon publishes them: the
// screens (only the command's own attributes, tables with one row per
// index, units, placeholders), the JSON output, masking and the response.
#include <gtest/gtest.h>
#include <rapidjson/document.h>
#include <rapidjson/pointer.h>

#include <string>
#include <vector>

#include "PpsValue.h"
#include "Screens.h"

namespace diagctl {
namespace {

// status_utra after umtsopinfo, radionwinfo and tchtxpower ran (shortened).
const char kUtra[] =
    "@status_utra\nradio_temp::NOT SUPPORTED\ndch_tx_pwr:n:-10\ndch_utra_rssi::N/A\n"
    "radio_temp:n:31\nintra_psc1:n:311\napn1_name::internet\n"
    "scell_ura::NOT SUPPORTED\nscell_rscp:n:-84\nscell_ecio::N/A\n"
    "aset_cellid1::NOT SUPPORTED\naset_cellid2::NOT SUPPORTED\n"
    "aset_arfcn1:n:10700\naset_sc1:n:310\naset_rscp1:n:-84\naset_ecio1:n:-5\n"
    "aset_arfcn2::N/A\naset_sc2::N/A\naset_rscp2::N/A\naset_ecio2::N/A\n";

// status_geran after gsmopinfo: neighbours 1, 2 and a stale 7, the UTRA
// measurements deleted.
const char kGeran[] =
    "@status_geran\n"
    "gsm_cell_type1::GPRS\ngsm_arfcn1:n:520\ngsm_rssi1:n:-81\ngsm_rac1::NOT SUPPORTED\n"
    "gsm_cell_type2::N/A\ngsm_arfcn2::N/A\ngsm_rssi2::N/A\ngsm_rac2::N/A\n"
    "gsm_arfcn7:n:1023\ngsm_arfcn:n:512\ngsm_tx_power:n:-5\nactive_rat::WCDMA\n"
    "latest_tbf:json:{\"tbf_channel\":\"MCS5\",\"tfi_ul\":1}\n"
    "gsm_ded_meas:json:[{\"1 gsm_dec_arfcn\":520,\"1 gsm_dec_bsic\":12,\"1 gsm_dec_rxlev\":30},"
    "{\"2 gsm_dec_arfcn\":600,\"2 gsm_dec_bsic\":45,\"2 gsm_dec_rxlev\":23}]\n"
    "rr_state::Idle\n";

// Texts as a modem may send them: a terminal escape, a byte that is not UTF-8.
const char kRaw[] =
    "@status_utra\napn1_name::\xff"
    "A\x1b[31mR\u00b0\n"
    "apn2_name::internet.example.net\xf0\n";

const char kData[] =
    "@status_data\nTLLI::NOT SUPPORTED\nTMSI::N/A\nIMEI::3538070512345601f\n"
    "IMSI::310150123456789fff\nSRNCID:n:1234\nactive_rat::GSM\n"
    "rab_2g:json:{\"domain\":\"PS\",\"datarate_ul\":13600,\"codec\":\"NOT APPLICABLE\"}\n"
    "nitz_source::nitz\n";

Value Attributes(const char *text) {
    PpsObject obj;
    std::string error;
    EXPECT_TRUE(ParsePpsObject(text, &obj, &error)) << error;
    return obj.attributes;
}

TEST(DiagctlScreen, ShowsOwnAttributes) {
    const struct {
        const char *command, *text;
        bool mask;
        std::vector<std::string> lines;   // each a whole line of the screen
        std::vector<std::string> absent;  // texts that must not appear
    } cases[] = {
        // The last radio_temp of the object counts; units only on numbers.
        {"tchtxpwr",
         kUtra,
         false,
         {"tchtxpwr: Dedicated channel transmit power  [status_utra]  SUCCESS",
          "  TX power                 -10 dBm", "  UTRA RSSI                N/A",
          "  Temperature  31 °C", "  SIR                      -"},
         {"internet", "310", "N/A dBm"}},
        // Rows per index; a column of "NOT SUPPORTED" is named under the
        // table; unfilled rows read N/A.
        {"radionwinfo",
         kUtra,
         false,
         {"  #  UARFCN  SC   RSCP(dBm)  Ec/Io(dB)", "  1  10700   310  -84        -5",
          "  2  N/A     N/A  N/A        N/A", "  NOT SUPPORTED: Cell id",
          "  URA              NOT SUPPORTED", "  Ec/Io            N/A"},
         {"internet", "311", "Temperature"}},
        // Objects as fields, arrays as tables, a stale index kept, a deleted
        // array shown as such, a RAC column of NOT SUPPORTED and N/A folded.
        {"gsmopinfo",
         kGeran,
         false,
         {"  #  Type  ARFCN  RSSI(dBm)", "  1  GPRS  520    -81", "  2  N/A   N/A    N/A",
          "  7  -     1023   -", "  NOT SUPPORTED: RAC", "  ARFCN           512",
          "  TX power        -5 dBm", "  Coding scheme       MCS5", "  Timeslots uplink    -",
          "  #  ARFCN  BSIC  RXLEV", "  2  600    45    23", "UTRA cells measured from GSM",
          "  (measured only while camped on GSM)"},
         {}},
        {"bearer",
         kData,
         false,
         {"  RAT  GSM", "GSM bearer", "  UL rate        13600 bps",
          "  Codec          NOT APPLICABLE"},
         {"WCDMA radio access bearers", "1234", "nitz"}},
        {"identity",
         kData,
         true,
         {"  IMSI    ***********6789fff", "  TMSI    N/A", "  TLLI    NOT SUPPORTED",
          "  IMEI  ************5601f", "  SRNC id  1234"},
         {"3538", "GSM"}},
        {"umtsopinfo",
         kRaw,
         false,
         {"  1  \\xFFA\\x1B[31mR\u00b0", "  2  internet.example.net\\xF0"},
         {"\x1b", "\xff"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.command);
        const diagctl::Screen *s = FindScreen(c.command);
        ASSERT_NE(s, nullptr);
        Value own = OwnAttributes(*s, Attributes(c.text));
        if (c.mask) MaskSecrets(*s, &own);
        std::string out = "\n" + RenderScreen(*s, own, "SUCCESS");
        for (const std::string &line : c.lines)
            EXPECT_NE(out.find("\n" + line + "\n"), std::string::npos) << line << "\n" << out;
        for (const std::string &text : c.absent)
            EXPECT_EQ(out.find(text), std::string::npos) << text << "\n" << out;
    }
}

TEST(DiagctlJson, ValuesKeepTheirTypes) {
    const struct {
        const char *command, *text;
        const char *pointer;  // a JSON pointer into the output
        const char *want;     // the value there, as JSON; nullptr: not there
    } cases[] = {
        {"gsmopinfo", kGeran, "/result", "\"FAILURE\""},
        {"gsmopinfo", kGeran, "/attributes/gsm_arfcn1", "520"},
        {"gsmopinfo", kGeran, "/attributes/gsm_rac1", "\"NOT SUPPORTED\""},
        {"gsmopinfo", kGeran, "/attributes/gsm_ded_meas/1/2 gsm_dec_rxlev", "23"},
        {"gsmopinfo", kGeran, "/attributes/latest_tbf", "{\"tbf_channel\":\"MCS5\",\"tfi_ul\":1}"},
        {"radionwinfo", kUtra, "/attributes/intra_psc1", nullptr},
        {"bearer", kData, "/attributes/rab_2g/datarate_ul", "13600"},
        {"bearer", kData, "/attributes/IMSI", nullptr},
        {"umtsopinfo", kRaw, "/attributes/apn1_name", "\"\\uFFFDA\\u001b[31mR\u00b0\""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.command) + " " + c.pointer);
        const diagctl::Screen *s = FindScreen(c.command);
        ASSERT_NE(s, nullptr);
        Result result;
        result.present = true;
        result.response = {c.command, "1.7.1", -1, false};
        std::string out = RenderJson(*s, OwnAttributes(*s, Attributes(c.text)), result,
                                     {"2024-05-01T12:00:00.250Z", 3.5});
        rapidjson::Document doc, want;
        ASSERT_FALSE(doc.Parse(out.c_str()).HasParseError()) << out;
        const rapidjson::Value *v = rapidjson::Pointer(c.pointer).Get(doc);
        if (c.want == nullptr) {
            EXPECT_EQ(v, nullptr) << out;
            continue;
        }
        ASSERT_NE(v, nullptr) << out;
        want.Parse(c.want);
        EXPECT_TRUE(*v == want) << out;
    }
}

TEST(DiagctlMatchIndexed, NamesWithADecimalIndex) {
    struct {
        const char *pattern, *name;
        int want;  // 0: no match
    } cases[] = {
        {"gsm_arfcn%d", "gsm_arfcn12", 12}, {"gsm_arfcn%d", "gsm_arfcn", 0},
        {"gsm_arfcn%d", "gsm_arfcn01", 0},  {"gsm_arfcn%d", "gsm_arfcnx", 0},
        {"apn%d_name", "apn3_name", 3},     {"apn%d_name", "apn3_ipv4_addr", 0},
        {"gsm_c1_%d", "gsm_c1_6", 6},       {"gsm_c1_%d", "gsm_c1_", 0},
        {"%d rab_id", "8 rab_id", 8},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.pattern) + " " + c.name);
        int index = 0;
        EXPECT_EQ(MatchIndexed(c.pattern, c.name, &index), c.want != 0);
        if (c.want != 0) {
            EXPECT_EQ(index, c.want);
        }
    }
}

TEST(DiagctlParseResponse, AnswersAsTheClientReadsThem) {
    struct {
        const char *text;
        bool parsed;
        const char *res, *id;
        int64_t err;
        bool purged;
    } cases[] = {
        {"@control\nres::identity\nid::1.42.7\n", true, "identity", "1.42.7", 0, false},
        {"@control\nres::bearer\nid::1.42.8\nerr:n:-1\n", true, "bearer", "1.42.8", -1, false},
        {"@control\nres::bearer\nid::9\nerr::oops\n", true, "bearer", "9", -1, false},
        {"*@control\n", true, "", "", 0, true},
        {"res::identity\nid::1\n", false, "", "", 0, false},
        {"@control\nnot pps\n", false, "", "", 0, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        Response r;
        ASSERT_EQ(ParseResponse(c.text, &r), c.parsed);
        if (!c.parsed) continue;
        EXPECT_EQ(r.res, c.res);
        EXPECT_EQ(r.id, c.id);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.purged, c.purged);
    }
}

}  // namespace
}  // namespace diagctl

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
    "@status_utra\n"
    "radio_temp::NOT SUPPORTED\n"
    "dch_tx_pwr:n:-10\n"
    "dch_utra_rssi::N/A\n"
    "radio_temp:n:31\n"
    "intra_psc1:n:311\n"
    "intra_ecno1:n:-8\n"
    "intra_rscp1:n:-91\n"
    "intra_psc2::N/A\n"
    "apn1_name::internet\n"
    "apn1_ipv4_addr::10.64.12.7\n"
    "scell_ura::NOT SUPPORTED\n"
    "scell_rscp:n:-84\n"
    "scell_ecio::N/A\n"
    "aset_cellid1::NOT SUPPORTED\n"
    "aset_cellid2::NOT SUPPORTED\n"
    "aset_arfcn1:n:10700\n"
    "aset_sc1:n:310\n"
    "aset_rscp1:n:-84\n"
    "aset_ecio1:n:-5\n"
    "aset_arfcn2::N/A\n"
    "aset_sc2::N/A\n"
    "aset_rscp2::N/A\n"
    "aset_ecio2::N/A\n";

// status_geran after gsmopinfo: neighbours 1, 2 and a stale 7, the UTRA
// measurements deleted.
const char kGeran[] =
    "@status_geran\n"
    "gsm_cell_type1::GPRS\n"
    "gsm_arfcn1:n:520\n"
    "gsm_rssi1:n:-81\n"
    "gsm_rac1::NOT SUPPORTED\n"
    "gsm_cell_type2::N/A\n"
    "gsm_arfcn2::N/A\n"
    "gsm_rssi2::N/A\n"
    "gsm_rac2::N/A\n"
    "gsm_arfcn7:n:1023\n"
    "gsm_arfcn:n:512\n"
    "gsm_tx_power:n:-5\n"
    "active_rat::WCDMA\n"
    "latest_tbf:json:{\"tbf_channel\":\"MCS5\",\"tfi_ul\":1}\n"
    "gsm_ded_meas:json:[{\"1 gsm_dec_arfcn\":520,\"1 gsm_dec_bsic\":12,\"1 gsm_dec_rxlev\":30},"
    "{\"2 gsm_dec_arfcn\":600,\"2 gsm_dec_bsic\":45,\"2 gsm_dec_rxlev\":23}]\n"
    "rr_state::Idle\n";

const char kData[] =
    "@status_data\n"
    "TLLI::NOT SUPPORTED\n"
    "TMSI::N/A\n"
    "IMEI::3538070512345601f\n"
    "IMSI::310150123456789fff\n"
    "SRNCID:n:1234\n"
    "active_rat::GSM\n"
    "rab_2g:json:{\"domain\":\"PS\",\"datarate_ul\":13600,\"codec\":\"NOT APPLICABLE\"}\n"
    "nitz_source::nitz\n";

Value Attributes(const char *text) {
    PpsObject obj;
    std::string error;
    EXPECT_TRUE(ParsePpsObject(text, &obj, &error)) << error;
    return obj.attributes;
}

std::string Screen(const char *command, const char *text, bool mask = false) {
    const diagctl::Screen *s = FindScreen(command);
    EXPECT_NE(s, nullptr) << command;
    if (s == nullptr) return "";
    Value own = OwnAttributes(*s, Attributes(text));
    if (mask) MaskSecrets(*s, &own);
    return RenderScreen(*s, own, "SUCCESS");
}

struct ScreenCase {
    const char *command;
    const char *text;
    bool mask;
    std::vector<std::string> lines;   // each a whole line of the screen
    std::vector<std::string> absent;  // texts that must not appear
};

void PrintTo(const ScreenCase &c, std::ostream *os) {
    *os << c.command;
}

class ScreenTest : public ::testing::TestWithParam<ScreenCase> {};

TEST_P(ScreenTest, ShowsOwnAttributes) {
    const ScreenCase &c = GetParam();
    std::string out = "\n" + Screen(c.command, c.text, c.mask);
    for (const std::string &line : c.lines)
        EXPECT_NE(out.find("\n" + line + "\n"), std::string::npos) << line << "\n" << out;
    for (const std::string &text : c.absent)
        EXPECT_EQ(out.find(text), std::string::npos) << text << "\n" << out;
}

INSTANTIATE_TEST_SUITE_P(
    Diagctl, ScreenTest,
    ::testing::Values(
        // The last radio_temp of the object counts; units only on numbers.
        ScreenCase{"tchtxpwr",
                   kUtra,
                   false,
                   {"tchtxpwr: Dedicated channel transmit power  [status_utra]  SUCCESS",
                    "  TX power                 -10 dBm", "  UTRA RSSI                N/A",
                    "  Temperature  31 °C", "  SIR                      -"},
                   {"internet", "310", "N/A dBm"}},
        // Rows per index; a column of "NOT SUPPORTED" is named under the
        // table; unfilled rows read N/A.
        ScreenCase{"radionwinfo",
                   kUtra,
                   false,
                   {"  #  UARFCN  SC   RSCP(dBm)  Ec/Io(dB)", "  1  10700   310  -84        -5",
                    "  2  N/A     N/A  N/A        N/A", "  NOT SUPPORTED: Cell id",
                    "  URA              NOT SUPPORTED", "  Ec/Io            N/A"},
                   {"internet", "311", "Temperature"}},
        ScreenCase{
            "umtsopinfo",
            kUtra,
            false,
            {"  1  311  -8         -91", "  2  N/A  -          -", "  1  internet  10.64.12.7"},
            {"10700", "-10 dBm"}},
        // Objects as fields, arrays as tables, a stale index kept, a
        // deleted array shown as such, a RAC column of NOT SUPPORTED and N/A
        // folded away.
        ScreenCase{"gsmopinfo",
                   kGeran,
                   false,
                   {"  #  Type  ARFCN  RSSI(dBm)", "  1  GPRS  520    -81", "  2  N/A   N/A    N/A",
                    "  7  -     1023   -", "  NOT SUPPORTED: RAC", "  ARFCN           512",
                    "  TX power        -5 dBm", "  Coding scheme       MCS5",
                    "  Timeslots uplink    -", "  #  ARFCN  BSIC  RXLEV", "  2  600    45    23",
                    "UTRA cells measured from GSM", "  (measured only while camped on GSM)"},
                   {}},
        ScreenCase{"bearer",
                   kData,
                   false,
                   {"  RAT  GSM", "GSM bearer", "  UL rate        13600 bps",
                    "  Codec          NOT APPLICABLE"},
                   {"WCDMA radio access bearers", "1234", "nitz"}},
        ScreenCase{"identity",
                   kData,
                   true,
                   {"  IMSI    ***********6789fff", "  TMSI    N/A", "  TLLI    NOT SUPPORTED",
                    "  IMEI  ************5601f", "  SRNC id  1234"},
                   {"3538", "GSM"}},
        ScreenCase{"nitz", kData, false, {"  Source      nitz", "  Date (UTC)  -"}, {"1234"}}));

struct JsonCase {
    const char *command;
    const char *text;
    const char *pointer;  // a JSON pointer into the output
    const char *want;     // the value there, as JSON; nullptr: not there
};

void PrintTo(const JsonCase &c, std::ostream *os) {
    *os << c.command << " " << c.pointer;
}

class JsonTest : public ::testing::TestWithParam<JsonCase> {};

TEST_P(JsonTest, ValuesKeepTheirTypes) {
    const JsonCase &c = GetParam();
    const diagctl::Screen *s = FindScreen(c.command);
    ASSERT_NE(s, nullptr);
    Result result;
    result.present = true;
    result.response.res = c.command;
    result.response.id = "1.7.1";
    result.response.err = -1;
    std::string out = RenderJson(*s, OwnAttributes(*s, Attributes(c.text)), result);
    rapidjson::Document doc;
    ASSERT_FALSE(doc.Parse(out.c_str()).HasParseError()) << out;
    const rapidjson::Value *v = rapidjson::Pointer(c.pointer).Get(doc);
    if (c.want == nullptr) {
        EXPECT_EQ(v, nullptr) << out;
        return;
    }
    ASSERT_NE(v, nullptr) << c.pointer << " in " << out;
    rapidjson::Document want;
    want.Parse(c.want);
    EXPECT_TRUE(*v == want) << c.pointer << " in " << out;
}

INSTANTIATE_TEST_SUITE_P(
    Diagctl, JsonTest,
    ::testing::Values(JsonCase{"gsmopinfo", kGeran, "/result", "\"FAILURE\""},

                      JsonCase{"gsmopinfo", kGeran, "/attributes/gsm_arfcn1", "520"},
                      JsonCase{"gsmopinfo", kGeran, "/attributes/gsm_rac1", "\"NOT SUPPORTED\""},
                      JsonCase{"gsmopinfo", kGeran, "/attributes/gsm_ded_meas/1/2 gsm_dec_rxlev",
                               "23"},
                      JsonCase{"gsmopinfo", kGeran, "/attributes/latest_tbf",
                               "{\"tbf_channel\":\"MCS5\",\"tfi_ul\":1}"},
                      JsonCase{"radionwinfo", kUtra, "/attributes/aset_rscp1", "-84"},
                      JsonCase{"radionwinfo", kUtra, "/attributes/intra_psc1", nullptr},

                      JsonCase{"bearer", kData, "/attributes/rab_2g/datarate_ul", "13600"},
                      JsonCase{"bearer", kData, "/attributes/IMSI", nullptr}));

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

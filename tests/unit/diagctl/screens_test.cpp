// SPDX-License-Identifier: Apache-2.0
// diagctl's pure parts on status texts as the daemon publishes them: screens,
// records as JSON, masking, the response, --watch frames, the JSON Lines file
// with rotation and the CSV export of hostile lines.
#include <gtest/gtest.h>
#include <rapidjson/document.h>
#include <rapidjson/pointer.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <fstream>
#include <string>
#include <vector>

#include "PpsValue.h"
#include "Recording.h"
#include "SchemaCheck.h"
#include "Screens.h"
#include "Trend.h"
#include "support/Sandbox.h"

namespace diagctl {
namespace {

// status_utra after umtsopinfo, radionwinfo and tchtxpower ran (shortened).
const char kUtra[] =
    "@status_utra\nradio_temp::NOT SUPPORTED\ndch_tx_pwr:n:-10\ndch_utra_rssi::N/A\n"
    "radio_temp:n:31\nintra_psc1:n:311\napn1_name::internet\n"
    "scell_ura::NOT SUPPORTED\nscell_uarfcn:n:10700\nscell_rscp:n:-84\nscell_ecio::N/A\n"
    "aset_cellid1::NOT SUPPORTED\naset_cellid2::NOT SUPPORTED\n"
    "aset_arfcn1:n:10700\naset_sc1:n:310\naset_rscp1:n:-84\naset_ecio1:n:-5\n"
    "aset_arfcn2::N/A\naset_sc2::N/A\naset_rscp2::N/A\naset_ecio2::N/A\n";

// status_geran after gsmopinfo: neighbours 1, 2 and a stale 7, the UTRA
// measurements deleted, placeholders for single fields and whole sections.
const char kGeran[] =
    "@status_geran\n"
    "gsm_cell_type1::GPRS\ngsm_arfcn1:n:520\ngsm_rssi1:n:-81\ngsm_rac1::NOT SUPPORTED\n"
    "gsm_cell_type2::N/A\ngsm_arfcn2::N/A\ngsm_rssi2::N/A\ngsm_rac2::N/A\n"
    "gsm_arfcn7:n:1023\ngsm_arfcn:n:512\ngsm_tx_power:n:-5\nactive_rat::WCDMA\n"
    "gsm_pch_period::NOT SUPPORTED\ndtm_support::N/A\ngsm_sc_dec::N/A\n"
    "latest_tbf:json:{\"tbf_channel\":\"MCS5\",\"tfi_ul\":1}\n"
    "gsm_ded_meas:json:[{\"1 gsm_dec_arfcn\":520,\"1 gsm_dec_bsic\":12,\"1 gsm_dec_rxlev\":30},"
    "{\"2 gsm_dec_arfcn\":600,\"2 gsm_dec_bsic\":45,\"2 gsm_dec_rxlev\":23}]\n"
    "rr_state::Idle\n";

// Texts as a modem may send them: a terminal escape, a byte that is not UTF-8.
const char kRaw[] =
    "@status_utra\napn1_name::\xff"
    "A\x1b[31mR\u00b0\n"
    "apn2_name::internet.example.net\xf0\x7f\xc2\x85\n";

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

// Each line of want is a whole line of the screen; no line of absent is
// anywhere in it.
void ExpectLines(const std::string &screen, const std::string &want, const std::string &absent) {
    const std::string out = "\n" + screen;
    for (const std::string *list : {&want, &absent})
        for (std::size_t at = 0, nl; (nl = list->find('\n', at)) != std::string::npos;
             at = nl + 1) {
            const std::string item = list->substr(at, nl - at);
            const bool wanted = list == &want;
            EXPECT_EQ(out.find(wanted ? "\n" + item + "\n" : item) != std::string::npos, wanted)
                << item << "\n"
                << out;
        }
}

TEST(DiagctlScreen, ShowsOwnAttributes) {
    const struct {
        const char *command, *text;
        bool mask;
        const char *lines, *absent;  // lines each a whole line of the screen; absent texts
    } cases[] = {
        // The last radio_temp of the object counts; units only on numbers.
        {"tchtxpwr", kUtra, false,
         "tchtxpwr: Dedicated channel transmit power  [status_utra]  SUCCESS\n"
         "  TX power                 -10 dBm\n  UTRA RSSI                N/A\n"
         "  Temperature  31 °C\n  SIR                      -\n",
         "internet\n310\nN/A dBm\n"},
        // Rows per index; a column of "NOT SUPPORTED" is named under the
        // table; unfilled rows read N/A.
        {"radionwinfo", kUtra, false,
         "  #  UARFCN  SC   RSCP(dBm)  Ec/Io(dB)\n  1  10700   310  -84        -5\n"
         "  2  N/A     N/A  N/A        N/A\n  NOT SUPPORTED: Cell id\n"
         "  URA              NOT SUPPORTED\n  Ec/Io            N/A\n",
         "internet\n311\nTemperature\n"},
        // Objects as fields, arrays as tables, a stale index kept, a deleted
        // array shown as such, a RAC column of NOT SUPPORTED and N/A folded.
        {"gsmopinfo", kGeran, false,
         "  #  Type  ARFCN  RSSI(dBm)\n  1  GPRS  520    -81\n  2  N/A   N/A    N/A\n"
         "  7  -     1023   -\n  NOT SUPPORTED: RAC\n  ARFCN           512\n"
         "  TX power        -5 dBm\n  Coding scheme       MCS5\n  Timeslots uplink    -\n"
         "  #  ARFCN  BSIC  RXLEV\n  2  600    45    23\nUTRA cells measured from GSM\n"
         "  (measured only while camped on GSM)\n",
         ""},
        {"bearer", kData, false,
         "  RAT  GSM\nGSM bearer\n  UL rate        13600 bps\n  Codec          NOT APPLICABLE\n",
         "WCDMA radio access bearers\n1234\nnitz\n"},
        {"identity", kData, true,
         "  IMSI    ***********6789fff\n  TMSI    N/A\n  TLLI    NOT SUPPORTED\n"
         "  IMEI  ************5601f\n  SRNC id  1234\n",
         "3538\nGSM\n"},
        {"umtsopinfo", kRaw, false,
         "  1  \\xFFA\\x1B[31mR\u00b0\n  2  internet.example.net\\xF0\\x7F\\xC2\\x85\n",
         "\x1b\n\xff\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.command);
        const diagctl::Screen *s = FindScreen(c.command);
        ASSERT_NE(s, nullptr);
        Value own = OwnAttributes(*s, Attributes(c.text));
        if (c.mask) MaskSecrets(*s, &own);
        ExpectLines(RenderScreen(*s, own, "SUCCESS"), c.lines, c.absent);
    }
}

// --mask leaves the last four characters of each identity, whatever the
// others are; the filler after IMSI and IMEI digits is not one of them.
TEST(DiagctlMask, HidesAllButTheLastFourOfEachIdentity) {
    const struct {
        const char *line, *masked;
    } cases[] = {
        {"IMSI::310150123456789fff", "***********6789fff"},
        {"IMSI::310 150123456789", "************6789"},
        {"IMSI:n:310150123456789", "***********6789"},  // a number, from a broker
        {"IMSI:json:{\"d\":\"310150123456789\"}", "*******************89\"}"},
        {"IMEI::35-380705-123456-0\xff", "***************6-0\xff"},
        {"TMSI::01AB00FF", "****00FF"},
        {"PTMSI::C0FFEE01", "****EE01"},
        {"TMSI::\u00e9t\u00e9 1234", "****1234"},
        {"IMSI::6789", "6789"},
        {"IMSI::N/A", "N/A"},
    };
    const Screen &s = *FindScreen("identity");
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        Value own =
            OwnAttributes(s, Attributes(("@status_data\n" + std::string(c.line) + "\n").c_str()));
        MaskSecrets(s, &own);
        ASSERT_EQ(own.members.size(), 1u);
        EXPECT_EQ(own.members[0].second.kind, Value::Kind::kString);
        EXPECT_EQ(own.members[0].second.text, c.masked);
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
        EXPECT_EQ(MatchIndexed(c.pattern, c.name, &index) ? index : 0, c.want);
    }
}

TEST(DiagctlParseResponse, AnswersAsTheClientReadsThem) {
    struct {
        const char *text, *want;  // want: "RES ID ERR" and " purged"; nullptr: not a response
    } cases[] = {
        {"@control\nres::identity\nid::1.42.7\n", "identity 1.42.7 0"},
        {"@control\nres::bearer\nid::1.42.8\nerr:n:-1\n", "bearer 1.42.8 -1"},
        {"@control\nres::bearer\nid::9\nerr::oops\n", "bearer 9 -1"},
        {"*@control\n", "  0 purged"},
        {"res::identity\nid::1\n", nullptr},
        {"@control\nnot pps\n", nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        Response r;
        ASSERT_EQ(ParseResponse(c.text, &r), c.want != nullptr);
        if (c.want == nullptr) continue;
        EXPECT_EQ(r.res + " " + r.id + " " + std::to_string(r.err) + (r.purged ? " purged" : ""),
                  c.want);
    }
}

std::string Record(const char *command, const char *text, int64_t err = 0) {
    const Screen *s = FindScreen(command);
    Result result;
    result.present = true;
    result.response = {command, "1.7.1", err, false};
    return RenderJson(*s, OwnAttributes(*s, Attributes(text)), result,
                      {"2024-05-01T12:00:00.250Z", 12.5});
}

// Rows "COMMAND POINTER=JSON" (COMMAND POINTER alone: not there), on the
// text of the command's object above.
TEST(DiagctlScreenData, TypesTablesRowsAndReasonsApart) {
    for (const std::string c :
         {"gsmopinfo /time=\"2024-05-01T12:00:00.250Z\"", "gsmopinfo /latency_ms=12.5",
          // The raw attributes stay as the daemon published them.
          "gsmopinfo /attributes/gsm_rac1=\"NOT SUPPORTED\"",
          "gsmopinfo /screen/sections/serving_cell/gsm_arfcn=512",
          "gsmopinfo /screen/sections/serving_cell/gsm_pch_period=null",
          "gsmopinfo /screen/unavailable/serving_cell.gsm_pch_period=\"NOT SUPPORTED\"",
          "gsmopinfo /screen/unavailable/gprs.dtm_support=\"N/A\"",
          "gsmopinfo /screen/units/serving_cell.gsm_tx_power=\"dBm\"",
          "gsmopinfo /screen/units/idle_mode_neighbour_cells.gsm_rssi=\"dBm\"",
          // Row 2 is an empty slot; row 7 keeps its index.
          "gsmopinfo /screen/sections/idle_mode_neighbour_cells/0/gsm_arfcn=520",
          "gsmopinfo /screen/sections/idle_mode_neighbour_cells/0/gsm_rac=null",
          "gsmopinfo /screen/unavailable/idle_mode_neighbour_cells.0.gsm_rac=\"NOT SUPPORTED\"",
          "gsmopinfo /screen/sections/idle_mode_neighbour_cells/1={\"index\":7,\"gsm_arfcn\":1023}",
          "gsmopinfo /screen/sections/idle_mode_neighbour_cells/2",
          "gsmopinfo /screen/sections/latest_tbf={\"tbf_channel\":\"MCS5\",\"tfi_ul\":1}",
          // A whole section that the daemon gives as a placeholder.
          "gsmopinfo /screen/sections/dedicated_mode_serving_cell=null",
          "gsmopinfo /screen/unavailable/dedicated_mode_serving_cell=\"N/A\"",
          "gsmopinfo /screen/sections/dedicated_mode_neighbour_cells="
          "[{\"index\":1,\"gsm_dec_arfcn\":520,\"gsm_dec_bsic\":12,\"gsm_dec_rxlev\":30},"
          "{\"index\":2,\"gsm_dec_arfcn\":600,\"gsm_dec_bsic\":45,\"gsm_dec_rxlev\":23}]",
          // Not published: left out.
          "gsmopinfo /screen/sections/utra_cells_measured_from_gsm",
          // Values keep their types; a screen's record holds its own attributes
          // only; texts that are not UTF-8 or hold control characters stay JSON.
          "gsmopinfo /attributes/gsm_arfcn1=520",
          "gsmopinfo /attributes/gsm_ded_meas/1/2 gsm_dec_rxlev=23",
          "gsmopinfo /attributes/latest_tbf={\"tbf_channel\":\"MCS5\",\"tfi_ul\":1}",
          "radionwinfo /attributes/intra_psc1", "bearer /attributes/rab_2g/datarate_ul=13600",
          "bearer /attributes/IMSI",
          "umtsopinfo /attributes/apn1_name=\"\\uFFFDA\\u001b[31mR\u00b0\""}) {
        SCOPED_TRACE(c);
        const std::size_t sp = c.find(' '), eq = c.find('=');
        const std::string command = c.substr(0, sp);
        const std::string out = Record(command.c_str(), command == "gsmopinfo"     ? kGeran
                                                        : command == "radionwinfo" ? kUtra
                                                        : command == "bearer"      ? kData
                                                                                   : kRaw);
        EXPECT_EQ(testsupport::CheckRecord(out), "") << "the schema users are given";
        rapidjson::Document doc;
        ASSERT_FALSE(doc.Parse(out.c_str()).HasParseError()) << out;
        const rapidjson::Value *v =
            rapidjson::Pointer(c.substr(sp + 1, eq - sp - 1).c_str()).Get(doc);
        if (eq == std::string::npos) {
            EXPECT_EQ(v, nullptr) << out;
            continue;
        }
        ASSERT_NE(v, nullptr) << out;
        rapidjson::Document want;
        want.Parse(c.c_str() + eq + 1);
        EXPECT_TRUE(*v == want) << out;
    }
    EXPECT_EQ(testsupport::CheckRecord(RenderErrorJson(
                  *FindScreen("bearer"), {"2024-05-01T12:00:00.000Z", 5000}, 4, "no answer")),
              "");
    // Only an err of 0 is a success.
    for (const int64_t err : {int64_t{-1}, int64_t{5}}) {
        SCOPED_TRACE(err);
        EXPECT_NE(Record("bearer", kData, err).find("\"result\":\"FAILURE\""), std::string::npos);
    }
}

TEST(DiagctlWatch, FramesMarkChangesAndPackCompactly) {
    const Screen &s = *FindScreen("radionwinfo");
    const Value before = OwnAttributes(s, Attributes(kUtra));
    std::string text = kUtra;
    text.replace(text.find("scell_rscp:n:-84"), 16, "scell_rscp:n:-91");
    // A hostile text that changed: shown escaped, in colour or not.
    text += "aset_arfcn1::\x1b]0;owned\x07\n";
    const Value after = OwnAttributes(s, Attributes(text.c_str()));
    Trends trends(2);  // the first frame falls out
    for (const Value *frame : {&before, &before, &after}) trends.Add(s, *frame);
    const std::string bars = "\u2588\u2581", owned = "\\x1B]0;owned\\x07";
    const struct {
        bool colour, compact;
        std::string lines, absent;
    } cases[] = {
        {false, false,
         "* RSCP             -91 dBm" + std::string(8, ' ') + bars +
             "\n  UARFCN           10700\n  Ec/Io            N/A\n* 1  " + owned +
             "  310  -84        -5\n  2  N/A               N/A  N/A        N/A\n",
         "\x1b\n"},
        {true, false,
         "  RSCP             \x1b[1;33m-91 dBm\x1b[0m" + std::string(8, ' ') + bars +
             "\n  Ec/Io            N/A\n  1  \x1b[1;33m" + owned + "\x1b[0m  310  -84        -5\n",
         "\x1b]0\n\x07\n"},
        {false, true,
         "*Serving cell: UARFCN 10700  RSCP -91 dBm " + bars + "\n Active set\n* 1  " + owned +
             "  310  -84        -5\n",
         "N/A\nURA\n  2  \n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.colour ? "colour" : "marker") + (c.compact ? " compact" : ""));
        RenderOptions o;
        o.previous = &before;
        o.colour = c.colour;
        o.compact = c.compact;
        o.trends = &trends;
        ExpectLines(RenderScreen(s, after, "SUCCESS", o), c.lines, c.absent);
    }
}

TEST(DiagctlWatch, Sparklines) {
    const double nan = std::nan("");
    const struct {
        std::deque<double> values;
        const char *want;
    } cases[] = {
        {{-90, -80, -85}, "\u2581\u2588\u2585"},
        {{-85, -85}, "\u2584\u2584"},
        {{1, nan, 8}, "\u2581 \u2588"},
        {{nan}, " "},
        {{}, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.want);
        EXPECT_EQ(Sparkline(c.values), c.want);
    }
}

TEST(DiagctlLineFile, RotatesWithoutLosingOrOverwriting) {
    const std::string dir = testsupport::MakeTempDir("diagctl-lines");
    const std::string path = dir + "/rec.jsonl";
    std::ofstream(path + ".1") << "older\n";  // there already: stays as it was
    std::vector<std::string> lines;
    for (char c = 'a'; c <= 'j'; c++) lines.push_back(std::string(30, c));
    lines.push_back(std::string(150, 'z'));  // longer than the limit: a file of its own
    lines.push_back("last");
    std::string error, want, all;
    {
        LineFile f;
        ASSERT_TRUE(f.Open(path, 100, &error)) << error;
        for (const std::string &line : lines) {
            ASSERT_TRUE(f.Write(line, &error)) << error;
            want += line + "\n";
        }
        EXPECT_EQ(f.rotated().front(), path + ".2");
    }
    EXPECT_EQ(testsupport::ReadFile(path + ".1"), "older\n");
    struct stat st;
    for (int n = 2; stat((path + "." + std::to_string(n)).c_str(), &st) == 0; n++) {
        const std::string part = testsupport::ReadFile(path + "." + std::to_string(n));
        EXPECT_TRUE(st.st_size <= 100 || part == lines[10] + "\n") << n;
        EXPECT_EQ(st.st_mode & 0777, 0600u);
        all += part;
    }
    EXPECT_EQ(all + testsupport::ReadFile(path), want);

    // A file whose writer was killed mid-line: that line is ended first.
    const std::string cut = dir + "/cut.jsonl";
    std::ofstream(cut) << "{\"whole\":1}\n{\"cut";
    {
        LineFile f;
        ASSERT_TRUE(f.Open(cut, 0, &error)) << error;
        ASSERT_TRUE(f.Write("{\"next\":1}", &error)) << error;
    }
    EXPECT_EQ(testsupport::ReadFile(cut), "{\"whole\":1}\n{\"cut\n{\"next\":1}\n");

    // A FIFO with no reader is refused at once, not waited on.
    const std::string fifo = dir + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    LineFile f;
    EXPECT_FALSE(f.Open(fifo, 0, &error));
    EXPECT_NE(error.find("not a regular file"), std::string::npos) << error;
}

// diagctl record run as root on a path in a directory that others can
// write to: what another user put there (a link to a root-only file, a
// file of their own, a second name of a root-only file) is refused and left
// as it was; a new file and root's own file are written.
TEST(DiagctlLineFile, RefusesWhatAnotherUserPlanted) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root, to plant files as another user";
    const uid_t nobody = 65534;
    const std::string base = testsupport::MakeTempDir("diagctl-planted");
    const std::string shared = base + "/tmp", logs = base + "/logs", secret = base + "/secret";
    ASSERT_EQ(
        chmod(base.c_str(), 0755) | mkdir(shared.c_str(), 0755) | chmod(shared.c_str(), 01777), 0);
    ASSERT_EQ(mkdir(logs.c_str(), 0755), 0);
    std::ofstream(secret) << "root only\n";
    std::ofstream(logs + "/theirs.jsonl") << "";
    ASSERT_EQ(chmod(secret.c_str(), 0600) | chown((logs + "/theirs.jsonl").c_str(), nobody, nobody),
              0);
    ASSERT_EQ(testsupport::AsUser(nobody, nobody,
                                  [&] {
                                      std::ofstream(shared + "/theirs.jsonl") << "theirs\n";
                                      return symlink(secret.c_str(), (shared + "/link").c_str());
                                  }),
              0);
    // As a user makes it where fs.protected_hardlinks is 0.
    ASSERT_EQ(link(secret.c_str(), (shared + "/hard").c_str()), 0);
    const struct {
        std::string path;
        const char *refused;  // in the reason; nullptr: written
    } cases[] = {
        {shared + "/link", "is a symbolic link"},
        {shared + "/theirs.jsonl", "belongs to another user"},
        {shared + "/hard", "hard links"},
        {shared + "/new.jsonl", nullptr},
        {shared + "/new.jsonl", nullptr},  // appended to
        // Where only root writes, a file of the user it was made for is fine.
        {logs + "/theirs.jsonl", nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.path);
        LineFile f;
        std::string error;
        ASSERT_EQ(f.Open(c.path, 0, &error), c.refused == nullptr) << error;
        if (c.refused != nullptr) {
            EXPECT_NE(error.find(c.refused), std::string::npos) << error;
            continue;
        }
        EXPECT_TRUE(f.Write("{\"n\":1}", &error)) << error;
    }
    EXPECT_EQ(testsupport::ReadFile(secret), "root only\n");
    EXPECT_EQ(testsupport::ReadFile(shared + "/theirs.jsonl"), "theirs\n");
    EXPECT_EQ(testsupport::ReadFile(shared + "/new.jsonl"), "{\"n\":1}\n{\"n\":1}\n");
    EXPECT_EQ(testsupport::ReadFile(logs + "/theirs.jsonl"), "{\"n\":1}\n");
}

TEST(DiagctlCsv, HostileLinesAndCells) {
    const std::string good = Record("radionwinfo", kUtra);
    const struct {
        std::string line;
        bool taken;
    } lines[] = {
        {good, true},
        {good.substr(0, good.size() / 2), false},  // cut off by kill -9
        {"[1,2,3]", false},
        {"{\"command\":\"bearer\"}", false},
        {std::string(100000, '[') + std::string(100000, ']'), false},
        {"{\"time\":\"t\",\"command\":\"=cmd|' /C calc'!A0\",\"latency_ms\":1,"
         "\"screen\":{\"sections\":{\"s\":{\"f\":\"a,\\\"b\\\"\\nc\",\"n\":null,\"g\":-3,\"h\":"
         "\"\\tx\",\"tmsi\":\"A\\u0000B\\u001b[2J\\u0085\"},"
         "\"t\":[{\"index\":4,\"c\":\"@SUM(1)\"}]}}}",
         true},
    };
    CsvTable table;
    for (const auto &l : lines) {
        SCOPED_TRACE(l.line.substr(0, 60));
        std::string why;
        EXPECT_EQ(table.Add(l.line, &why), l.taken) << why;
    }
    ASSERT_EQ(table.rows(), 2u);
    const std::string csv = table.Csv();
    const std::vector<std::string> want = {
        "time,latency_ms,command,result,serving_cell.scell_uarfcn,serving_cell.scell_rscp,"
        "serving_cell.scell_ecio,serving_cell.scell_ura,active_set.1.aset_arfcn,",
        "\r\n2024-05-01T12:00:00.250Z,12.5,radionwinfo,SUCCESS,10700,-84,,,10700,",
        // A formula is a text; quotes and commas are quoted; control
        // characters (a modem's NUL and escapes, line ends) are shown as on
        // the screens, so each row is one line.
        ",'=cmd|' /C calc'!A0,",
        ",\"a,\"\"b\"\"\\x0Ac\",,-3,\\x09x,A\\x00B\\x1B[2J\\xC2\\x85,'@SUM(1)\r\n",
    };
    for (const std::string &w : want) EXPECT_NE(csv.find(w), std::string::npos) << w << "\n" << csv;
    std::string rows = csv;
    for (std::size_t at; (at = rows.find("\r\n")) != std::string::npos;) rows.erase(at, 2);
    for (unsigned char c : rows) EXPECT_TRUE(c >= 0x20 && c != 0x7F) << static_cast<int>(c);

    CsvTable only("bearer");
    std::string why;
    EXPECT_TRUE(only.Add(good, &why));
    EXPECT_EQ(only.rows(), 0u);
}

}  // namespace
}  // namespace diagctl

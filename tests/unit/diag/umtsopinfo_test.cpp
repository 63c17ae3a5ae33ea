// umtsopinfo through the real server intake: the one write to status_utra,
// the response and the APN dump on standard output.
#include <gtest/gtest.h>
#include <stdint.h>

#include <algorithm>
#include <string>
#include <vector>

#include "list_harness.h"

namespace {

class Umtsopinfo : public ListHarness {};

std::string Head() {
    return "drx::NOT SUPPORTED\n" +
           IndexedLines({"intra_psc%d", "intra_ecno%d", "intra_rscp%d", "inter_uarfcn%d",
                         "inter_psc%d", "inter_ecno%d", "inter_rscp%d", "inter_rssi%d"},
                        1, 6, "::N/A");
}

const std::string kGsmCellsNotAvailable = IndexedLines(
    {"irat_system%d", "irat_ch%d", "irat_bsic%d", "irat_gsm_rssi%d", "irat_cellid%d", "irat_cm%d"},
    1, 6, "::N/A");

// The text from one marker up to another ("" when either is missing).
std::string Between(const std::string &text, const std::string &from, const std::string &to) {
    size_t a = text.find(from), b = text.find(to);
    return a == std::string::npos || b == std::string::npos || b < a ? "" : text.substr(a, b - a);
}

TEST_F(Umtsopinfo, PublishesEverySectionInOrder) {
    sim::Scenario &s = S();
    s.basic.gmm_cause = 17;
    s.basic.mm_cause = 255;
    s.intra_neighbours = {{311, -9, static_cast<int8_t>(0x9C)}, {65535, -24, -120}};
    s.inter_neighbours = {{10713, 44, -11, -95, static_cast<int8_t>(0xC4)}};
    s.gsm_neighbours = {{1023, 63, -60}, {512, 0, -110}};  // camped on WCDMA
    s.pdp_contexts.resize(5);
    s.pdp_contexts[0] = {"internet", {0xC0, 0xA8, 0x01, 0x0A}, {0x20, 0x01, 0x0d, 0xb8}};
    s.pdp_contexts[2] = {"ims", {255, 255, 255, 255}, {0xfe, 0x80}};
    s.pdp_contexts[2].ipv6[15] = 1;
    s.pdp_contexts[4] = {"fifth", {1, 2, 3, 4}, {}};  // beyond the four shown
    std::string own;
    EXPECT_EQ(Run("umtsopinfo", &own), "SUCCESS");
    EXPECT_EQ(own,
              "APN:0x69 0x6e 0x74 0x65 0x72 0x6e 0x65 0x74 \nAPN:\nAPN:0x69 0x6d 0x73 \nAPN:\n");
    const std::string zeros = "0000:0000:0000:0000:0000:0000\n";
    EXPECT_EQ(Utra(),
              Head() +
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
                  "apn4_name::\napn4_ipv4_addr::0.0.0.0\napn4_ipv6_addr::0000:0000:" +
                  zeros);
}

TEST_F(Umtsopinfo, NeighbourCountsAreCappedAtSix) {
    for (int count : {0, 2, 40}) {
        SCOPED_TRACE(count);
        S().intra_neighbours.assign(size_t(count), {7, -1, -2});
        S().inter_neighbours.assign(size_t(count), {8, 9, -3, -4, -5});
        EXPECT_EQ(Run("umtsopinfo"), "SUCCESS");
        int shown = std::min(count, 6);
        std::string intra =
            IndexedLines({"intra_psc%d:n:7", "intra_ecno%d:n:-1", "intra_rscp%d:n:-2"}, 1, shown);
        std::string inter =
            IndexedLines({"inter_uarfcn%d:n:8", "inter_psc%d:n:9", "inter_ecno%d:n:-3",
                          "inter_rscp%d:n:-4", "inter_rssi%d:n:-5"},
                         1, shown);
        // Camped on WCDMA without GSM cells: the contexts follow at once.
        EXPECT_EQ(Between(Utra(), "drx::", "apn1_name::"),
                  Head() + "gmm_reject:n:0\nmm_reject:n:0\nt3212:n:60\n" + intra + inter);
    }
}

// GSM cells are fetched only when camped on WCDMA; otherwise, or when that
// fetch fails, all six indices read "N/A". A shorter list leaves the higher
// indices of the previous run alone (count 8, then 1).
TEST_F(Umtsopinfo, GsmCellsFollowTheActiveRat) {
    struct Case {
        int rat;  // -1: the mobility fetch fails
        int irat_ok, gsm_count, irat_requests;
    } cases[] = {{0, 1, 2, 0}, {2, 1, 2, 0}, {3, 1, 2, 0}, {-1, 1, 2, 0},
                 {1, 0, 2, 1}, {1, 1, 8, 1}, {1, 1, 1, 1}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.rat);
        Reset();
        S().mobility.active_rat = static_cast<uint8_t>(c.rat < 0 ? 1 : c.rat);
        if (c.rat < 0) FailStructure(8);
        if (!c.irat_ok) FailStructure(10);
        S().gsm_neighbours.assign(size_t(c.gsm_count), {600, 5, -70});
        EXPECT_EQ(Run("umtsopinfo"), "SUCCESS");
        EXPECT_EQ(testsupport::FakeTechmode::Requests(10), c.irat_requests);
        std::string expected =
            c.rat != 1 || !c.irat_ok
                ? kGsmCellsNotAvailable
                : IndexedLines({"irat_system%d::GSM", "irat_ch%d:n:600", "irat_bsic%d:n:5",
                                "irat_gsm_rssi%d:n:-70", "irat_cellid%d::N/A", "irat_cm%d::N/A"},
                               1, std::min(c.gsm_count, 6));
        EXPECT_EQ(Between(Utra(), "irat_system1::", "apn1_name::"), expected);
    }
}

// Every fetch but the mobility one counts (it only picks the branch; with
// it on WCDMA the GSM cell fetch counts).
TEST_F(Umtsopinfo, SuccessRule) {
    struct Case {
        std::initializer_list<int> ok;
        const char *answer;
    } cases[] = {{{}, "FAILURE"},  {{8}, "FAILURE"},  {{8, 10}, "SUCCESS"}, {{1}, "SUCCESS"},
                 {{3}, "SUCCESS"}, {{16}, "SUCCESS"}, {{14}, "SUCCESS"}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.ok.size() ? *c.ok.begin() : -1);
        Reset();
        FailAllBut({1, 3, 16, 8, 10, 14}, c.ok);
        std::string own;
        EXPECT_EQ(Run("umtsopinfo", &own), c.answer);
        if (std::string(c.answer) == "SUCCESS") continue;
        EXPECT_EQ(own, "");
        EXPECT_EQ(
            Utra(),
            Head() + "gmm_reject::N/A\nmm_reject::N/A\nt3212::N/A\n" + kGsmCellsNotAvailable +
                IndexedLines({"apn%d_name", "apn%d_ipv4_addr", "apn%d_ipv6_addr"}, 1, 4, "::N/A"));
    }
}

// A name that fills its 100-byte field without a NUL ends at the field: the
// address bytes after it ("ABCD") are not part of it.
TEST_F(Umtsopinfo, FullLengthApnStaysInItsField) {
    std::string apn = std::string(99, 'a') + "\xe9";
    S().pdp_contexts = {{apn, {'A', 'B', 'C', 'D'}, {}}};
    std::string own, dump = "APN:";
    EXPECT_EQ(Run("umtsopinfo", &own), "SUCCESS");
    for (int i = 0; i < 99; i++) dump += "0x61 ";
    EXPECT_EQ(own, dump + "0xe9 \nAPN:\nAPN:\nAPN:\n");
    EXPECT_NE(Utra().find("\napn1_name::" + apn + "\napn1_ipv4_addr::65.66.67.68\n"),
              std::string::npos);
}

}  // namespace

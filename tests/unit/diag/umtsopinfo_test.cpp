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

const int kAllTypes[] = {1, 3, 16, 8, 10, 14};

std::string Head() {
    return "drx::NOT SUPPORTED\n" +
           IndexedLines({"intra_psc%d", "intra_ecno%d", "intra_rscp%d", "inter_uarfcn%d",
                         "inter_psc%d", "inter_ecno%d", "inter_rscp%d", "inter_rssi%d"},
                        1, 6, "N/A");
}

std::string GsmCellsNotAvailable() {
    return IndexedLines({"irat_system%d", "irat_ch%d", "irat_bsic%d", "irat_gsm_rssi%d",
                         "irat_cellid%d", "irat_cm%d"},
                        1, 6, "N/A");
}

// The text between two markers of a status text ("" when either is missing).
std::string Between(const std::string &text, const std::string &from, const std::string &to) {
    size_t a = text.find(from), b = text.find(to);
    return a == std::string::npos || b == std::string::npos || b < a ? "" : text.substr(a, b - a);
}

TEST_F(Umtsopinfo, PublishesEverySectionInOrder) {
    sim::Scenario &s = S();
    s.basic.gmm_cause = 17;
    s.basic.mm_cause = 255;
    s.radio_stats.t3212 = 240;
    s.intra_neighbours = {{311, -9, static_cast<int8_t>(0x9C)}, {65535, -24, -120}};
    s.inter_neighbours = {{10713, 44, -11, -95, static_cast<int8_t>(0xC4)}};
    s.mobility.active_rat = 1;
    s.gsm_neighbours = {{1023, 63, -60}, {512, 0, -110}};
    s.pdp_contexts.resize(5);
    s.pdp_contexts[0] = {"internet", {0xC0, 0xA8, 0x01, 0x0A}, {0x20, 0x01, 0x0d, 0xb8}};
    s.pdp_contexts[2] = {"ims", {255, 255, 255, 255}, {0xfe, 0x80}};
    s.pdp_contexts[2].ipv6[15] = 1;
    s.pdp_contexts[4] = {"fifth", {1, 2, 3, 4}, {}};  // beyond the four shown

    std::string own, id = NextId();
    EXPECT_EQ(Run("umtsopinfo", id, &own), Success("umtsopinfo", id));
    EXPECT_EQ(own,
              "APN:0x69 0x6e 0x74 0x65 0x72 0x6e 0x65 0x74 \nAPN:\nAPN:0x69 0x6d 0x73 \nAPN:\n");
    const std::string zero6 = "0000:0000:0000:0000:0000:0000";
    EXPECT_EQ(Utra(), Head() +
                          "gmm_reject:n:17\nmm_reject:n:255\nt3212:n:240\n"
                          "intra_psc1:n:311\nintra_ecno1:n:-9\nintra_rscp1:n:-100\n"
                          "intra_psc2:n:65535\nintra_ecno2:n:-24\nintra_rscp2:n:-120\n"
                          "inter_uarfcn1:n:10713\ninter_psc1:n:44\ninter_ecno1:n:-11\n"
                          "inter_rscp1:n:-95\ninter_rssi1:n:-60\n"
                          "irat_system1::GSM\nirat_ch1:n:1023\nirat_bsic1:n:63\n"
                          "irat_gsm_rssi1:n:-60\nirat_cellid1::N/A\nirat_cm1::N/A\n"
                          "irat_system2::GSM\nirat_ch2:n:512\nirat_bsic2:n:0\n"
                          "irat_gsm_rssi2:n:-110\nirat_cellid2::N/A\nirat_cm2::N/A\n"
                          "apn1_name::internet\napn1_ipv4_addr::192.168.1.10\n"
                          "apn1_ipv6_addr::2001:0db8:" +
                          zero6 +
                          "\n"
                          "apn2_name::\napn2_ipv4_addr::0.0.0.0\napn2_ipv6_addr::0000:0000:" +
                          zero6 +
                          "\n"
                          "apn3_name::ims\napn3_ipv4_addr::255.255.255.255\n"
                          "apn3_ipv6_addr::fe80:0000:0000:0000:0000:0000:0000:0001\n"
                          "apn4_name::\napn4_ipv4_addr::0.0.0.0\napn4_ipv6_addr::0000:0000:" +
                          zero6 + "\n");
}

TEST_F(Umtsopinfo, NeighbourCountsAreCappedAtSix) {
    for (int count : {0, 2, 40}) {
        SCOPED_TRACE(count);
        S().intra_neighbours.clear();
        S().inter_neighbours.clear();
        for (int k = 0; k < count; k++) {
            S().intra_neighbours.push_back({static_cast<uint16_t>(k), -1, -2});
            S().inter_neighbours.push_back({static_cast<uint16_t>(k), 9, -3, -4, -5});
        }
        std::string id = NextId();
        EXPECT_EQ(Run("umtsopinfo", id), Success("umtsopinfo", id));
        std::string intra, inter;
        for (int i = 1; i <= count && i <= 6; i++) {
            std::string n = std::to_string(i), k = std::to_string(i - 1);
            intra += "intra_psc" + n + ":n:" + k + "\nintra_ecno" + n + ":n:-1\nintra_rscp" + n +
                     ":n:-2\n";
            inter += "inter_uarfcn" + n + ":n:" + k + "\ninter_psc" + n + ":n:9\ninter_ecno" + n +
                     ":n:-3\ninter_rscp" + n + ":n:-4\ninter_rssi" + n + ":n:-5\n";
        }
        EXPECT_EQ(Between(Utra(), "drx::", "apn1_name::"),  // camped on WCDMA, no GSM cells
                  Head() + "gmm_reject:n:0\nmm_reject:n:0\nt3212:n:60\n" + intra + inter);
    }
}

// GSM cells are fetched only when camped on WCDMA; otherwise, or when that
// fetch fails, all six indices read "N/A". A shorter list leaves the higher
// indices of the previous run alone (count 8, then 1).
TEST_F(Umtsopinfo, GsmCellsFollowTheActiveRat) {
    struct Case {
        int rat;  // -1: the mobility fetch fails
        bool irat_fails;
        int gsm_count;
        int irat_requests;
    } cases[] = {
        {0, false, 2, 0}, {2, false, 2, 0}, {3, false, 2, 0}, {-1, false, 2, 0},
        {1, true, 2, 1},  {1, false, 8, 1}, {1, false, 1, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.rat);
        Reset();
        S().mobility.active_rat = static_cast<uint8_t>(c.rat < 0 ? 1 : c.rat);
        if (c.rat < 0) FailStructure(8);
        if (c.irat_fails) FailStructure(10);
        for (int k = 0; k < c.gsm_count; k++)
            S().gsm_neighbours.push_back({static_cast<uint16_t>(600 + k), 5, -70});
        std::string id = NextId();
        EXPECT_EQ(Run("umtsopinfo", id), Success("umtsopinfo", id));
        EXPECT_EQ(testsupport::FakeTechmode::Requests(10), c.irat_requests);
        std::string expected;
        if (c.rat != 1 || c.irat_fails) {
            expected = GsmCellsNotAvailable();
        } else {
            for (int i = 1; i <= c.gsm_count && i <= 6; i++) {
                std::string n = std::to_string(i);
                expected += "irat_system" + n + "::GSM\nirat_ch" + n +
                            ":n:" + std::to_string(599 + i) + "\nirat_bsic" + n +
                            ":n:5\nirat_gsm_rssi" + n + ":n:-70\nirat_cellid" + n +
                            "::N/A\nirat_cm" + n + "::N/A\n";
            }
        }
        EXPECT_EQ(Between(Utra(), "irat_system1::", "apn1_name::"), expected);
    }
}

// Which fetches count: any but the mobility fetch, which only picks the
// branch (with mobility on WCDMA the GSM cell fetch counts).
TEST_F(Umtsopinfo, SuccessRule) {
    struct Case {
        std::vector<int> ok;
        bool success;
    } cases[] = {
        {{}, false}, {{8}, false}, {{8, 10}, true}, {{1}, true},
        {{3}, true}, {{16}, true}, {{14}, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.ok.empty() ? -1 : c.ok.back());
        Reset();
        for (int type : kAllTypes)
            if (std::find(c.ok.begin(), c.ok.end(), type) == c.ok.end()) FailStructure(type);
        std::string own, id = NextId();
        std::string response = Run("umtsopinfo", id, &own);
        EXPECT_EQ(response, c.success ? Success("umtsopinfo", id) : Failure("umtsopinfo", id));
        if (c.ok.size() <= 1 && (c.ok.empty() || c.ok[0] == 8)) {
            EXPECT_EQ(own, "");
            EXPECT_EQ(Utra(), Head() + "gmm_reject::N/A\nmm_reject::N/A\nt3212::N/A\n" +
                                  GsmCellsNotAvailable() +
                                  IndexedLines({"apn%d_name", "apn%d_ipv4_addr", "apn%d_ipv6_addr"},
                                               1, 4, "N/A"));
        }
    }
}

// A name that fills its 100-byte field without a NUL ends at the field: the
// address bytes after it ("ABCD") are not part of it.
TEST_F(Umtsopinfo, FullLengthApnStaysInItsField) {
    std::string apn = std::string(99, 'a') + "\xe9";
    S().pdp_contexts = {{apn, {'A', 'B', 'C', 'D'}, {}}};
    std::string own, id = NextId();
    EXPECT_EQ(Run("umtsopinfo", id, &own), Success("umtsopinfo", id));
    std::string dump = "APN:";
    for (int i = 0; i < 99; i++) dump += "0x61 ";
    EXPECT_EQ(own, dump + "0xe9 \nAPN:\nAPN:\nAPN:\n");
    EXPECT_NE(Utra().find("\napn1_name::" + apn + "\napn1_ipv4_addr::65.66.67.68\n"),
              std::string::npos);
}

}  // namespace

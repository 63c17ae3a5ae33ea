// radionwinfo through the real server intake: the one write to status_utra,
// the response and the entry's standard-output line.
#include <gtest/gtest.h>
#include <stdint.h>

#include <algorithm>
#include <string>
#include <vector>

#include "list_harness.h"

namespace {

class Radionwinfo : public ListHarness {};

std::string Unsupported() {
    return "scell_ura::NOT SUPPORTED\ncell_status::NOT SUPPORTED\n" +
           IndexedLines({"aset_mcc%d", "aset_mnc%d", "aset_lac%d", "aset_rac%d", "aset_ura%d",
                         "aset_cellid%d", "srxlev%d", "squal%d", "mset_mcc%d", "mset_mnc%d",
                         "mset_lac%d", "mset_rac%d", "mset_ura%d", "mset_cellid%d"},
                        1, 6, "::NOT SUPPORTED");
}

// A set of count cells as published under the set's names: the listed cells
// (entry k with scrambling code k + 1), then "N/A" up to index 6.
std::string SetLines(const std::string &p, const std::string &channel, int count) {
    int shown = std::min(count, 6);
    std::string ch = p + channel + "%d", sc = p + "sc%d", rscp = p + "rscp%d", ecio = p + "ecio%d";
    std::string v[] = {ch + ":n:10700", sc + ":n:%d", rscp + ":n:-100", ecio + ":n:-10"};
    return IndexedLines({v[0].c_str(), v[1].c_str(), v[2].c_str(), v[3].c_str()}, 1, shown) +
           IndexedLines({ch.c_str(), sc.c_str(), rscp.c_str(), ecio.c_str()}, shown + 1, 6,
                        "::N/A");
}

std::vector<sim::SetCell> Cells(int count) {
    std::vector<sim::SetCell> cells;
    for (int k = 0; k < count; k++)  // RSCP byte 0x9C, Ec/Io byte 0xF6
        cells.push_back({10700, uint16_t(k + 1), int8_t(0x9C), int8_t(0xF6)});
    return cells;
}

TEST_F(Radionwinfo, PublishesEverySectionInOrder) {
    S().serving_cell_3g = {10700, 511, 0x0FFFFFFF, static_cast<int8_t>(0x9C),
                           static_cast<int8_t>(0xF6)};
    S().mobility = {1, 310, 260, 0xFFFE, 255};
    S().active_set = Cells(3);
    S().monitored_set = Cells(9);
    std::string own;
    EXPECT_EQ(Run("radionwinfo", &own), "SUCCESS");
    EXPECT_EQ(own, "VeloRadionwinfoHandler\n");
    EXPECT_EQ(Utra(), Unsupported() +
                          "scell_uarfcn:n:10700\nscell_sc:n:511\nscell_rscp:n:-100\n"
                          "scell_ecio:n:-10\nscell_cellid:n:268435455\nscell_mcc:n:310\n"
                          "scell_mnc:n:260\nscell_lac:n:65534\nscell_rac:n:255\n" +
                          SetLines("aset_", "arfcn", 3) + SetLines("mset_", "uarfcn", 9));
}

// Each section falls back to "N/A" on its own; any one fetch that works
// makes the run a success. Every run writes all six indices of both sets,
// so a run with empty sets leaves nothing of an earlier one behind.
TEST_F(Radionwinfo, FailedFetchesAndEmptySets) {
    const std::string serving_na =
        "scell_uarfcn::N/A\nscell_sc::N/A\nscell_rscp::N/A\nscell_ecio::N/A\nscell_cellid::N/A\n";
    const std::string identity =
        "scell_mcc:n:310\nscell_mnc:n:150\nscell_lac:n:4660\nscell_rac:n:7\n";
    struct Case {
        std::initializer_list<int> ok;
        const char *answer;
        std::string middle;  // between the unsupported names and the sets ("": not checked)
    } cases[] = {
        {{},
         "FAILURE",
         serving_na + "scell_mcc::N/A\nscell_mnc::N/A\nscell_lac::N/A\nscell_rac::N/A\n"},
        {{8}, "SUCCESS", serving_na + identity},
        {{4}, "SUCCESS", ""},
        {{19}, "SUCCESS", ""},
        {{20}, "SUCCESS", ""},
        {{8, 19, 20}, "SUCCESS", serving_na + identity},  // empty sets, fetched
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.ok.size() ? *c.ok.begin() : -1);
        Reset();
        if (c.ok.size() < 3) S().active_set = Cells(2), S().monitored_set = Cells(1);
        FailAllBut({4, 8, 19, 20}, c.ok);
        EXPECT_EQ(Run("radionwinfo"), c.answer);
        std::string text = Utra();
        if (c.middle.empty()) continue;
        EXPECT_EQ(text, Unsupported() + c.middle + SetLines("aset_", "arfcn", 0) +
                            SetLines("mset_", "uarfcn", 0));
    }
}

}  // namespace

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
                        1, 6, "NOT SUPPORTED");
}

// A set of count cells, entry k on channel 10700 + k, as published under
// the set's names: the listed cells, then "N/A" up to index 6.
std::string SetLines(const std::string &prefix, const char *channel, int count) {
    std::string out;
    int shown = std::min(count, 6);
    for (int i = 1; i <= shown; i++) {
        std::string n = std::to_string(i);
        out += prefix + channel + n + ":n:" + std::to_string(10699 + i) + "\n" + prefix + "sc" + n +
               ":n:" + std::to_string(i) + "\n" + prefix + "rscp" + n + ":n:-100\n" + prefix +
               "ecio" + n + ":n:-10\n";
    }
    std::string a = prefix + channel + "%d", b = prefix + "sc%d", c = prefix + "rscp%d",
                d = prefix + "ecio%d";
    return out + IndexedLines({a.c_str(), b.c_str(), c.c_str(), d.c_str()}, shown + 1, 6, "N/A");
}

std::vector<sim::SetCell> Cells(int count) {
    std::vector<sim::SetCell> cells;
    for (int k = 0; k < count; k++)  // RSCP byte 0x9C, Ec/Io byte 0xF6
        cells.push_back({static_cast<uint16_t>(10700 + k), static_cast<uint16_t>(k + 1),
                         static_cast<int8_t>(0x9C), static_cast<int8_t>(0xF6)});
    return cells;
}

TEST_F(Radionwinfo, PublishesEverySectionInOrder) {
    S().serving_cell_3g = {10700, 511, 0x0FFFFFFF, static_cast<int8_t>(0x9C),
                           static_cast<int8_t>(0xF6)};
    S().mobility = {1, 310, 260, 0xFFFE, 255};
    S().active_set = Cells(3);
    S().monitored_set = Cells(9);
    std::string own, id = NextId();
    EXPECT_EQ(Run("radionwinfo", id, &own), Success("radionwinfo", id));
    EXPECT_EQ(own, "VeloRadionwinfoHandler\n");
    EXPECT_EQ(Utra(), Unsupported() +
                          "scell_uarfcn:n:10700\nscell_sc:n:511\nscell_rscp:n:-100\n"
                          "scell_ecio:n:-10\nscell_cellid:n:268435455\n"
                          "scell_mcc:n:310\nscell_mnc:n:260\nscell_lac:n:65534\nscell_rac:n:255\n" +
                          SetLines("aset_", "arfcn", 3) + SetLines("mset_", "uarfcn", 9));
}

// Every run writes all six indices of both sets, so a shorter set after a
// longer one leaves nothing of it behind.
TEST_F(Radionwinfo, SetCountsAreCappedAtSix) {
    for (int count : {9, 0, 6, 3}) {
        SCOPED_TRACE(count);
        S().active_set = Cells(count);
        S().monitored_set = Cells(count);
        std::string id = NextId(), text;
        EXPECT_EQ(Run("radionwinfo", id), Success("radionwinfo", id));
        text = Utra();
        std::string sets = SetLines("aset_", "arfcn", count) + SetLines("mset_", "uarfcn", count);
        ASSERT_GE(text.size(), sets.size());
        EXPECT_EQ(text.substr(text.size() - sets.size()), sets);
        EXPECT_EQ(Occurrences(text, "\n"), 2 + 14 * 6 + 5 + 4 + 2 * 4 * 6);
    }
}

// Each section falls back to "N/A" on its own; any one fetch that works
// makes the run a success.
TEST_F(Radionwinfo, FailedFetches) {
    const std::string serving_na =
        "scell_uarfcn::N/A\nscell_sc::N/A\nscell_rscp::N/A\nscell_ecio::N/A\nscell_cellid::N/A\n";
    const std::string identity_na =
        "scell_mcc::N/A\nscell_mnc::N/A\nscell_lac::N/A\nscell_rac::N/A\n";
    struct Case {
        std::vector<int> ok;
        bool success;
        std::string middle;  // between the unsupported names and the sets ("": not checked)
    } cases[] = {
        {{}, false, serving_na + identity_na},
        {{8},
         true,
         serving_na + "scell_mcc:n:310\nscell_mnc:n:150\nscell_lac:n:4660\nscell_rac:n:7\n"},
        {{4}, true, ""},
        {{19}, true, ""},
        {{20}, true, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.ok.empty() ? -1 : c.ok[0]);
        Reset();
        S().active_set = Cells(2);
        S().monitored_set = Cells(1);
        for (int type : {4, 8, 19, 20})
            if (std::find(c.ok.begin(), c.ok.end(), type) == c.ok.end()) FailStructure(type);
        std::string id = NextId();
        EXPECT_EQ(Run("radionwinfo", id),
                  c.success ? Success("radionwinfo", id) : Failure("radionwinfo", id));
        if (c.middle.empty()) continue;
        EXPECT_EQ(Utra(), Unsupported() + c.middle + SetLines("aset_", "arfcn", 0) +
                              SetLines("mset_", "uarfcn", 0));
    }
}

}  // namespace

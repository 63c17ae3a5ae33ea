// SPDX-License-Identifier: Apache-2.0
// Drives and reply recordings as pure code, hostile lines among them.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <tuple>

#include "ErrorOf.h"
#include "Golden.h"
#include "Scenario.h"
#include "Timeline.h"
#include "techmode/techmode_protocol.h"

namespace {

std::shared_ptr<const sim::Drive> Sample(const char *name) {
    const std::string path = std::string(TECHMODE_SIM_DRIVES) + "/" + name + ".json";
    return sim::Drive::Parse(sim::ReadScenarioFile(path), path);
}

// Levels move between keyframes, codes hold, a list's cells match by code,
// events hold from start to end, a looping drive starts again.
TEST(TechmodeSimDrive, SampleDrivesAtKeyframesMidwayAndUnderEvents) {
    auto handover = Sample("drive-handover");
    auto storm = Sample("reject-storm");
    using Get = std::function<long(const sim::Scenario &)>;
    const std::tuple<const sim::Drive *, double, Get, long> cases[] = {
        {handover.get(), 0, [](auto &s) { return s.serving_cell_3g.rscp_dbm; }, -70},
        {handover.get(), 10, [](auto &s) { return s.serving_cell_3g.rscp_dbm; }, -80},
        {handover.get(), 10, [](auto &s) { return s.serving_cell_3g.ecio_db; }, -7},
        {handover.get(), 10, [](auto &s) { return s.monitored_set.at(1).rscp_dbm; }, -101},
        // The same cells in both keyframes move, in another order too.
        {handover.get(), 25, [](auto &s) { return s.active_set.at(0).psc; }, 310},
        {handover.get(), 25, [](auto &s) { return s.active_set.at(0).rscp_dbm; }, -93},
        {handover.get(), 25, [](auto &s) { return s.active_set.at(1).rscp_dbm; }, -82},
        {handover.get(), 25, [](auto &s) { return s.serving_cell_3g.psc; }, 310},
        {handover.get(), 30, [](auto &s) { return s.serving_cell_3g.psc; }, 311},
        // 310 leaves the active set at 40: until then it holds its level.
        {handover.get(), 35, [](auto &s) { return s.active_set.at(0).rscp_dbm; }, -92},
        {handover.get(), 52.5, [](auto &s) { return s.mobility.active_rat; }, 0},  // GSM
        {handover.get(), 52.5, [](auto &s) { return s.dedicated_measurement_2g.rxlev_full; }, 27},
        {handover.get(), 52.5, [](auto &s) { return s.utra_neighbours.at(1).rscp_dbm; }, -90},
        {handover.get(), 1000, [](auto &s) { return s.serving_cell_3g.rscp_dbm; }, -72},
        {storm.get(), 4.5, [](auto &s) { return s.radio_stats.rrc_reject_cause; }, 1},
        {storm.get(), 5, [](auto &s) { return s.radio_stats.rrc_reject_cause; }, 0},  // its end
        {storm.get(), 4.5, [](auto &s) { return s.basic.mm_cause; }, 17},
        {storm.get(), 4.5, [](auto &s) { return long(s.faults.size()); }, 0},
        {storm.get(), 11,
         [](auto &s) { return s.faults.at(TECHMODE_STRUCT_SERVING_CELL_3G).device_error; }, 5},
        // Looping: 34.5 s is 4.5 s into the second lap.
        {storm.get(), 34.5, [](auto &s) { return s.radio_stats.rrc_reject_cause; }, 1},
        {storm.get(), 22.5, [](auto &s) { return s.serving_cell_3g.rscp_dbm; }, -102},  // -101.5
    };
    for (const auto &[drive, t, get, want] : cases) EXPECT_EQ(get(*drive->At(t)), want) << t;
}

// The LTE drive: the serving cell fades (levels kept in half dB; between
// keyframes given in whole dB they move in whole dB, -106.5 rounding to
// -107, and otherwise in half dB, rounded away from zero), a second carrier and
// an NR leg under NSA come and go at their keyframes, a carrier matched by
// EARFCN and PCI moves, and the modem falls back to UMTS.
TEST(TechmodeSimDrive, LteDriveFadesAddsCarriersAndFallsBack) {
    auto lte = Sample("drive-lte");
    using Get = std::function<long(const sim::Scenario &)>;
    const std::tuple<double, Get, long> cases[] = {
        {0, [](auto &s) { return s.lte_serving_cell.rsrp; }, -160},
        {10, [](auto &s) { return s.lte_serving_cell.rsrp; }, -168},
        {10, [](auto &s) { return s.lte_serving_cell.rsrq; }, -18},
        {10, [](auto &s) { return s.lte_serving_cell.cqi; }, 12},
        {10, [](auto &s) { return long(s.lte_secondary_cells.size()); }, 0},
        // Listed in the other order at 20: each cell keeps to its own levels.
        {10, [](auto &s) { return s.lte_neighbours.at(0).rsrp; }, -188},
        {10, [](auto &s) { return s.lte_neighbours.at(1).rsrp; }, -200},
        {20, [](auto &s) { return long(s.lte_secondary_cells.size()); }, 1},
        {20, [](auto &s) { return s.lte_secondary_cells.at(0).state; }, 1},
        {27.5, [](auto &s) { return s.lte_secondary_cells.at(0).rsrp; }, -210},
        {10, [](auto &s) { return s.nr_cells.mode; }, 0},
        {20, [](auto &s) { return s.nr_cells.mode; }, 2},
        {27.5, [](auto &s) { return s.nr_cells.cell.ss_rsrq; }, -27},
        {27.5, [](auto &s) { return s.nr_cells.neighbours.at(0).ss_rsrp; }, -214},
        {45, [](auto &s) { return long(s.lte_secondary_cells.size()); }, 0},
        {45, [](auto &s) { return s.nr_cells.mode; }, 0},
        {47.5, [](auto &s) { return s.lte_neighbours.at(1).rsrp; }, -212},
        {47.5, [](auto &s) { return s.lte_neighbours.at(0).pci; }, 230},  // leaves at 55
        {57.5, [](auto &s) { return s.lte_serving_cell.camped; }, 1},
        {57.5, [](auto &s) { return s.lte_serving_cell.rsrp; }, -242},
        {60, [](auto &s) { return s.lte_serving_cell.camped; }, 0},
        {60, [](auto &s) { return s.mobility.active_rat; }, 1},
        {60, [](auto &s) { return long(s.lte_neighbours.size()); }, 0},
        {70, [](auto &s) { return s.serving_cell_3g.rscp_dbm; }, -80},
    };
    for (const auto &[t, get, want] : cases) EXPECT_EQ(get(*lte->At(t)), want) << t;
}

TEST(TechmodeSimDrive, BadTimelinesNameTheStepAndField) {
    const std::pair<const char *, const char *> cases[] = {
        // the error after "x: timeline"
        {"[]", ": must be an object"},
        {R"({"keyframe":[]})", ".keyframe: unknown field"},
        {R"({"keyframes":[{"at":5},{"at":5}]})", ".keyframes[1].at: must be later than the keyf"},
        {R"({"keyframes":[{}]})", ".keyframes[0]: needs \"at\""},
        {R"({"keyframes":[{"at":-1}]})", ".keyframes[0].at: must be a number"},
        {R"({"keyframes":[{"at":0},{"at":9,"mobility":{"mcc":70000}}]})",
         ".keyframes[1] (at 9 s): mobility.mcc: must be an integer from 0 to 65535"},
        {R"({"keyframes":[{"at":0,"mobilty":{}}]})", ".keyframes[0] (at 0 s): mobilty: unknown"},
        {R"({"keyframes":[{"at":0,"timeline":{}}]})", ".keyframes: each entry"},
        {R"({"events":[{"at":1,"faults":{"basic":{"device_error":0}}}]})",
         ".events[0] (at 1 s): faults.basic.device_error"},
        {R"({"loop":1})", ".loop: must be true or false"},
        {R"({"loop":true,"keyframes":[{"at":0}]})", ".loop: needs a drive"},
    };
    for (const auto &[timeline, error] : cases) {
        const std::string json = std::string("{\"timeline\":") + timeline + "}";
        EXPECT_EQ(ErrorOf([&] { sim::Drive::Parse(json, "x"); }).substr(0, strlen(error) + 11),
                  std::string("x: timeline") + error)
            << timeline;
    }
}

// Every byte value comes back; a line cut off is left out with a word, and
// hostile lines are refused naming the line.
TEST(TechmodeSimGolden, RepliesRoundTripAndHostileLinesAreRefused) {
    sim::ServedReply r;
    r.type = TECHMODE_STRUCT_ACTIVE_SET_INFO;
    r.delay_ms = 7;
    for (int i = 0; i < 256; i++) r.bytes.push_back(static_cast<uint8_t>(i));
    const std::string line = sim::ReplyLine(r) + "\n";
    std::string warning;
    std::vector<sim::ServedReply> back =
        sim::ParseReplies(line + line.substr(0, 30), "f", &warning);
    ASSERT_EQ(back.size(), 1u);
    EXPECT_EQ(back[0].bytes, r.bytes);
    EXPECT_EQ(back[0].delay_ms, 7);
    EXPECT_EQ(warning, "f: line 2 is cut off (no newline at the end); left out");
    auto rec = [](const std::string &reply) {  // a line good but for its reply
        return "{\"t\":1,\"type\":1,\"status\":0,\"delay_ms\":0,\"reply\":\"" + reply + "\"}";
    };
    const std::string cases[][2] = {
        {"[1]", "not a JSON object"},
        {R"({"type":1,"status":0,"delay_ms":0,"reply":""})", "\"t\" must be"},
        {R"({"t":1,"type":29,"status":0,"delay_ms":0,"reply":""})",
         "\"type\" must be an integer from 0 to 28"},
        {R"({"t":1,"type":1,"status":-1,"delay_ms":0,"reply":""})", "\"status\""},
        {rec("abc"), "\"reply\" must be at most 4096 bytes in hex"},
        {rec("zz"), "\"reply\" holds a character that is not hex"},
        {rec(std::string(8194, 'a')), "\"reply\" must be at most 4096 bytes"},
        {std::string(100000, '[') + std::string(100000, ']'), "not a JSON object"},
    };
    for (const auto &[text, error] : cases) {
        SCOPED_TRACE(text.substr(0, 60));
        EXPECT_EQ(ErrorOf([&] {
                      sim::ParseReplies(text + "\n", "f", &warning);
                  }).substr(0, error.size() + 11),
                  "f: line 1: " + error);
    }
}

}  // namespace

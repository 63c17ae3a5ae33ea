// SPDX-License-Identifier: Apache-2.0
// Writes the seed corpus of fuzz_techmode into a directory: for every
// fetcher, its selector byte and a good reply that the simulator encodes from
// its default scenario (and for the LTE and NR structures one more, with
// their lists filled). Run it again when a structure changes:
//   build/fuzz/bin/make_techmode_seeds tests/fuzz/corpus/techmode
#include <stdio.h>
#include <string.h>

#include <fstream>
#include <string>
#include <vector>

#include "Replies.h"
#include "Scenario.h"
#include "techmode/techmode_structs.h"

namespace {

// An LTE cell with neighbours and two carriers, and an NR leg under NSA.
const char kLte[] = R"({
  "lte_serving_cell": {"camped": "YES"},
  "lte_neighbours": [{"earfcn": 1300, "pci": 102, "rsrp_dbm": -95, "rsrq_db": -12,
                      "cell_id": 1715005},
                     {"earfcn": 6300, "pci": 230, "rsrp_dbm": -101.5, "rsrq_db": -13.5}],
  "lte_secondary_cells": [{"earfcn": 6300, "pci": 230, "band": 20, "dl_bandwidth": "10MHz",
                           "rsrp_dbm": -99, "rsrq_db": -13, "sinr_db": 8, "state": "ACTIVE"},
                          {"earfcn": 9820, "pci": 7, "band": 42, "dl_bandwidth": "20MHz",
                           "rsrp_dbm": -110, "rsrq_db": -16, "sinr_db": 2}],
  "nr_cells": {"mode": "NSA", "arfcn": 627264, "pci": 500, "band": 78, "ss_rsrp_dbm": -90,
               "ss_rsrq_db": -11, "ss_sinr_db": 14, "scs": "30kHz",
               "neighbours": [{"arfcn": 627264, "pci": 501, "band": 78, "ss_rsrp_dbm": -101,
                               "ss_rsrq_db": -14.5, "ss_sinr_db": 3}]}
})";

bool Write(const std::string &path, const std::vector<uint8_t> &seed) {
    std::ofstream out(path, std::ios::binary);
    if (!out.write(reinterpret_cast<const char *>(seed.data()), seed.size()).flush()) {
        perror(path.c_str());
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    const bool help = argc == 2 && (strcmp(argv[1], "-h") == 0 || strcmp(argv[1], "--help") == 0);
    if (help || argc != 2 || argv[1][0] == '-') {
        fprintf(help ? stdout : stderr,
                "usage: %s DIRECTORY\n  writes one seed per tech-mode fetcher into DIRECTORY\n",
                argv[0]);
        return help ? 0 : 2;
    }
    const sim::Scenario scenario = sim::ParseScenario(sim::DefaultScenarioJson(), "default");
    const sim::Scenario lte = sim::ParseScenario(kLte, "LTE");
    uint8_t selector = 0;  // the fuzz target numbers the fetchers in type order
    for (unsigned type = 0; type < kTechModeStructTypeCount; type++) {
        const TechModeStructInfo *info = TechModeStructInfoFor(type);
        if (info == nullptr || info->fetch == nullptr) continue;
        // The whole reply: the command element holding the structure element.
        std::vector<uint8_t> seed = sim::EncodeStructure(scenario, static_cast<int>(type));
        seed.insert(seed.begin(), selector++);
        const std::string path =
            argv[1] + std::string(type < 10 ? "/type0" : "/type") + std::to_string(type);
        if (!Write(path, seed)) return 1;
        // The built-in modem is not on LTE: the LTE and NR structures get a
        // second seed with every list filled.
        if (type >= TECHMODE_STRUCT_LTE_SERVING_CELL) {
            seed = sim::EncodeStructure(lte, static_cast<int>(type));
            seed.insert(seed.begin(), static_cast<uint8_t>(selector - 1));
            if (!Write(path + "-filled", seed)) return 1;
        }
    }
    return 0;
}

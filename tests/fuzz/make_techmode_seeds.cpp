// SPDX-License-Identifier: Apache-2.0
// Writes the seed corpus of fuzz_techmode into a directory: for every
// fetcher, its selector byte and a good reply that the simulator encodes from
// its default scenario. Run it again when a structure changes:
//   build/fuzz/bin/make_techmode_seeds tests/fuzz/corpus/techmode
#include <stdio.h>
#include <string.h>

#include <fstream>
#include <string>
#include <vector>

#include "Replies.h"
#include "Scenario.h"
#include "techmode/techmode_structs.h"

int main(int argc, char **argv) {
    const bool help = argc == 2 && (strcmp(argv[1], "-h") == 0 || strcmp(argv[1], "--help") == 0);
    if (help || argc != 2 || argv[1][0] == '-') {
        fprintf(help ? stdout : stderr,
                "usage: %s DIRECTORY\n  writes one seed per tech-mode fetcher into DIRECTORY\n",
                argv[0]);
        return help ? 0 : 2;
    }
    const sim::Scenario scenario = sim::ParseScenario(sim::DefaultScenarioJson(), "default");
    uint8_t selector = 0;  // the fuzz target numbers the fetchers in type order
    for (unsigned type = 0; type < kTechModeStructTypeCount; type++) {
        const TechModeStructInfo *info = TechModeStructInfoFor(type);
        if (info == nullptr || info->fetch == nullptr) continue;
        // The whole reply: the command element holding the structure element.
        std::vector<uint8_t> seed = sim::EncodeStructure(scenario, static_cast<int>(type));
        seed.insert(seed.begin(), selector++);
        const std::string path =
            argv[1] + std::string(type < 10 ? "/type0" : "/type") + std::to_string(type);
        std::ofstream out(path, std::ios::binary);
        if (!out.write(reinterpret_cast<const char *>(seed.data()), seed.size()).flush()) {
            perror(path.c_str());
            return 1;
        }
    }
    return 0;
}

// SPDX-License-Identifier: Apache-2.0
// The built-in scenario: the modem of Scenario.h's defaults, a handset
// camped on WCDMA (UARFCN 10700) in a network 310/150, here with a PS data
// session on two radio bearers and two PDP contexts, a two-cell active set,
// GSM 1800 neighbours, and signal levels that drift slowly.
#include <string>

#include "Scenario.h"

namespace sim {

namespace {

const char kSession[] = R"json({
  "bearers_3g": [
    {"rab_id": 5, "datarate_ul": 384000, "datarate_dl": 7200000, "maxrate_ul": 384000,
     "maxrate_dl": 7200000, "traffic_class": 3, "domain": "PS", "bler_residual": 10,
     "codec": 99, "ciphering": 1},
    {"rab_id": 6, "datarate_ul": 64000, "datarate_dl": 384000, "maxrate_ul": 64000,
     "maxrate_dl": 384000, "traffic_class": 2, "domain": "PS", "bler_residual": 10,
     "codec": 99, "ciphering": 1}
  ],
  "bearer_2g": {"datarate_ul": 13600, "datarate_dl": 59200, "maxrate_ul": 27200,
                "maxrate_dl": 236800, "domain": "PS", "bler_residual": 20, "codec": 99,
                "ciphering": 1},
  "inter_rat_measurements": {
    "gsm_cells": [
      {"arfcn": 512, "bsic": 33, "rssi_dbm": -75},
      {"arfcn": 520, "bsic": 12, "rssi_dbm": -82},
      {"arfcn": 600, "bsic": 45, "rssi_dbm": -90},
      {"arfcn": 698, "bsic": 7, "rssi_dbm": -97}
    ],
    "utra_cells": [
      {"uarfcn": 10700, "psc": 310, "rscp_dbm": -85, "ecn0_db": -6, "rssi_dbm": -70}
    ]
  },
  "pdp_contexts": [
    {"apn": "internet", "ipv4": "10.64.12.7", "ipv6": "2001:db8:0:1::7"},
    {"apn": "ims", "ipv4": "0.0.0.0", "ipv6": "2001:db8:0:2::42"}
  ],
  "neighbours_3g": {
    "intra": [{"psc": 311, "ecno_db": -9, "rscp_dbm": -92},
              {"psc": 120, "ecno_db": -12, "rscp_dbm": -99},
              {"psc": 87, "ecno_db": -15, "rscp_dbm": -104}],
    "inter": [{"uarfcn": 10713, "psc": 44, "ecno_db": -11, "rscp_dbm": -95, "rssi_dbm": -80}]
  },
  "idle_neighbours_2g": [
    {"cell_type": "GPRS", "arfcn": 520, "bsic": 12, "rssi_dbm": -82, "c1": 20, "c2": 22,
     "cell_id": 1002, "lac": 4660},
    {"cell_type": "2G", "arfcn": 600, "bsic": 45, "rssi_dbm": -90, "c1": 12, "c2": 12,
     "cell_id": 1003, "lac": 4661}
  ],
  "dedicated_measurement_2g": {"cells": [{"arfcn": 520, "bsic": 12, "rxlev": 28},
                                         {"arfcn": 600, "bsic": 45, "rxlev": 20}]},
  "active_set": [{"uarfcn": 10700, "psc": 310, "rscp_dbm": -85, "ecio_db": -6},
                 {"uarfcn": 10700, "psc": 311, "rscp_dbm": -92, "ecio_db": -9}],
  "monitored_set": [{"uarfcn": 10700, "psc": 120, "rscp_dbm": -99, "ecio_db": -12},
                    {"uarfcn": 10700, "psc": 87, "rscp_dbm": -104, "ecio_db": -15},
                    {"uarfcn": 10713, "psc": 44, "rscp_dbm": -95, "ecio_db": -11}],
  "drift": {"enabled": true, "period_ms": 20000}
})json";

}  // namespace

const char *DefaultScenarioJson() {
    static const std::string text = WriteScenario(ParseScenario(kSession, "built-in scenario"));
    return text.c_str();
}

}  // namespace sim

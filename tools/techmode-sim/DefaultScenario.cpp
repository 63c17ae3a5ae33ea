// SPDX-License-Identifier: Apache-2.0
// The built-in scenario: a handset camped on WCDMA (UARFCN 10700) in a
// network 310/150, with a PS data session on two PDP contexts, a two-cell
// active set and GSM 1800 neighbours. Signal levels drift slowly.
#include "Scenario.h"

namespace sim {

const char *DefaultScenarioJson() {
    return R"json({
  "identity": {"imeisv": "3538070512345601", "imsi": "310150123456789",
               "tmsi": "01AB00FF", "ptmsi": "C0FFEE01", "srnc_id": 1234},
  "mobility": {"active_rat": "WCDMA", "mcc": 310, "mnc": 150, "lac": 4660, "rac": 7},
  "basic": {"gmm_cause": 0, "mm_cause": 0, "rr_cause": 0, "rr_state": 3},
  "radio_stats": {"rrc_state": 0, "rrc_reject_cause": 0, "rrc_release_cause": 0,
                  "rrc_conn_state": 0, "t3212": 60, "t3312": 54, "t3314": 44},
  "serving_cell_3g": {"uarfcn": 10700, "psc": 310, "cell_id": 19114957,
                      "rscp_dbm": -85, "ecio_db": -6},
  "serving_cell_2g": {"gprs_state": "REGISTERED", "bsic": 33, "arfcn": 512, "cell_id": 1001,
                      "band": "DCS_1800", "nco": "NC0", "nmo": "Mode II", "msc_rev": 1,
                      "sgsn_rev": 1, "edge_support": "EGPRS", "tbf_coding_scheme": 8,
                      "tfi_ul": 1, "tfi_dl": 2, "timeslots_ul": 1, "timeslots_dl": 3,
                      "tx_power_dbm": 30, "timing_advance": 2},
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
  "dedicated_channel_power": {"tx_power_dbm": -10, "tx_power_step": 1, "utra_rssi_dbm": -70},
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
  "hspa_channel": {"hssch_code": 5, "hsdpa_rate": 7200, "edch_tti_ms": 10},
  "hspa_irat_cm": "OFF",
  "radio_access_3g": {"initial_tx_power_dbm": -10, "rach_power_step": 2,
                      "max_preamble_retrans": 8},
  "sm_cc_cause": {"sm_cause": 0, "cc_cause": 16},
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
  "dedicated_measurement_2g": {"rxlev_full": 40, "rxlev_sub": 38, "rxqual_full": 0,
                               "rxqual_sub": 1,
                               "cells": [{"arfcn": 520, "bsic": 12, "rxlev": 28},
                                         {"arfcn": 600, "bsic": 45, "rxlev": 20}]},
  "active_set": [{"uarfcn": 10700, "psc": 310, "rscp_dbm": -85, "ecio_db": -6},
                 {"uarfcn": 10700, "psc": 311, "rscp_dbm": -92, "ecio_db": -9}],
  "monitored_set": [{"uarfcn": 10700, "psc": 120, "rscp_dbm": -99, "ecio_db": -12},
                    {"uarfcn": 10700, "psc": 87, "rscp_dbm": -104, "ecio_db": -15},
                    {"uarfcn": 10713, "psc": 44, "rscp_dbm": -95, "ecio_db": -11}],
  "battery_temperature_c": 31,
  "drift": {"enabled": true, "period_ms": 20000, "amplitude_db": 3}
}
)json";
}

}  // namespace sim

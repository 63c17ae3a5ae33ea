/* SPDX-License-Identifier: Apache-2.0 */
// A modem's state, in readable units, as a scenario file gives it (and as
// techmode-mm fills it from ModemManager): identities as digit strings,
// signal levels in dBm/dB, addresses in their usual text forms. The defaults
// here are the built-in modem's; a scenario gives only what differs. Loading
// checks every field (type and range, from the structure table in
// Structures.h) and refuses unknown fields, naming the field and the
// problem.
#ifndef TECHMODE_SIM_SCENARIO_H
#define TECHMODE_SIM_SCENARIO_H

#include <stdint.h>

#include <array>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace sim {

// A scenario that cannot be used; what() names the field and the problem.
class ScenarioError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

struct Identity {
    std::string imeisv = "3538070512345601";  // up to 17 digits
    std::string imsi = "310150123456789";     // up to 18 digits
    std::string tmsi = "01AB00FF";            // 8 hex digits
    std::string ptmsi = "C0FFEE01";           // 8 hex digits
    uint16_t srnc_id = 1234;
};

struct Basic {
    uint8_t gmm_cause = 0, mm_cause = 0, rr_cause = 0, rr_state = 3;
};

struct RadioStats {
    uint8_t rrc_state = 0, rrc_reject_cause = 0, rrc_release_cause = 0, rrc_conn_state = 0;
    uint16_t t3212 = 60, t3312 = 54, t3314 = 44;
};

struct ServingCell3G {
    uint16_t uarfcn = 10700, psc = 310;
    uint32_t cell_id = 0x0123ABCD;
    int8_t rscp_dbm = -85, ecio_db = -6;
};

struct ServingCell2G {
    uint8_t gprs_state = 3, bsic = 33;
    uint16_t arfcn = 512, cell_id = 1001;
    uint8_t band = 0, nco = 0, nmo = 1, msc_rev = 1, sgsn_rev = 1, edge_support = 1;
    uint8_t tbf_coding_scheme = 8, tfi_ul = 1, tfi_dl = 2, timeslots_ul = 1, timeslots_dl = 3;
    int8_t tx_power_dbm = 30;
    uint8_t timing_advance = 2;
};

struct Bearer {
    uint16_t rab_id = 0;
    uint32_t datarate_ul = 0, datarate_dl = 0, maxrate_ul = 0, maxrate_dl = 0;
    uint8_t traffic_class = 0, domain = 0;
    uint16_t bler_residual = 0;
    uint8_t codec = 99, ciphering = 0;
};

struct Mobility {
    uint8_t active_rat = 1;  // 0 GSM, 1 WCDMA, 2 GAN, 3 unknown
    uint16_t mcc = 310, mnc = 150, lac = 0x1234;
    uint8_t rac = 7;
};

struct DedicatedChannelPower {
    int8_t tx_power_dbm = -10;
    uint8_t tx_power_step = 1;
    int8_t utra_rssi_dbm = -70;
};

struct GsmCell {  // a GSM neighbour measured from WCDMA
    uint16_t arfcn = 0;
    uint8_t bsic = 0;
    int8_t rssi_dbm = 0;
};

struct UtraCell {  // a UTRA neighbour measured from GSM
    uint16_t uarfcn = 0, psc = 0;
    int8_t rscp_dbm = 0, ecn0_db = 0, rssi_dbm = 0;
};

struct HspaChannel {
    uint8_t hssch_code = 5;
    uint32_t hsdpa_rate = 7200;
    uint8_t edch_tti_ms = 10;  // 2 or 10
};

struct RadioAccess3G {
    int8_t initial_tx_power_dbm = -10;
    uint8_t rach_power_step = 2, max_preamble_retrans = 8;
};

struct SmCcCause {
    uint8_t sm_cause = 0, cc_cause = 16;
};

struct PdpContext {
    std::string apn;                 // at most 100 bytes
    std::array<uint8_t, 4> ipv4{};   // from "a.b.c.d"
    std::array<uint8_t, 16> ipv6{};  // from an IPv6 text
};

struct IntraCell {
    uint16_t psc = 0;
    int8_t ecno_db = 0, rscp_dbm = 0;
};

struct InterCell {
    uint16_t uarfcn = 0, psc = 0;
    int8_t ecno_db = 0, rscp_dbm = 0, rssi_dbm = 0;
};

struct IdleNeighbour2G {
    uint8_t cell_type = 0;
    uint16_t arfcn = 0;
    uint8_t bsic = 0;
    int8_t rssi_dbm = 0, c1 = 0, c2 = 0;
    uint16_t cell_id = 0, lac = 0;
};

struct DedicatedCell2G {
    uint16_t arfcn = 0;
    uint8_t bsic = 0;
    int8_t rxlev = 0;
};

struct DedicatedMeasurement2G {
    int8_t rxlev_full = 40, rxlev_sub = 38;
    uint8_t rxqual_full = 0, rxqual_sub = 1;
    std::vector<DedicatedCell2G> cells;
};

struct SetCell {  // active or monitored set entry
    uint16_t uarfcn = 0, psc = 0;
    int8_t rscp_dbm = 0, ecio_db = 0;
};

// LTE and NR. Levels are kept as the reply carries them, in half decibels
// (a scenario gives them in dBm or dB, rounded to the nearest half; null
// for a level the modem does not report). The built-in modem is not on LTE
// (camped 0) and has no NR leg; the cell below is what a scenario that
// turns camped on finds.
struct LteServingCell {
    uint8_t camped = 0;  // 0 NO, 1 YES
    uint32_t earfcn = 1300;
    uint16_t pci = 101, tac = 0x2A01;
    uint32_t cell_id = 0x01A2B3C;  // 28 bits
    uint16_t mcc = 310, mnc = 150, band = 3;
    uint8_t dl_bandwidth = 5;  // 0 1.4 MHz .. 5 20 MHz
    int16_t rsrp = -190, rsrq = -21, rssi = -130, sinr = 24;
    uint8_t cqi = 11;
    uint16_t timing_advance = 12;
    uint8_t rrc_state = 1, emm_state = 3, emm_cause = 0xFF;  // 0xFF: no cause yet
};

// In list entries and NR cells a level not given is not reported.
constexpr int16_t kNoLevel = INT16_MIN;

struct LteNeighbour {
    uint32_t earfcn = 0;
    uint16_t pci = 0;
    int16_t rsrp = kNoLevel, rsrq = kNoLevel;
    uint32_t cell_id = 0xFFFFFFFFu;  // not read
};

struct LteSecondaryCell {
    uint32_t earfcn = 0;
    uint16_t pci = 0, band = 0;
    uint8_t dl_bandwidth = 0;
    int16_t rsrp = kNoLevel, rsrq = kNoLevel, sinr = kNoLevel;
    uint8_t state = 0;  // 0 CONFIGURED, 1 ACTIVE
};

struct NrCell {
    uint32_t arfcn = 0;
    uint16_t pci = 0, band = 0;
    int16_t ss_rsrp = kNoLevel, ss_rsrq = kNoLevel, ss_sinr = kNoLevel;
    uint8_t scs = 1;  // 15 kHz << scs
};

// The serving (SA) or secondary (NSA) cell's values are given in the
// object itself (arfcn, pci, ...), beside mode, tac and nci.
struct NrCells {
    uint8_t mode = 0;            // 0 NONE, 1 SA, 2 NSA
    uint32_t tac = 0xFFFFFFFFu;  // SA only: 24 bits
    int64_t nci = -1;            // SA only: 36 bits; -1 not reported (all ones in the reply)
    NrCell cell;
    std::vector<NrCell> neighbours;
};

// How one structure's reply is spoiled. Several kinds may combine.
struct Fault {
    int device_error = 0;            // non-zero: the devctl status (errno value)
    bool wrong_command = false;      // command element type 0x2002 instead of 0x2001
    int wrong_struct_type = -1;      // >= 0: this type in the structure element
    std::vector<int> missing_tags;   // field tags (or identity member tags) left out
    std::vector<int> overlong_tags;  // fields sent one word longer than expected
    bool overlong_block = false;     // block element one word longer than the block
    int truncate_block = -1;         // >= 0: the block element carries only this many bytes
    int oversize_reply = 0;          // extra bytes beyond the caller's room
    int delay_ms = 0;                // wait before answering
    bool has_raw = false;
    std::vector<uint8_t> raw;  // sent as they stand, instead of the structure
    double probability = 1.0;  // chance that the fault applies to a request
};

struct Drift {
    bool enabled = false;
    int period_ms = 10000;  // one full swing
    int amplitude_db = 3;   // signal levels move by at most this much
};

struct Scenario {
    Identity identity;
    Basic basic;
    RadioStats radio_stats;
    ServingCell3G serving_cell_3g;
    ServingCell2G serving_cell_2g;
    std::vector<Bearer> bearers_3g;  // at most 8
    Bearer bearer_2g;
    Mobility mobility;
    DedicatedChannelPower dedicated_channel_power;
    std::vector<GsmCell> gsm_neighbours;    // InterRatMeasurementsInfo, GSM list
    std::vector<UtraCell> utra_neighbours;  // InterRatMeasurementsInfo, UTRA list
    HspaChannel hspa_channel;
    uint8_t hspa_irat_cm = 0;
    RadioAccess3G radio_access_3g;
    SmCcCause sm_cc_cause;
    std::vector<PdpContext> pdp_contexts;  // at most 7
    std::vector<IntraCell> intra_neighbours;
    std::vector<InterCell> inter_neighbours;
    std::vector<IdleNeighbour2G> idle_neighbours_2g;
    DedicatedMeasurement2G dedicated_measurement_2g;
    std::vector<SetCell> active_set;
    std::vector<SetCell> monitored_set;
    int32_t battery_temperature_c = 31;
    LteServingCell lte_serving_cell;
    std::vector<LteNeighbour> lte_neighbours;
    std::vector<LteSecondaryCell> lte_secondary_cells;
    NrCells nr_cells;
    Drift drift;
    std::map<int, Fault> faults;  // by structure type (TechModeStructType)
};

// Parses a scenario from JSON text. origin names the source in messages.
// Throws ScenarioError.
Scenario ParseScenario(const std::string &json, const std::string &origin);
// The text of a scenario file. Throws ScenarioError naming the file and
// why it cannot be read.
std::string ReadScenarioFile(const std::string &path);
// Reads and parses a scenario file. Throws ScenarioError.
Scenario LoadScenarioFile(const std::string &path);
// The scenario as JSON text: every value of every structure, and drift
// (faults are left out). ParseScenario reads it back to the same scenario.
std::string WriteScenario(const Scenario &s);
// The built-in scenario, written out whole: a handset camped on WCDMA with
// GSM neighbours.
const char *DefaultScenarioJson();

}  // namespace sim

#endif

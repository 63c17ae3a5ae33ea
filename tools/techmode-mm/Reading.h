/* SPDX-License-Identifier: Apache-2.0 */
// What techmode-mm read from one modem through ModemManager, as
// ModemManager gave it: strings and numbers not yet checked (the mapping,
// Mapping.h, checks every one like input from a stranger). Plain data, so
// that the mapping and its tests need no D-Bus.
#ifndef TECHMODE_MM_READING_H
#define TECHMODE_MM_READING_H

#include <float.h>
#include <stdint.h>

#include <string>
#include <vector>

namespace mm {

// ModemManager's "no value" for a signal level (MM_SIGNAL_UNKNOWN) and for
// an unsigned cell info value (G_MAXUINT).
constexpr double kUnknownLevel = -DBL_MAX;
constexpr uint32_t kUnknownNumber = UINT32_MAX;

// One cell of Modem.GetCellInfo(), GSM, UMTS, LTE or NR (the others are
// not read).
struct CellReading {
    enum class Rat : uint8_t { kGsm, kUmts, kLte, kNr } rat = Rat::kGsm;
    bool serving = false;
    std::string lac, ci;              // hexadecimal, as cell info gives them
    uint32_t arfcn = kUnknownNumber;  // GSM
    std::string bsic;                 // GSM "base-station-id", hexadecimal
    uint32_t rxlev = kUnknownNumber;  // GSM RxLev, 0 to 63
    uint32_t timing_advance = kUnknownNumber;
    uint32_t uarfcn = kUnknownNumber, psc = kUnknownNumber;  // UMTS
    double rscp = kUnknownLevel, ecio = kUnknownLevel;       // UMTS, dBm and dB
    // LTE and NR: "tac" and "physical-ci" in hexadecimal (ci above), the
    // channel ("earfcn" or "nrarfcn"), RSRP in dBm, RSRQ and SINR (NR) in dB.
    std::string tac, physical_ci;
    uint32_t earfcn = kUnknownNumber;
    double rsrp = kUnknownLevel, rsrq = kUnknownLevel, sinr = kUnknownLevel;
};

// One bearer: its APN and the addresses of its IP configurations.
struct BearerReading {
    std::string apn, ipv4, ipv6;
};

struct Reading {
    std::string path;                  // the modem's D-Bus object path
    std::string imei;                  // Modem3gpp.Imei
    std::string equipment_id;          // Modem.EquipmentIdentifier
    std::string imsi;                  // Sim.Imsi
    std::string operator_code;         // Modem3gpp.OperatorCode, MCC and MNC digits
    uint32_t access_technologies = 0;  // Modem.AccessTechnologies (bit mask)
    // Location, 3GPP LAC/CI source.
    bool has_location = false;
    uint64_t lac = 0, ci = 0;
    // Modem.Signal, UMTS.
    double umts_rscp = kUnknownLevel, umts_ecio = kUnknownLevel, umts_rssi = kUnknownLevel;
    // Modem.Signal, LTE and 5G NR (rsrp dBm, rsrq dB, snr dB, rssi dBm).
    double lte_rsrp = kUnknownLevel, lte_rsrq = kUnknownLevel, lte_snr = kUnknownLevel,
           lte_rssi = kUnknownLevel;
    double nr_rsrp = kUnknownLevel, nr_rsrq = kUnknownLevel, nr_snr = kUnknownLevel;
    bool cell_info = false;  // GetCellInfo answered (it is unsupported on many modems)
    std::vector<CellReading> cells;
    std::vector<BearerReading> bearers;
    std::string network_time;  // Modem.Time.GetNetworkTime(), ISO 8601
};

}  // namespace mm

#endif

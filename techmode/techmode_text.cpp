// SPDX-License-Identifier: Apache-2.0
// Value formatting tables and identity digit formatters (see techmode_text.h).
#include "techmode/techmode_text.h"

#include <stdio.h>

namespace {

constexpr const char *kDataError = "data error!";

template <size_t N>
const char *Dense(const char *const (&table)[N], unsigned code, const char *fallback = kDataError) {
    return code < N ? table[code] : fallback;
}

struct SparseText {
    unsigned code;
    const char *text;
};

template <size_t N>
const char *Sparse(const SparseText (&table)[N], unsigned code, const char *fallback) {
    for (const SparseText &row : table)
        if (row.code == code) return row.text;
    return fallback;
}

constexpr const char *kRrcState[] = {"CELL_DCH ", "CELL_FACH", "CELL_PCH", "URA_PCH",
                                     "IDLE",      "PASSIVE",   "NULL"};
constexpr const char *kRrcConnState[] = {
    "CELL_DCH",   "CELL_FACH",  "CELL_PCH",  "URA_PCH",     "IDLE",         "PASSIVENULL",
    "NO_SERVICE", "CONNECTING", "RELEASING", "DEACTIVATED", "INTERRAT_U2G",
};
constexpr const char *kRrUnknown = "unknown";
constexpr const char *kRrStateDense[] = {
    "Null",                            // 0
    "Wait for Idle",                   // 1
    "Wait for System Info",            // 2
    "Idle",                            // 3
    kRrUnknown,                        // 4
    "Wait for full state in L1",       // 5
    kRrUnknown,                        // 6
    "Wait for response from BS",       // 7
    "Wait BS Busy",                    // 8
    "Wait for DL MF Est.",             // 9
    "Wait for Pkt Dedicated Est",      // 10
    "Dedicated",                       // 11
    kRrUnknown,                        // 12
    "WF L2 resumption at assignment",  // 13
    "WF L2 reconnect to channel",      // 14
    kRrUnknown,                        // 15
    "WF physical info from BS",        // 16
    "WF L2 resumption at asynch. HO",  // 17
    kRrUnknown,                        // 18
    "Wait for release of DL",          // 19
    "Two phase access",                // 20
};
constexpr SparseText kRrStateSparse[] = {
    {30, "Passive State"},
    {31, "Cell Change to UTRAN"},
    {40, "GAN State"},
    {41, "HO to GAN"},
    {120, "Packet Dedicated Uplink"},
    {121, "Packet Dedicated Downlink"},
    {122, "Packet Dedicated Concurrent"},
};
constexpr const char *kGprsState[] = {"DEREG",      "NO_NORMAL_CELL", "REG_INIT",
                                      "REGISTERED", "RAU_INIT",       "DEREG_INIT"};
constexpr const char *kGsmBand[] = {"DCS_1800", "PCS_1900"};
constexpr const char *kNetworkControlOrder[] = {"NC0", "NC1", "NC2", "unknown"};
constexpr const char *kEdgeSupport[] = {"GPRS", "EGPRS", "EGPRS RACH"};
constexpr const char *kCodingScheme[] = {"CS1",  "CS2",  "CS3",  "CS4",  "MCS1", "MCS2", "MCS3",
                                         "MCS4", "MCS5", "MCS6", "MCS7", "MCS8", "MCS9"};
constexpr const char *kNetworkOperationMode[] = {"Mode I", "Mode II", "Mode III", "unknown"};
constexpr const char *kRat[] = {"GSM", "WCDMA", "GAN", "unknown"};
constexpr SparseText kCellType[] = {{0, "2G"}, {1, "GPRS"}, {255, "UNKNOWN"}};
constexpr const char *kDomain[] = {"CS", "PS", "INVALID"};
constexpr SparseText kCodec[] = {
    {0, "GSM_FR"},      {1, "GSM_HR"},      {2, "GSM_EFR"},         {3, "FR_AMR"},
    {4, "HR_AMR"},      {5, "UMTS_AMR"},    {6, "UMTS_AMR2"},       {7, "TDMA_EFR"},
    {8, "PDC_EFR"},     {9, "FR_AMR_WB"},   {10, "UMTS_AMR_WB"},    {11, "OHR_AMR"},
    {12, "OFR_AMR_WB"}, {13, "OHR_AMR_WB"}, {99, "NOT APPLICABLE"},
};
constexpr const char *kGsmCiphering[] = {"A5_1", "A5_2", "A5_3", "A5_4",
                                         "A5_5", "A5_6", "A5_7", "Reserved"};
constexpr const char *kUmtsCiphering[] = {"UAE_0", "UAE_1", "UAE_2"};
constexpr const char *kGprsCiphering[] = {
    "GPRS_CIPHERING_OFF", "GPRS_ALGORITHM_1", "GPRS_ALGORITHM_2", "GPRS_ALGORITHM_3",
    "GPRS_ALGORITHM_4",   "GPRS_ALGORITHM_5", "GPRS_ALGORITHM_6", "GPRS_ALGORITHM_7",
};
constexpr const char *kOnOff[] = {"OFF", "ON"};

bool CanFormat(const uint8_t *bytes, const char *text, size_t textBytes) {
    return bytes != nullptr && text != nullptr && textBytes > 0;
}

}  // namespace

const char *RrcStateText(unsigned code) {
    return Dense(kRrcState, code);
}
const char *RrcConnStateText(unsigned code) {
    return Dense(kRrcConnState, code);
}
const char *RrStateText(unsigned code) {
    return code < sizeof kRrStateDense / sizeof kRrStateDense[0]
               ? kRrStateDense[code]
               : Sparse(kRrStateSparse, code, kRrUnknown);
}
const char *GprsStateText(unsigned code) {
    return Dense(kGprsState, code);
}
const char *GsmBandText(unsigned code) {
    return Dense(kGsmBand, code);
}
const char *NetworkControlOrderText(unsigned code) {
    return Dense(kNetworkControlOrder, code);
}
const char *EdgeSupportText(unsigned code) {
    return Dense(kEdgeSupport, code);
}
const char *CodingSchemeText(unsigned code) {
    return Dense(kCodingScheme, code);
}
const char *NetworkOperationModeText(unsigned code) {
    return Dense(kNetworkOperationMode, code);
}
const char *RatText(unsigned code) {
    return Dense(kRat, code);
}
const char *CellTypeText(unsigned code) {
    return Sparse(kCellType, code, kDataError);
}
const char *DomainText(unsigned code) {
    return Dense(kDomain, code);
}
const char *CodecText(unsigned code) {
    return Sparse(kCodec, code, kDataError);
}
const char *GsmCipheringText(unsigned code) {
    return Dense(kGsmCiphering, code);
}
const char *UmtsCipheringText(unsigned code) {
    return Dense(kUmtsCiphering, code);
}
const char *GprsCipheringText(unsigned code) {
    return Dense(kGprsCiphering, code);
}
const char *OnOffText(unsigned code) {
    return Dense(kOnOff, code, "data read eorr");
}

namespace {
constexpr const char *kYesNo[] = {"NO", "YES"};
constexpr const char *kLteRrcState[] = {"RRC_IDLE", "RRC_CONNECTED"};
// EMM main states, TS 24.301 5.1.3.2.1.
constexpr const char *kEmmState[] = {"EMM-NULL",
                                     "EMM-DEREGISTERED",
                                     "EMM-REGISTERED-INITIATED",
                                     "EMM-REGISTERED",
                                     "EMM-DEREGISTERED-INITIATED",
                                     "EMM-TRACKING-AREA-UPDATING-INITIATED",
                                     "EMM-SERVICE-REQUEST-INITIATED"};
// E-UTRA channel bandwidths, TS 36.101 5.6 (6 to 100 resource blocks).
constexpr const char *kLteBandwidth[] = {"1.4MHz", "3MHz", "5MHz", "10MHz", "15MHz", "20MHz"};
constexpr const char *kScellState[] = {"CONFIGURED", "ACTIVE"};
constexpr const char *kNrMode[] = {"NONE", "SA", "NSA"};
// Subcarrier spacing 15 kHz << mu, TS 38.211 4.2.
constexpr const char *kNrScs[] = {"15kHz", "30kHz", "60kHz", "120kHz", "240kHz"};
}  // namespace

const char *YesNoText(unsigned code) {
    return Dense(kYesNo, code);
}
const char *LteRrcStateText(unsigned code) {
    return Dense(kLteRrcState, code);
}
const char *EmmStateText(unsigned code) {
    return Dense(kEmmState, code);
}
const char *LteBandwidthText(unsigned code) {
    return Dense(kLteBandwidth, code);
}
const char *ScellStateText(unsigned code) {
    return Dense(kScellState, code);
}
const char *NrModeText(unsigned code) {
    return Dense(kNrMode, code);
}
const char *NrScsText(unsigned code) {
    return Dense(kNrScs, code);
}

// The half-byte formatters print one "%01x" per digit, so a filler half-byte
// 0xF shows as 'f', as the modem's packed digits have it.
#define LO(b) ((b)&0x0F)
#define HI(b) ((b) >> 4)
#define LOHI(b) LO(b), HI(b)

void FormatImsiDigits(const uint8_t *imsi, char *text, size_t textBytes) {
    if (!CanFormat(imsi, text, textBytes)) return;
    snprintf(text, textBytes,
             "%01x%01x%01x%01x%01x%01x%01x%01x%01x%01x%01x%01x%01x%01x%01x%01x%01x%01x",
             LOHI(imsi[0]), LOHI(imsi[1]), LOHI(imsi[2]), LOHI(imsi[3]), LOHI(imsi[4]),
             LOHI(imsi[5]), LOHI(imsi[6]), LOHI(imsi[7]), LOHI(imsi[8]));
}

void FormatImeiDigits(const uint8_t *imeisv, char *text, size_t textBytes) {
    if (!CanFormat(imeisv, text, textBytes)) return;
    // Byte 0 and the low half of byte 1 carry no IMEI digit.
    snprintf(text, textBytes,
             "%01x%01x%01x%01x%01x%01x%01x%01x%01x%01x%01x%01x%01x%01x%01x%01x%01x", HI(imeisv[1]),
             LOHI(imeisv[2]), LOHI(imeisv[3]), LOHI(imeisv[4]), LOHI(imeisv[5]), LOHI(imeisv[6]),
             LOHI(imeisv[7]), LOHI(imeisv[8]), LOHI(imeisv[9]));
}

#undef LOHI
#undef HI
#undef LO

void FormatTmsiHex(const uint8_t *tmsi, char *text, size_t textBytes) {
    if (!CanFormat(tmsi, text, textBytes)) return;
    snprintf(text, textBytes, "%02X%02X%02X%02X", tmsi[0], tmsi[1], tmsi[2], tmsi[3]);
}

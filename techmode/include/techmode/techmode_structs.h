/* SPDX-License-Identifier: Apache-2.0 */
/*
 * Tech-mode structures: the records the RRM's structures are decoded into,
 * the catalogue of structure types, and one fetcher per structure that a
 * command reads.
 *
 * Records that travel as fields are plain records, fields in tag order; each
 * field receives the primitive of its tag. Records that travel as a block are
 * copied byte for byte, so their layouts are wire formats: their sizes and
 * offsets are checked below. Multi-byte values are little-endian, the
 * device's order; "field<N>" and "reserved" members are sent by the modem but
 * read by no command.
 *
 * Fetchers: getDta...Dta(techmode fd, destination) -> 0 or -1. Each prints
 * "Getting <A> Data Structure", asks the transport for the structure, then
 * prints "Received <B>" or "Could not successfully retrieve <B>" (standard
 * output, whole lines; texts per structure in the catalogue).
 * - -1: no reply passed the transport's checks, or (block and identity
 *   structures) the reply held no structure or no block to copy; the
 *   destination is then exactly as it was.
 * - 0: byte 0 of the destination was set to 0xFF, then every field found was
 *   filled; fields not found (printed, and skipped) keep their content.
 * Callers clear the destination first. Nothing outlives the call.
 */
#ifndef TECHMODE_TECHMODE_STRUCTS_H
#define TECHMODE_TECHMODE_STRUCTS_H

#include <stddef.h>
#include <stdint.h>

#include "techmode/techmode_protocol.h"

// ---- Structures sent as fields (one primitive per tag, tag = field order) ----

struct BasicData {  // type 1
    uint8_t gmm_cause;
    uint8_t mm_cause;
    uint8_t rr_cause;
    uint8_t rr_state;
    uint8_t field4;
    uint8_t field5;
    uint16_t field6;
};

struct RadioStatData {  // type 3
    uint8_t rrc_state;
    uint8_t rrc_reject_cause;
    uint8_t rrc_release_cause;
    uint8_t rrc_conn_state;
    uint8_t field4;
    uint8_t field5;
    uint16_t field6;
    uint16_t t3212;
    uint16_t field8;
    uint16_t t3312;
    uint16_t t3314;
};

struct ServingCell3G {  // type 4
    uint16_t uarfcn;
    uint16_t psc;
    uint32_t cell_id;
    int8_t rscp;
    int8_t ecio;
    uint8_t field5;
    uint8_t field6;
    uint8_t field7;
    uint8_t field8;
};

struct ServingCell2G {  // type 5
    uint8_t gprs_state;
    uint8_t bsic;
    uint16_t arfcn;
    uint16_t cell_id;
    uint8_t band;
    uint8_t nco;  // network control order
    uint8_t nmo;  // network operation mode
    uint8_t msc_rev;
    uint8_t sgsn_rev;
    uint8_t edge_support;
    uint8_t tbf_coding_scheme;  // of the latest TBF
    uint8_t tfi_ul;
    uint8_t tfi_dl;
    uint8_t timeslots_ul;
    uint8_t timeslots_dl;
    int8_t tx_power;
    uint8_t timing_advance;
};

struct BearerInfo2G {  // type 7
    uint32_t datarate_ul;
    uint32_t datarate_dl;
    uint32_t maxrate_ul;
    uint32_t maxrate_dl;
    uint8_t field4;
    uint8_t domain;
    uint16_t bler_residual;
    uint8_t codec;
    uint8_t ciphering;
};

// MobilityData::active_rat: the radio access technology the modem is on.
enum ActiveRat : uint8_t { kRatGsm = 0, kRatWcdma = 1, kRatGan = 2, kRatUnknown = 3 };

struct MobilityData {    // type 8
    uint8_t active_rat;  // an ActiveRat
    uint8_t field1;
    uint16_t mcc;
    uint16_t mnc;
    uint16_t lac;
    uint8_t rac;
    uint8_t field6;
    uint8_t field7;
};

struct DedicatedChannelPower {  // type 9
    int8_t dch_tx_pwr;
    uint8_t dch_tx_pwr_step;
    int8_t dch_utra_rssi;
};

// LTE serving cell (type 25). Levels are half-dB counts and every field
// starts out "not reported" (techmode_protocol.h), so a field the modem
// leaves out of its reply reads as not reported, never as 0.
struct LteServingCell {
    uint8_t camped = 0xFF;                     // tag 0: 1 on an E-UTRA cell, 0 not
    uint8_t dl_bandwidth = 0xFF;               // tag 8: 0 1.4, 1 3, 2 5, 3 10, 4 15, 5 20 MHz
    uint8_t cqi = 0xFF;                        // tag 13: 0 to 15 (TS 36.213 7.2.3)
    uint8_t rrc_state = 0xFF;                  // tag 15: 0 RRC_IDLE, 1 RRC_CONNECTED
    uint32_t earfcn = 0xFFFFFFFFu;             // tag 1: 0 to 262143 (TS 36.101 5.7.3)
    uint32_t cell_id = 0xFFFFFFFFu;            // tag 4: 28-bit E-UTRAN cell identity
    uint16_t pci = 0xFFFF;                     // tag 2: 0 to 503
    uint16_t tac = 0xFFFF;                     // tag 3
    uint16_t mcc = 0xFFFF;                     // tag 5
    uint16_t mnc = 0xFFFF;                     // tag 6
    uint16_t band = 0xFFFF;                    // tag 7: E-UTRA operating band
    uint16_t timing_advance = 0xFFFF;          // tag 14: 0 to 1282 (TS 36.213 4.2.3)
    int16_t rsrp = kTechModeLevelNotReported;  // tag 9
    int16_t rsrq = kTechModeLevelNotReported;  // tag 10
    int16_t rssi = kTechModeLevelNotReported;  // tag 11
    int16_t sinr = kTechModeLevelNotReported;  // tag 12
    uint8_t emm_state = 0xFF;                  // tag 16: TS 24.301 5.1.3.2.1, EMM-NULL (0) to
                                               // EMM-SERVICE-REQUEST-INITIATED (6)
    uint8_t emm_cause = 0xFF;                  // tag 17: the last EMM cause (TS 24.301 9.9.3.9)
};

// ---- Identity (type 2): four byte-array members and one primitive ----

struct IdentityData {
    uint8_t imeisv[10];  // packed decimal digits, two per byte
    uint8_t imsi[9];
    uint8_t tmsi[4];
    uint8_t ptmsi[4];
    uint16_t srnc_id;
};

// ---- Structures sent as one block (byte layouts are wire formats) ----

struct RabInfo3G {
    uint16_t rab_id;
    uint8_t reserved2[26];
    uint32_t datarate_ul;
    uint32_t datarate_dl;
    uint32_t maxrate_ul;
    uint32_t maxrate_dl;
    uint8_t traffic_class;
    uint8_t domain;
    uint16_t bler_residual;
    uint8_t codec;
    uint8_t ciphering;
    uint8_t reserved50[2];
};
struct BearerInfo3G {  // type 6
    RabInfo3G rabs[8];
};

struct GsmNeighbourMeas {
    uint16_t arfcn;
    uint8_t bsic;
    int8_t rssi;
};
struct UtraNeighbourMeas {
    uint16_t uarfcn;
    uint16_t psc;
    int8_t rscp;
    int8_t ecn0;
    int8_t rssi;
    uint8_t padding;
};
struct InterRatMeasurementsInfo {  // type 10
    uint8_t gsm_cell_count;
    uint8_t padding1;
    GsmNeighbourMeas gsm_cells[32];  // measured from WCDMA
    uint8_t utra_cell_count;
    uint8_t padding131;
    UtraNeighbourMeas utra_cells[32];  // measured from GSM
};

struct HspaChannelInfo {  // type 11
    uint8_t hssch_code;
    uint8_t reserved1[3];
    uint32_t hsdpa_rate;
    uint8_t reserved8[4];
    uint8_t edch_tti;  // 0: 2 ms, otherwise 10 ms
    uint8_t reserved13[3];
};

struct RadioAccessInfo3G {  // type 12
    int8_t init_tx_power;
    uint8_t rach_step_size;
    uint8_t preamble_retrans_max;
};

struct SmCcCause {  // type 13
    uint8_t reserved0;
    uint8_t sm_cause;
    uint8_t reserved2;
    uint8_t cc_cause;
};

struct PdpContext {
    uint8_t reserved0[2];
    char apn[100];          // NUL-ended unless it fills the field
    uint8_t ipv4_addr[4];   // dotted order
    uint8_t ipv6_addr[16];  // written order
};
struct PdpContextInfo {  // type 14
    PdpContext contexts[7];
};

struct IntraFreqCell3G {
    uint16_t psc;
    int8_t ecno;
    int8_t rscp;
};
struct InterFreqCell3G {
    uint16_t uarfcn;
    uint16_t psc;
    int8_t ecno;
    int8_t rscp;
    int8_t rssi;
    uint8_t padding;
};
struct IntraRatNeighbourCellMeasInfo3G {  // type 16
    uint8_t intra_count;
    uint8_t inter_count;
    IntraFreqCell3G intra_cells[32];
    InterFreqCell3G inter_cells[32];
};

struct IdleNeighborCell2G {
    uint8_t cell_type;  // 0 2G, 1 GPRS, 255 unknown
    uint8_t padding;
    uint16_t arfcn;
    uint8_t bsic;
    int8_t rssi;
    int8_t c1;
    int8_t c2;
    uint16_t cell_id;
    uint16_t lac;
};
struct IdleNeighborCellsInfo2G {  // type 17
    uint8_t cell_count;
    uint8_t padding;
    IdleNeighborCell2G cells[32];
};

struct DedicatedNeighbourMeas2G {
    uint16_t arfcn;
    uint8_t bsic;
    int8_t rxlev;
};
struct DedicatedMeasurementInfo2G {  // type 18
    uint8_t cell_count;
    uint8_t reserved1[4];
    int8_t rxlev_full;
    int8_t rxlev_sub;
    uint8_t rxqual_full;
    uint8_t rxqual_sub;
    uint8_t reserved9;
    DedicatedNeighbourMeas2G cells[32];
};

struct UtraCell3G {
    uint16_t uarfcn;
    uint16_t psc;
    int8_t rscp;
    int8_t ecio;
};
// Active set (type 19) and monitored set (type 20) share one layout.
struct CellSetInfo3G {
    uint8_t cell_count;
    uint8_t padding;
    UtraCell3G cells[32];
};
using ActiveSetInfo = CellSetInfo3G;
using MonitoredSetInfo = CellSetInfo3G;

struct HspaInterRatMeas {  // type 22
    uint8_t irat_cm;       // inter-RAT compressed mode: 0 off, 1 on
};

struct BatteryTemperature {  // type 23
    int32_t radio_temp;
};

// LTE neighbour cells (type 26), intra- and inter-frequency; cell_id is all
// ones until the modem has read the cell's system information.
struct LteNeighbourCell {
    uint32_t earfcn;
    uint32_t cell_id;
    uint16_t pci;
    int16_t rsrp;
    int16_t rsrq;
    uint16_t reserved14;
};
struct LteNeighbourCells {
    uint8_t cell_count;
    uint8_t reserved1[3];
    LteNeighbourCell cells[16];
};

// LTE secondary cells of carrier aggregation (type 27).
struct LteSecondaryCell {
    uint32_t earfcn;
    uint16_t pci;
    uint16_t band;
    int16_t rsrp;
    int16_t rsrq;
    int16_t sinr;
    uint8_t dl_bandwidth;  // as LteServingCell::dl_bandwidth
    uint8_t state;         // 0 configured, 1 active
};
struct LteSecondaryCells {
    uint8_t cell_count;
    uint8_t reserved1[3];
    LteSecondaryCell cells[7];
};

// NR cells (type 28): the serving cell under SA, or the secondary cell of
// the NR leg under NSA (E-UTRA anchor, so no NR TAC or NCI), and neighbours.
enum NrMode : uint8_t { kNrModeNone = 0, kNrModeSa = 1, kNrModeNsa = 2 };
struct NrCell {
    uint32_t arfcn;  // NR-ARFCN, 0 to 3279165 (TS 38.104 5.4.2)
    uint16_t pci;    // 0 to 1007
    uint16_t band;   // NR operating band (n-number)
    int16_t ss_rsrp;
    int16_t ss_rsrq;
    int16_t ss_sinr;
    uint8_t scs;  // subcarrier spacing 15 kHz << scs (TS 38.211 4.2)
    uint8_t reserved15;
};
struct NrCellInfo {
    uint8_t mode;  // an NrMode
    uint8_t neighbour_count;
    uint16_t reserved2;
    uint32_t tac;  // SA: 24-bit 5GS tracking area code
    uint64_t nci;  // SA: 36-bit NR cell identity
    NrCell serving;
    NrCell neighbours[8];
};

// The block layouts, as the modem sends them.
static_assert(sizeof(RabInfo3G) == 52 && offsetof(RabInfo3G, datarate_ul) == 28 &&
                  offsetof(RabInfo3G, maxrate_dl) == 40 &&
                  offsetof(RabInfo3G, traffic_class) == 44 &&
                  offsetof(RabInfo3G, bler_residual) == 46 && offsetof(RabInfo3G, codec) == 48 &&
                  offsetof(RabInfo3G, ciphering) == 49,
              "RabInfo3G layout");
static_assert(sizeof(BearerInfo3G) == 416, "BearerInfo3G layout");
static_assert(sizeof(GsmNeighbourMeas) == 4 && sizeof(UtraNeighbourMeas) == 8 &&
                  offsetof(UtraNeighbourMeas, rscp) == 4 && offsetof(UtraNeighbourMeas, rssi) == 6,
              "inter-RAT entry layouts");
static_assert(sizeof(InterRatMeasurementsInfo) == 388 &&
                  offsetof(InterRatMeasurementsInfo, gsm_cells) == 2 &&
                  offsetof(InterRatMeasurementsInfo, utra_cell_count) == 130 &&
                  offsetof(InterRatMeasurementsInfo, utra_cells) == 132,
              "InterRatMeasurementsInfo layout");
static_assert(sizeof(HspaChannelInfo) == 16 && offsetof(HspaChannelInfo, hsdpa_rate) == 4 &&
                  offsetof(HspaChannelInfo, edch_tti) == 12,
              "HspaChannelInfo layout");
static_assert(sizeof(RadioAccessInfo3G) == 3, "RadioAccessInfo3G layout");
static_assert(sizeof(SmCcCause) == 4 && offsetof(SmCcCause, sm_cause) == 1 &&
                  offsetof(SmCcCause, cc_cause) == 3,
              "SmCcCause layout");
static_assert(sizeof(PdpContext) == 122 && offsetof(PdpContext, apn) == 2 &&
                  offsetof(PdpContext, ipv4_addr) == 102 && offsetof(PdpContext, ipv6_addr) == 106,
              "PdpContext layout");
static_assert(sizeof(PdpContextInfo) == 854, "PdpContextInfo layout");
static_assert(sizeof(IntraFreqCell3G) == 4 && sizeof(InterFreqCell3G) == 8 &&
                  offsetof(InterFreqCell3G, ecno) == 4 && offsetof(InterFreqCell3G, rssi) == 6,
              "3G neighbour entry layouts");
static_assert(sizeof(IntraRatNeighbourCellMeasInfo3G) == 386 &&
                  offsetof(IntraRatNeighbourCellMeasInfo3G, intra_cells) == 2 &&
                  offsetof(IntraRatNeighbourCellMeasInfo3G, inter_cells) == 130,
              "IntraRatNeighbourCellMeasInfo3G layout");
static_assert(sizeof(IdleNeighborCell2G) == 12 && offsetof(IdleNeighborCell2G, arfcn) == 2 &&
                  offsetof(IdleNeighborCell2G, bsic) == 4 &&
                  offsetof(IdleNeighborCell2G, c2) == 7 &&
                  offsetof(IdleNeighborCell2G, cell_id) == 8 &&
                  offsetof(IdleNeighborCell2G, lac) == 10,
              "IdleNeighborCell2G layout");
static_assert(sizeof(IdleNeighborCellsInfo2G) == 386 &&
                  offsetof(IdleNeighborCellsInfo2G, cells) == 2,
              "IdleNeighborCellsInfo2G layout");
static_assert(sizeof(DedicatedNeighbourMeas2G) == 4 &&
                  offsetof(DedicatedNeighbourMeas2G, rxlev) == 3,
              "DedicatedNeighbourMeas2G layout");
static_assert(sizeof(DedicatedMeasurementInfo2G) == 138 &&
                  offsetof(DedicatedMeasurementInfo2G, rxlev_full) == 5 &&
                  offsetof(DedicatedMeasurementInfo2G, rxlev_sub) == 6 &&
                  offsetof(DedicatedMeasurementInfo2G, rxqual_full) == 7 &&
                  offsetof(DedicatedMeasurementInfo2G, rxqual_sub) == 8 &&
                  offsetof(DedicatedMeasurementInfo2G, cells) == 10,
              "DedicatedMeasurementInfo2G layout");
static_assert(sizeof(UtraCell3G) == 6 && offsetof(UtraCell3G, rscp) == 4 &&
                  sizeof(CellSetInfo3G) == 194 && offsetof(CellSetInfo3G, cells) == 2,
              "active/monitored set layout");
static_assert(sizeof(HspaInterRatMeas) == 1 && sizeof(BatteryTemperature) == 4,
              "one-field block layouts");

static_assert(sizeof(LteNeighbourCell) == 16 && offsetof(LteNeighbourCell, cell_id) == 4 &&
                  offsetof(LteNeighbourCell, pci) == 8 && offsetof(LteNeighbourCell, rsrq) == 12,
              "LteNeighbourCell layout");
static_assert(sizeof(LteNeighbourCells) == 260 && offsetof(LteNeighbourCells, cells) == 4,
              "LteNeighbourCells layout");
static_assert(sizeof(LteSecondaryCell) == 16 && offsetof(LteSecondaryCell, band) == 6 &&
                  offsetof(LteSecondaryCell, sinr) == 12 &&
                  offsetof(LteSecondaryCell, dl_bandwidth) == 14 &&
                  offsetof(LteSecondaryCell, state) == 15,
              "LteSecondaryCell layout");
static_assert(sizeof(LteSecondaryCells) == 116 && offsetof(LteSecondaryCells, cells) == 4,
              "LteSecondaryCells layout");
static_assert(sizeof(NrCell) == 16 && offsetof(NrCell, band) == 6 &&
                  offsetof(NrCell, ss_sinr) == 12 && offsetof(NrCell, scs) == 14,
              "NrCell layout");
static_assert(sizeof(NrCellInfo) == 160 && offsetof(NrCellInfo, tac) == 4 &&
                  offsetof(NrCellInfo, nci) == 8 && offsetof(NrCellInfo, serving) == 16 &&
                  offsetof(NrCellInfo, neighbours) == 32,
              "NrCellInfo layout");

// ---- Catalogue ----

enum class TechModeEncoding : uint8_t {
    kNone,     // accepted by the transport, no record and no fetcher
    kFields,   // one primitive per field
    kBlock,    // one element of the structure's type holding the record
    kMembers,  // identity: byte-array members and a primitive
};

// Where the primitive of one tag goes in a record sent as fields.
struct TechModeFieldSlot {
    uint16_t offset;
    uint8_t width;
};

// One row per structure type, indexed by type.
struct TechModeStructInfo {
    TechModeStructType type;
    TechModeEncoding encoding;
    uint16_t replyBytes;              // reply buffer: exactly the encoded size of a full reply
    uint16_t recordBytes;             // the record a fetcher fills (for a block, bytes copied)
    const TechModeFieldSlot *fields;  // kFields: slot of tag i is fields[i]
    uint8_t fieldCount;
    const char *gettingText;   // "Getting <gettingText> Data Structure"
    const char *receivedText;  // "Received <receivedText>" and the failure line
    // The fetcher, taking a record of recordBytes bytes; null for kNone.
    int (*fetch)(int techmodeFd, void *destination);
};

// The row of a structure type, or nullptr above 28.
const TechModeStructInfo *TechModeStructInfoFor(unsigned structType);

// ---- Fetchers ----

int getDtaBasicDta(int techmodeFd, BasicData *destination);
int getDtaIdentityDta(int techmodeFd, IdentityData *destination);
int getDtaRadioStatDta(int techmodeFd, RadioStatData *destination);
int getDta3GServingCellDta(int techmodeFd, ServingCell3G *destination);
int getDta2GServingCellDta(int techmodeFd, ServingCell2G *destination);
int getDta3GBearerInfoDta(int techmodeFd, BearerInfo3G *destination);
int getDta2GBearerInfoDta(int techmodeFd, BearerInfo2G *destination);
int getDtaMobilityDta(int techmodeFd, MobilityData *destination);
int getDtaDedicatedChannelPowerDta(int techmodeFd, DedicatedChannelPower *destination);
int getDtaInterRatMeasurementsInfoDta(int techmodeFd, InterRatMeasurementsInfo *destination);
int getDtaHspaChannelInfoDta(int techmodeFd, HspaChannelInfo *destination);
int getDta3GRadioAccessInfoDta(int techmodeFd, RadioAccessInfo3G *destination);
int getDtaSmCcCauseDta(int techmodeFd, SmCcCause *destination);
int getDtaPdpContextInfoDta(int techmodeFd, PdpContextInfo *destination);
int getDta3GIntraRatNeighbourCellMeasInfoDta(int techmodeFd,
                                             IntraRatNeighbourCellMeasInfo3G *destination);
int getDta2GIdleNeighborCellsInfoDta(int techmodeFd, IdleNeighborCellsInfo2G *destination);
int getDta2GDedicatedMeasurementDta(int techmodeFd, DedicatedMeasurementInfo2G *destination);
int getDtaActiveSetInfoDta(int techmodeFd, ActiveSetInfo *destination);
int getDtaMonitoredSetInfoDta(int techmodeFd, MonitoredSetInfo *destination);
int getDtaHspaInterRatMeasDta(int techmodeFd, HspaInterRatMeas *destination);
int getDtaBatteryTemperatureDta(int techmodeFd, BatteryTemperature *destination);
int getDtaLteServingCellDta(int techmodeFd, LteServingCell *destination);
int getDtaLteNeighbourCellsDta(int techmodeFd, LteNeighbourCells *destination);
int getDtaLteSecondaryCellsDta(int techmodeFd, LteSecondaryCells *destination);
int getDtaNrCellInfoDta(int techmodeFd, NrCellInfo *destination);

// Copies the first value byte of each byte primitive of an identity array
// member into consecutive bytes of destination, at most maxCount of them; end
// is one past the last byte of the reply. The count is the member's length in
// words / 2 (low 8 bits). Prints (no line end) "Invalid input pointer." for a
// null destination or member, "No T_TLV_TECHMODE_PRIMITIVE_BYTE_TAG found!"
// when the first child is of another type, and "Too Many byte primitive
// TLV's in array member TLV, extra TLVs ingored." when the count exceeds
// maxCount. Copying stops early at an element that has no value or does not
// lie inside the member; bytes not copied keep their content.
void TLVTM_DecodeByteArrayMember(uint8_t *destination, const uint8_t *member, const uint8_t *end,
                                 size_t maxCount);

#endif  // TECHMODE_TECHMODE_STRUCTS_H

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

// The row of a structure type, or nullptr above 24.
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

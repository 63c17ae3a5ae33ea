// SPDX-License-Identifier: Apache-2.0
// Tech-mode structures: the catalogue and the fetchers (see techmode_structs.h).
#include "techmode/techmode_structs.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "techmode/techmode_transport.h"
#include "techmode/tlv_codec.h"

namespace {

#define SLOT(Record, member)                             \
    TechModeFieldSlot {                                  \
        offsetof(Record, member), sizeof(Record::member) \
    }

constexpr TechModeFieldSlot kBasicDataFields[] = {
    SLOT(BasicData, gmm_cause), SLOT(BasicData, mm_cause), SLOT(BasicData, rr_cause),
    SLOT(BasicData, rr_state),  SLOT(BasicData, field4),   SLOT(BasicData, field5),
    SLOT(BasicData, field6),
};
constexpr TechModeFieldSlot kRadioStatDataFields[] = {
    SLOT(RadioStatData, rrc_state),
    SLOT(RadioStatData, rrc_reject_cause),
    SLOT(RadioStatData, rrc_release_cause),
    SLOT(RadioStatData, rrc_conn_state),
    SLOT(RadioStatData, field4),
    SLOT(RadioStatData, field5),
    SLOT(RadioStatData, field6),
    SLOT(RadioStatData, t3212),
    SLOT(RadioStatData, field8),
    SLOT(RadioStatData, t3312),
    SLOT(RadioStatData, t3314),
};
constexpr TechModeFieldSlot kServingCell3GFields[] = {
    SLOT(ServingCell3G, uarfcn), SLOT(ServingCell3G, psc),    SLOT(ServingCell3G, cell_id),
    SLOT(ServingCell3G, rscp),   SLOT(ServingCell3G, ecio),   SLOT(ServingCell3G, field5),
    SLOT(ServingCell3G, field6), SLOT(ServingCell3G, field7), SLOT(ServingCell3G, field8),
};
constexpr TechModeFieldSlot kServingCell2GFields[] = {
    SLOT(ServingCell2G, gprs_state),
    SLOT(ServingCell2G, bsic),
    SLOT(ServingCell2G, arfcn),
    SLOT(ServingCell2G, cell_id),
    SLOT(ServingCell2G, band),
    SLOT(ServingCell2G, nco),
    SLOT(ServingCell2G, nmo),
    SLOT(ServingCell2G, msc_rev),
    SLOT(ServingCell2G, sgsn_rev),
    SLOT(ServingCell2G, edge_support),
    SLOT(ServingCell2G, tbf_coding_scheme),
    SLOT(ServingCell2G, tfi_ul),
    SLOT(ServingCell2G, tfi_dl),
    SLOT(ServingCell2G, timeslots_ul),
    SLOT(ServingCell2G, timeslots_dl),
    SLOT(ServingCell2G, tx_power),
    SLOT(ServingCell2G, timing_advance),
};
constexpr TechModeFieldSlot kBearerInfo2GFields[] = {
    SLOT(BearerInfo2G, datarate_ul),   SLOT(BearerInfo2G, datarate_dl),
    SLOT(BearerInfo2G, maxrate_ul),    SLOT(BearerInfo2G, maxrate_dl),
    SLOT(BearerInfo2G, field4),        SLOT(BearerInfo2G, domain),
    SLOT(BearerInfo2G, bler_residual), SLOT(BearerInfo2G, codec),
    SLOT(BearerInfo2G, ciphering),
};
constexpr TechModeFieldSlot kMobilityDataFields[] = {
    SLOT(MobilityData, active_rat), SLOT(MobilityData, field1), SLOT(MobilityData, mcc),
    SLOT(MobilityData, mnc),        SLOT(MobilityData, lac),    SLOT(MobilityData, rac),
    SLOT(MobilityData, field6),     SLOT(MobilityData, field7),
};
constexpr TechModeFieldSlot kDedicatedChannelPowerFields[] = {
    SLOT(DedicatedChannelPower, dch_tx_pwr),
    SLOT(DedicatedChannelPower, dch_tx_pwr_step),
    SLOT(DedicatedChannelPower, dch_utra_rssi),
};
// In tag order; the record's own order packs it without holes.
constexpr TechModeFieldSlot kLteServingCellFields[] = {
    SLOT(LteServingCell, camped),
    SLOT(LteServingCell, earfcn),
    SLOT(LteServingCell, pci),
    SLOT(LteServingCell, tac),
    SLOT(LteServingCell, cell_id),
    SLOT(LteServingCell, mcc),
    SLOT(LteServingCell, mnc),
    SLOT(LteServingCell, band),
    SLOT(LteServingCell, dl_bandwidth),
    SLOT(LteServingCell, rsrp),
    SLOT(LteServingCell, rsrq),
    SLOT(LteServingCell, rssi),
    SLOT(LteServingCell, sinr),
    SLOT(LteServingCell, cqi),
    SLOT(LteServingCell, timing_advance),
    SLOT(LteServingCell, rrc_state),
    SLOT(LteServingCell, emm_state),
    SLOT(LteServingCell, emm_cause),
};

#undef SLOT

// Reply sizes follow from the encoding: the command and structure headers
// (8 bytes), then 8 bytes per primitive field, or a header and the block
// rounded up to whole words.
constexpr uint16_t FieldsReply(size_t fieldCount) {
    return uint16_t(8 + 8 * fieldCount);
}
constexpr uint16_t BlockReply(size_t blockBytes) {
    return uint16_t(8 + TlvElementBytes(TlvWordsFor(blockBytes)));
}
// Identity: four byte-array members of 10, 9, 4 and 4 byte elements (a header
// and 8 bytes per element each) and the u16 primitive.
constexpr uint16_t kIdentityReply = 8 + (4 + 8 * 10) + (4 + 8 * 9) + 2 * (4 + 8 * 4) + 8;

// A catalogue row's fetcher is the named one, taking the record untyped.
#define FETCHER(fetcher, Record) \
    [](int fd, void *record) { return fetcher(fd, static_cast<Record *>(record)); }
#define FIELDS(type, Record, fetcher, table, getting, received)                                \
    {                                                                                          \
        type, TechModeEncoding::kFields, FieldsReply(sizeof table / sizeof table[0]),          \
            sizeof(Record), table, uint8_t(sizeof table / sizeof table[0]), getting, received, \
            FETCHER(fetcher, Record)                                                           \
    }
#define BLOCK(type, Record, fetcher, getting, received)                                         \
    {                                                                                           \
        type, TechModeEncoding::kBlock, BlockReply(sizeof(Record)), sizeof(Record), nullptr, 0, \
            getting, received, FETCHER(fetcher, Record)                                         \
    }
#define UNFETCHED(type, replyBytes) \
    { type, TechModeEncoding::kNone, replyBytes, 0, nullptr, 0, nullptr, nullptr, nullptr }

constexpr TechModeStructInfo kCatalogue[kTechModeStructTypeCount] = {
    UNFETCHED(TECHMODE_STRUCT_NONE, 16),
    FIELDS(TECHMODE_STRUCT_BASIC_DATA, BasicData, getDtaBasicDta, kBasicDataFields, "Basic",
           "Basic Data structure"),
    {TECHMODE_STRUCT_IDENTITY_DATA, TechModeEncoding::kMembers, kIdentityReply,
     sizeof(IdentityData), nullptr, 0, "Identity", "identity data structure",
     FETCHER(getDtaIdentityDta, IdentityData)},
    FIELDS(TECHMODE_STRUCT_RADIO_STAT_DATA, RadioStatData, getDtaRadioStatDta, kRadioStatDataFields,
           "Radio Stat", "radio statistic data structure"),
    FIELDS(TECHMODE_STRUCT_SERVING_CELL_3G, ServingCell3G, getDta3GServingCellDta,
           kServingCell3GFields, "3G Serving Cell", "3G Serving Cell Data structure"),
    FIELDS(TECHMODE_STRUCT_SERVING_CELL_2G, ServingCell2G, getDta2GServingCellDta,
           kServingCell2GFields, "2G Serving Cell", "2G Serving Cell Data structure"),
    BLOCK(TECHMODE_STRUCT_BEARER_INFO_3G, BearerInfo3G, getDta3GBearerInfoDta, "3G Bearer Info",
          "3G Bearer Info Data structure"),
    FIELDS(TECHMODE_STRUCT_BEARER_INFO_2G, BearerInfo2G, getDta2GBearerInfoDta, kBearerInfo2GFields,
           "2G Bearer Info", "2G Bearer Info Data structure"),
    FIELDS(TECHMODE_STRUCT_MOBILITY_DATA, MobilityData, getDtaMobilityDta, kMobilityDataFields,
           "Mobility", "Mobility Data structure"),
    FIELDS(TECHMODE_STRUCT_DEDICATED_CHANNEL_POWER, DedicatedChannelPower,
           getDtaDedicatedChannelPowerDta, kDedicatedChannelPowerFields, "Dedicated Channel Power",
           "Dedicated Channel Power Data structure"),
    BLOCK(TECHMODE_STRUCT_INTER_RAT_MEASUREMENTS_INFO, InterRatMeasurementsInfo,
          getDtaInterRatMeasurementsInfoDta, "Inter Rat Measurements Info",
          "Inter Rat Measurements Info Data structure"),
    BLOCK(TECHMODE_STRUCT_HSPA_CHANNEL_INFO, HspaChannelInfo, getDtaHspaChannelInfoDta,
          "HSPA Channel Info", "HSPA Channel Info Data structure"),
    BLOCK(TECHMODE_STRUCT_RADIO_ACCESS_INFO_3G, RadioAccessInfo3G, getDta3GRadioAccessInfoDta,
          "3G Radio Access Info", "3G Radio Access Info Data structure"),
    BLOCK(TECHMODE_STRUCT_SM_CC_CAUSE, SmCcCause, getDtaSmCcCauseDta, "SM/CC Cause",
          "SM/CC Cause Data structure"),
    BLOCK(TECHMODE_STRUCT_PDP_CONTEXT_INFO, PdpContextInfo, getDtaPdpContextInfoDta,
          "PDP Context Info", "PDP Context Info Data structure"),
    UNFETCHED(TECHMODE_STRUCT_HSXPA_SUPPORT_INFO, BlockReply(4)),
    BLOCK(TECHMODE_STRUCT_INTRA_RAT_NEIGHBOUR_CELL_MEAS_INFO_3G, IntraRatNeighbourCellMeasInfo3G,
          getDta3GIntraRatNeighbourCellMeasInfoDta, "3G Intra Rat Neighbour Cell Measurement Info",
          "3G Intra RAT Neighbor Cell Measurement Info Data structure"),
    BLOCK(TECHMODE_STRUCT_IDLE_NEIGHBOR_CELLS_INFO_2G, IdleNeighborCellsInfo2G,
          getDta2GIdleNeighborCellsInfoDta, "2G Idle Neighbor Cells Info",
          "2G Idle Neighbor Cells Info Data structure"),
    BLOCK(TECHMODE_STRUCT_DEDICATED_MEASUREMENT_INFO_2G, DedicatedMeasurementInfo2G,
          getDta2GDedicatedMeasurementDta, "2G Dedicated Measurement",
          "2G Dedicated Measurement Info Data structure"),
    BLOCK(TECHMODE_STRUCT_ACTIVE_SET_INFO, ActiveSetInfo, getDtaActiveSetInfoDta, "Active Set Info",
          "Active Set Info Data structure"),
    BLOCK(TECHMODE_STRUCT_MONITORED_SET_INFO, MonitoredSetInfo, getDtaMonitoredSetInfoDta,
          "Monitored Set Info", "Monitored Set Info Data structure"),
    UNFETCHED(TECHMODE_STRUCT_LAST_REGISTERED_NETWORK, BlockReply(3)),
    BLOCK(TECHMODE_STRUCT_HSPA_INTER_RAT_MEAS, HspaInterRatMeas, getDtaHspaInterRatMeasDta,
          "HSPA Inter RAT Meas", "HSPA Inter RAT Measurement Data structure"),
    BLOCK(TECHMODE_STRUCT_BATTERY_TEMPERATURE, BatteryTemperature, getDtaBatteryTemperatureDta,
          "Battery Temperature", "Battery Temperature Data structure"),
    UNFETCHED(TECHMODE_STRUCT_VOICE_STATS, BlockReply(7)),
    FIELDS(TECHMODE_STRUCT_LTE_SERVING_CELL, LteServingCell, getDtaLteServingCellDta,
           kLteServingCellFields, "LTE Serving Cell", "LTE Serving Cell Data structure"),
    BLOCK(TECHMODE_STRUCT_LTE_NEIGHBOUR_CELLS, LteNeighbourCells, getDtaLteNeighbourCellsDta,
          "LTE Neighbour Cells", "LTE Neighbour Cells Data structure"),
    BLOCK(TECHMODE_STRUCT_LTE_SECONDARY_CELLS, LteSecondaryCells, getDtaLteSecondaryCellsDta,
          "LTE Secondary Cells", "LTE Secondary Cells Data structure"),
    BLOCK(TECHMODE_STRUCT_NR_CELL_INFO, NrCellInfo, getDtaNrCellInfoDta, "NR Cell Info",
          "NR Cell Info Data structure"),
};

// Rows sit at the index of their type.
constexpr bool CatalogueIndexedByType() {
    for (unsigned i = 0; i < kTechModeStructTypeCount; ++i)
        if (kCatalogue[i].type != i) return false;
    return true;
}
static_assert(CatalogueIndexedByType(), "catalogue rows out of order");

#undef FIELDS
#undef BLOCK
#undef UNFETCHED
#undef FETCHER

// Identity members in decoding order: tag, record offset, bytes at most.
struct IdentityMember {
    uint16_t tag;
    uint16_t offset;
    uint8_t maxCount;
};
constexpr IdentityMember kIdentityMembers[] = {
    {T_TECHMODE_IDENTITY_DATA_IMEISV_ARRAY_MEMBER, offsetof(IdentityData, imeisv),
     sizeof(IdentityData::imeisv)},
    {T_TECHMODE_IDENTITY_DATA_IMSI_ARRAY_MEMBER, offsetof(IdentityData, imsi),
     sizeof(IdentityData::imsi)},
    {T_TECHMODE_IDENTITY_DATA_TMSI_ARRAY_MEMBER, offsetof(IdentityData, tmsi),
     sizeof(IdentityData::tmsi)},
    {T_TECHMODE_IDENTITY_DATA_PTMSI_ARRAY_MEMBER, offsetof(IdentityData, ptmsi),
     sizeof(IdentityData::ptmsi)},
};

// Decodes the structure element into record; false when there was nothing to
// decode (so the fetch reports failure and the record is restored).
bool Decode(const TechModeStructInfo &info, uint8_t *record, const uint8_t *structTlv,
            const uint8_t *end) {
    switch (info.encoding) {
        case TechModeEncoding::kFields:
            // A missing structure element or field is printed per field and
            // skipped; the fetch still counts as received.
            for (uint8_t tag = 0; tag < info.fieldCount; ++tag) {
                TLVTM_DecodeTlvPrimitive(record + info.fields[tag].offset, structTlv, end, tag,
                                         info.fields[tag].width);
            }
            return true;
        case TechModeEncoding::kBlock: {
            // The block is the whole record: without it (or with one too long
            // or too short) there is nothing worth publishing; a partial copy
            // would publish values the modem never gave.
            const uint8_t *value = TlvGetValuePointer(structTlv, end, info.type, info.recordBytes);
            if (value == nullptr || TlvValueBytes(value) < info.recordBytes) return false;
            memcpy(record, value, info.recordBytes);
            return true;
        }
        case TechModeEncoding::kMembers:
            for (const IdentityMember &m : kIdentityMembers) {
                const uint8_t *member = TlvGetTlv(structTlv, end, m.tag);
                if (member == nullptr) {
                    fputs("Invalid input pointer.", stdout);
                    continue;
                }
                TLVTM_DecodeByteArrayMember(record + m.offset, member, end, m.maxCount);
            }
            TLVTM_DecodeTlvPrimitive(record + offsetof(IdentityData, srnc_id), structTlv, end,
                                     T_TECHMODE_IDENTITY_DATA_SRNC_ID,
                                     sizeof(IdentityData::srnc_id));
            // Without the structure element every member was missing: nothing
            // was received that could be shown.
            return structTlv != nullptr;
        case TechModeEncoding::kNone:
            return false;
    }
    return false;
}

int FetchStructure(int techmodeFd, const TechModeStructInfo &info, void *destination) {
    printf("Getting %s Data Structure\n", info.gettingText);
    size_t replyBytes = 0;
    uint8_t *reply = TLVTM_GetStructTlv(techmodeFd, info.type, &replyBytes);
    if (reply == nullptr) {
        printf("Could not successfully retrieve %s\n", info.receivedText);
        return -1;
    }
    printf("Received %s\n", info.receivedText);

    uint8_t *record = static_cast<uint8_t *>(destination);
    const uint8_t firstByte = record != nullptr ? record[0] : 0;
    const uint8_t *structTlv = TLVTM_FindStructTlv(record, reply, replyBytes, info.type);
    const bool decoded = record != nullptr && Decode(info, record, structTlv, reply + replyBytes);
    free(reply);
    if (!decoded) {
        if (record != nullptr) record[0] = firstByte;  // undo the mark: untouched on -1
        return -1;
    }
    return 0;
}

}  // namespace

const TechModeStructInfo *TechModeStructInfoFor(unsigned structType) {
    return structType < kTechModeStructTypeCount ? &kCatalogue[structType] : nullptr;
}

void TLVTM_DecodeByteArrayMember(uint8_t *destination, const uint8_t *member, const uint8_t *end,
                                 size_t maxCount) {
    if (destination == nullptr || member == nullptr || end == nullptr || end < member ||
        static_cast<size_t>(end - member) < kTlvHeaderBytes) {
        fputs("Invalid input pointer.", stdout);
        return;
    }
    const size_t lengthWords = TlvReadHeader(member).length;
    // The member's children end where its length says, or where the reply ends.
    size_t extent = TlvElementBytes(lengthWords);
    if (extent > static_cast<size_t>(end - member)) extent = static_cast<size_t>(end - member);
    if (extent < 2 * kTlvHeaderBytes) return;  // no child at all: nothing to copy

    if (TlvReadHeader(member + kTlvHeaderBytes).type != T_TLV_TECHMODE_PRIMITIVE_BYTE_TAG) {
        fputs("No T_TLV_TECHMODE_PRIMITIVE_BYTE_TAG found!", stdout);
        return;
    }
    // Each byte element takes a header word and a value word.
    size_t count = (lengthWords / 2) & 0xFFu;
    if (count > maxCount) {
        fputs("Too Many byte primitive TLV's in array member TLV, extra TLVs ingored.", stdout);
        count = maxCount;
    }
    size_t off = kTlvHeaderBytes;
    for (size_t i = 0; i < count; ++i) {
        if (extent - off < 2 * kTlvHeaderBytes) break;
        const TlvHeader element = TlvReadHeader(member + off);
        const size_t bytes = TlvElementBytes(element.length);
        if (element.length == 0 || bytes > extent - off) break;
        destination[i] = member[off + kTlvHeaderBytes];
        off += bytes;
    }
}

// Each named fetcher runs the common fetch with its catalogue row; the row's
// record size must be the size of the record it fills.
#define DEFINE_FETCHER(fetcher, Record, type)                                              \
    int fetcher(int techmodeFd, Record *destination) {                                     \
        static_assert(kCatalogue[type].recordBytes == sizeof(Record), #fetcher " record"); \
        return FetchStructure(techmodeFd, kCatalogue[type], destination);                  \
    }

DEFINE_FETCHER(getDtaBasicDta, BasicData, TECHMODE_STRUCT_BASIC_DATA)
DEFINE_FETCHER(getDtaIdentityDta, IdentityData, TECHMODE_STRUCT_IDENTITY_DATA)
DEFINE_FETCHER(getDtaRadioStatDta, RadioStatData, TECHMODE_STRUCT_RADIO_STAT_DATA)
DEFINE_FETCHER(getDta3GServingCellDta, ServingCell3G, TECHMODE_STRUCT_SERVING_CELL_3G)
DEFINE_FETCHER(getDta2GServingCellDta, ServingCell2G, TECHMODE_STRUCT_SERVING_CELL_2G)
DEFINE_FETCHER(getDta3GBearerInfoDta, BearerInfo3G, TECHMODE_STRUCT_BEARER_INFO_3G)
DEFINE_FETCHER(getDta2GBearerInfoDta, BearerInfo2G, TECHMODE_STRUCT_BEARER_INFO_2G)
DEFINE_FETCHER(getDtaMobilityDta, MobilityData, TECHMODE_STRUCT_MOBILITY_DATA)
DEFINE_FETCHER(getDtaDedicatedChannelPowerDta, DedicatedChannelPower,
               TECHMODE_STRUCT_DEDICATED_CHANNEL_POWER)
DEFINE_FETCHER(getDtaInterRatMeasurementsInfoDta, InterRatMeasurementsInfo,
               TECHMODE_STRUCT_INTER_RAT_MEASUREMENTS_INFO)
DEFINE_FETCHER(getDtaHspaChannelInfoDta, HspaChannelInfo, TECHMODE_STRUCT_HSPA_CHANNEL_INFO)
DEFINE_FETCHER(getDta3GRadioAccessInfoDta, RadioAccessInfo3G, TECHMODE_STRUCT_RADIO_ACCESS_INFO_3G)
DEFINE_FETCHER(getDtaSmCcCauseDta, SmCcCause, TECHMODE_STRUCT_SM_CC_CAUSE)
DEFINE_FETCHER(getDtaPdpContextInfoDta, PdpContextInfo, TECHMODE_STRUCT_PDP_CONTEXT_INFO)
DEFINE_FETCHER(getDta3GIntraRatNeighbourCellMeasInfoDta, IntraRatNeighbourCellMeasInfo3G,
               TECHMODE_STRUCT_INTRA_RAT_NEIGHBOUR_CELL_MEAS_INFO_3G)
DEFINE_FETCHER(getDta2GIdleNeighborCellsInfoDta, IdleNeighborCellsInfo2G,
               TECHMODE_STRUCT_IDLE_NEIGHBOR_CELLS_INFO_2G)
DEFINE_FETCHER(getDta2GDedicatedMeasurementDta, DedicatedMeasurementInfo2G,
               TECHMODE_STRUCT_DEDICATED_MEASUREMENT_INFO_2G)
DEFINE_FETCHER(getDtaActiveSetInfoDta, ActiveSetInfo, TECHMODE_STRUCT_ACTIVE_SET_INFO)
DEFINE_FETCHER(getDtaMonitoredSetInfoDta, MonitoredSetInfo, TECHMODE_STRUCT_MONITORED_SET_INFO)
DEFINE_FETCHER(getDtaHspaInterRatMeasDta, HspaInterRatMeas, TECHMODE_STRUCT_HSPA_INTER_RAT_MEAS)
DEFINE_FETCHER(getDtaBatteryTemperatureDta, BatteryTemperature, TECHMODE_STRUCT_BATTERY_TEMPERATURE)
DEFINE_FETCHER(getDtaLteServingCellDta, LteServingCell, TECHMODE_STRUCT_LTE_SERVING_CELL)
DEFINE_FETCHER(getDtaLteNeighbourCellsDta, LteNeighbourCells, TECHMODE_STRUCT_LTE_NEIGHBOUR_CELLS)
DEFINE_FETCHER(getDtaLteSecondaryCellsDta, LteSecondaryCells, TECHMODE_STRUCT_LTE_SECONDARY_CELLS)
DEFINE_FETCHER(getDtaNrCellInfoDta, NrCellInfo, TECHMODE_STRUCT_NR_CELL_INFO)

#undef DEFINE_FETCHER

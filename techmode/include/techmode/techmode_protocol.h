/* SPDX-License-Identifier: Apache-2.0 */
/*
 * The tech-mode protocol: how a structure is asked of the modem's radio
 * resource manager (RRM) through the tech-mode device, and how the answer is
 * shaped. Shared by the daemon's transport and by any tech-mode device that
 * answers it (such as a simulated modem). Elements are those of
 * tlv_element.h; all values little-endian.
 *
 * Request, kTechModeRequestBytes long, zero-filled, sent with one devctlv of
 * DCMD_TECHMODE_REQUEST:
 *   offset 0   CMD_TECHMODE_GET_STRUCT_DATA_TAG, length 2
 *   offset 4     CMD_TECHMODE_STRUCT_TYPE_TAG, length 1
 *   offset 8       u16 structure type (TechModeStructType), u16 zero
 *   offset 12  zeros
 *
 * Reply, received into a buffer of the per-type size (TLVTM_ReplyBufferBytes):
 *   CMD_TECHMODE_GET_STRUCT_DATA_TAG                    container
 *     <structure type>                                  container
 *       field elements, one of three shapes by structure:
 *       - fields:  one primitive per field, tagged with the field number
 *                  (0, 1, 2, ...), the value in the first bytes of one word;
 *       - block:   one element whose type is the structure type and whose
 *                  value is the whole structure, byte for byte;
 *       - members: the identity array members (below) and a u16 primitive.
 *
 * An identity array member is a container of byte primitives, each of type
 * T_TLV_TECHMODE_PRIMITIVE_BYTE_TAG with one word of value whose first byte
 * is the byte.
 */
#ifndef TECHMODE_TECHMODE_PROTOCOL_H
#define TECHMODE_TECHMODE_PROTOCOL_H

#include <stddef.h>
#include <stdint.h>

constexpr const char *kTechModeDevicePath = "/dev/radio/cellular/techmode";

// The devctl command of a structure request: no direction or size bits.
constexpr int DCMD_TECHMODE_REQUEST = 0x1000;
constexpr size_t kTechModeRequestBytes = 100;

constexpr uint16_t CMD_TECHMODE_GET_STRUCT_DATA_TAG = 0x2001;
constexpr uint16_t CMD_TECHMODE_STRUCT_TYPE_TAG = 0x2005;
constexpr uint16_t T_TLV_TECHMODE_PRIMITIVE_BYTE_TAG = 0;

// Children of the identity structure element.
constexpr uint16_t T_TECHMODE_IDENTITY_DATA_IMEISV_ARRAY_MEMBER = 0;
constexpr uint16_t T_TECHMODE_IDENTITY_DATA_IMSI_ARRAY_MEMBER = 1;
constexpr uint16_t T_TECHMODE_IDENTITY_DATA_TMSI_ARRAY_MEMBER = 2;
constexpr uint16_t T_TECHMODE_IDENTITY_DATA_PTMSI_ARRAY_MEMBER = 3;
constexpr uint16_t T_TECHMODE_IDENTITY_DATA_SRNC_ID = 6;  // u16 primitive

// The structures the RRM delivers, by number. Type 0 is accepted by the
// transport but names no structure.
enum TechModeStructType : uint16_t {
    TECHMODE_STRUCT_NONE = 0,
    TECHMODE_STRUCT_BASIC_DATA = 1,
    TECHMODE_STRUCT_IDENTITY_DATA = 2,
    TECHMODE_STRUCT_RADIO_STAT_DATA = 3,
    TECHMODE_STRUCT_SERVING_CELL_3G = 4,
    TECHMODE_STRUCT_SERVING_CELL_2G = 5,
    TECHMODE_STRUCT_BEARER_INFO_3G = 6,
    TECHMODE_STRUCT_BEARER_INFO_2G = 7,
    TECHMODE_STRUCT_MOBILITY_DATA = 8,
    TECHMODE_STRUCT_DEDICATED_CHANNEL_POWER = 9,
    TECHMODE_STRUCT_INTER_RAT_MEASUREMENTS_INFO = 10,
    TECHMODE_STRUCT_HSPA_CHANNEL_INFO = 11,
    TECHMODE_STRUCT_RADIO_ACCESS_INFO_3G = 12,
    TECHMODE_STRUCT_SM_CC_CAUSE = 13,
    TECHMODE_STRUCT_PDP_CONTEXT_INFO = 14,
    TECHMODE_STRUCT_HSXPA_SUPPORT_INFO = 15,
    TECHMODE_STRUCT_INTRA_RAT_NEIGHBOUR_CELL_MEAS_INFO_3G = 16,
    TECHMODE_STRUCT_IDLE_NEIGHBOR_CELLS_INFO_2G = 17,
    TECHMODE_STRUCT_DEDICATED_MEASUREMENT_INFO_2G = 18,
    TECHMODE_STRUCT_ACTIVE_SET_INFO = 19,
    TECHMODE_STRUCT_MONITORED_SET_INFO = 20,
    TECHMODE_STRUCT_LAST_REGISTERED_NETWORK = 21,
    TECHMODE_STRUCT_HSPA_INTER_RAT_MEAS = 22,
    TECHMODE_STRUCT_BATTERY_TEMPERATURE = 23,
    TECHMODE_STRUCT_VOICE_STATS = 24,
    TECHMODE_STRUCT_LTE_SERVING_CELL = 25,
    TECHMODE_STRUCT_LTE_NEIGHBOUR_CELLS = 26,
    TECHMODE_STRUCT_LTE_SECONDARY_CELLS = 27,
    TECHMODE_STRUCT_NR_CELL_INFO = 28,
};
constexpr unsigned kTechModeStructTypeCount = 29;

/*
 * LTE and NR structures (types 25 to 28). Their layouts and reply sizes are
 * in techmode_structs.h; these are the conventions they share.
 *
 * Signal levels (RSRP, RSRQ, RSSI, SINR; SS-RSRP, SS-RSRQ, SS-SINR) are
 * signed 16-bit counts of half decibels: the value is twice the level in dBm
 * (RSRP, RSSI) or dB (RSRQ, SINR), so -190 is -95 dBm and -21 is -10.5 dB.
 * Half a decibel is the finest step of the reported ranges of TS 36.133
 * (RSRP -156 to -31 dBm in 1 dB steps, RSRQ -34 to 2.5 dB in 0.5 dB steps)
 * and TS 38.133 (SS-SINR -23 to 40 dB in 0.5 dB steps), so every reported
 * value is exact.
 *
 * A value the modem does not report is sent as its "not reported" value:
 * kTechModeLevelNotReported for a level, all ones for an unsigned field
 * (0xFF, 0xFFFF, 0xFFFFFFFF, and all 64 bits of the NR cell identity). A
 * field element left out of a reply of fields reads the same, since the
 * record starts out holding these values.
 */
constexpr int16_t kTechModeLevelNotReported = INT16_MIN;

#endif  // TECHMODE_TECHMODE_PROTOCOL_H

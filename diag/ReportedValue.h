/* SPDX-License-Identifier: Apache-2.0 */
// Publishing the values of the LTE and NR structures, whose every field has
// a "not reported" value (techmode_protocol.h): such a field is published
// as "NOT SUPPORTED", a value outside the range the standard gives it as
// "data error!" (what the text tables show for a code outside them), and
// anything else as its number or text. Used by lteopinfo and nropinfo only;
// the nine earlier screens publish their fields as the modem sends them.
#ifndef DIAG_REPORTEDVALUE_H
#define DIAG_REPORTEDVALUE_H

#include <stdint.h>
#include <sys/pps.h>

#include "techmode/techmode_protocol.h"

constexpr const char *kNotSupported = "NOT SUPPORTED";
constexpr const char *kOutOfRange = "data error!";

// An unsigned field of which notReported (all ones of its width) is the
// not-reported value; lo..hi is its range.
inline void AddReported(pps_encoder_t *enc, const char *name, uint64_t value, uint64_t notReported,
                        uint64_t lo, uint64_t hi) {
    if (value == notReported)
        pps_encoder_add_string(enc, name, kNotSupported);
    else if (value < lo || value > hi)
        pps_encoder_add_string(enc, name, kOutOfRange);
    else
        pps_encoder_add_int64(enc, name, static_cast<int64_t>(value));
}

// A level in half decibels, published in dBm or dB (-10.5, -95); lo..hi is
// its range in half decibels.
inline void AddLevel(pps_encoder_t *enc, const char *name, int16_t halfDb, int lo, int hi) {
    if (halfDb == kTechModeLevelNotReported)
        pps_encoder_add_string(enc, name, kNotSupported);
    else if (halfDb < lo || halfDb > hi)
        pps_encoder_add_string(enc, name, kOutOfRange);
    else
        pps_encoder_add_double(enc, name, halfDb / 2.0);
}

// A one-byte code: 0xFF is not reported, others go through the table
// (whose fallback covers codes outside it).
inline void AddCode(pps_encoder_t *enc, const char *name, uint8_t code,
                    const char *(*text)(unsigned)) {
    pps_encoder_add_string(enc, name, code == 0xFF ? kNotSupported : text(code));
}

// Reported ranges in half decibels, from the measurement report mappings of
// TS 36.133 and TS 38.133: RSRP and SS-RSRP -156 to -31 dBm, RSRQ -34 to
// 2.5 dB, SS-RSRQ -43 to 20 dB, SINR and SS-SINR -23 to 40 dB; a carrier
// RSSI, which no mapping bounds, from the RSRP floor to 0 dBm.
constexpr int kRsrpLo = -312, kRsrpHi = -62;
constexpr int kRsrqLo = -68, kRsrqHi = 5;
constexpr int kNrRsrqLo = -86, kNrRsrqHi = 40;
constexpr int kSinrLo = -46, kSinrHi = 80;
constexpr int kRssiLo = -312, kRssiHi = 0;

#endif  // DIAG_REPORTEDVALUE_H

/* SPDX-License-Identifier: Apache-2.0 */
/*
 * Value formatting: the text tables that turn the modem's codes into display
 * texts, and the formatters of the identity digits. Pure functions; the texts
 * are constants that live as long as the program.
 *
 * Every table returns its fallback text for a code outside it: "data error!"
 * unless noted.
 */
#ifndef TECHMODE_TECHMODE_TEXT_H
#define TECHMODE_TECHMODE_TEXT_H

#include <stddef.h>
#include <stdint.h>

const char *RrcStateText(unsigned code);              // 0 "CELL_DCH " (trailing blank) .. 6 "NULL"
const char *RrcConnStateText(unsigned code);          // 0 "CELL_DCH" .. 10 "INTERRAT_U2G"
const char *RrStateText(unsigned code);               // 0..20, 30, 31, 40, 41, 120..122; "unknown"
const char *GprsStateText(unsigned code);             // 0 "DEREG" .. 5 "DEREG_INIT"
const char *GsmBandText(unsigned code);               // 0 "DCS_1800", 1 "PCS_1900"
const char *NetworkControlOrderText(unsigned code);   // "NC0" "NC1" "NC2" "unknown"
const char *EdgeSupportText(unsigned code);           // "GPRS" "EGPRS" "EGPRS RACH"
const char *CodingSchemeText(unsigned code);          // "CS1".."CS4", "MCS1".."MCS9"
const char *NetworkOperationModeText(unsigned code);  // "Mode I" .. "unknown"
const char *RatText(unsigned code);                   // "GSM" "WCDMA" "GAN" "unknown"
const char *CellTypeText(unsigned code);              // 0 "2G", 1 "GPRS", 255 "UNKNOWN"
const char *DomainText(unsigned code);                // "CS" "PS" "INVALID"
const char *CodecText(unsigned code);                 // 0..13, 99 "NOT APPLICABLE"
const char *GsmCipheringText(unsigned code);          // "A5_1" .. "Reserved"
const char *UmtsCipheringText(unsigned code);         // "UAE_0" "UAE_1" "UAE_2"
const char *GprsCipheringText(unsigned code);         // "GPRS_CIPHERING_OFF" ..
const char *OnOffText(unsigned code);                 // "OFF" "ON"; fallback "data read eorr"

// LTE and NR codes.
const char *YesNoText(unsigned code);         // 0 "NO", 1 "YES"
const char *LteRrcStateText(unsigned code);   // 0 "RRC_IDLE", 1 "RRC_CONNECTED"
const char *EmmStateText(unsigned code);      // 0 "EMM-NULL" .. 6 (TS 24.301 5.1.3.2.1)
const char *LteBandwidthText(unsigned code);  // 0 "1.4MHz" .. 5 "20MHz"
const char *ScellStateText(unsigned code);    // 0 "CONFIGURED", 1 "ACTIVE"
const char *NrModeText(unsigned code);        // 0 "NONE", 1 "SA", 2 "NSA"
const char *NrScsText(unsigned code);         // 0 "15kHz" .. 4 "240kHz"

// Room the formatters need, terminating zero included.
constexpr size_t kImsiTextBytes = 19;
constexpr size_t kImeiTextBytes = 18;
constexpr size_t kTmsiTextBytes = 9;

// The identities are packed as 3GPP TS 24.008 clause 10.5.1.4 (Mobile
// identity) packs them: two decimal digits per byte, the low half first,
// 0xF filling an unused half.
//
// The 9 IMSI bytes as 18 lower-case hex digits: each byte low half first,
// every half shown as the modem sends it. A filler half-byte 0xF shows as 'f'.
void FormatImsiDigits(const uint8_t *imsi, char *text, size_t textBytes);

// The 10 IMEISV bytes as 17 lower-case hex digits: the high half of byte 1,
// then bytes 2 to 9 low half first. Byte 0 (the length) and the low half of
// byte 1 (odd/even indicator and type of identity) are not shown; the 16
// digits of an IMEISV leave the last half as the 0xF filler.
void FormatImeiDigits(const uint8_t *imeisv, char *text, size_t textBytes);

// 4 bytes as 8 upper-case hex digits, in order (TMSI, P-TMSI).
void FormatTmsiHex(const uint8_t *tmsi, char *text, size_t textBytes);

// The formatters write nothing when the input or text is null or textBytes is
// 0; a text shorter than needed receives the leading digits, zero-ended.

#endif  // TECHMODE_TECHMODE_TEXT_H

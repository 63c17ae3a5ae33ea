/* SPDX-License-Identifier: Apache-2.0 */
/*
 * TLV codec: writes one element into a buffer and finds elements inside a
 * received buffer (layout in tlv_element.h). Pure: no state, no allocation,
 * no I/O; the one side effect is the system-log entry of an over-long value.
 *
 * The lookups take the end of the received bytes as well as the element to
 * search, because the buffer comes from a modem we do not control: no read
 * ever goes past end, whatever the length fields say. A child that does not
 * lie wholly before end stops the walk with no match; a container that claims
 * more than arrived is walked only as far as its children fit.
 */
#ifndef TECHMODE_TLV_CODEC_H
#define TECHMODE_TLV_CODEC_H

#include <stddef.h>
#include <stdint.h>

#include "techmode/tlv_element.h"

// System-log code and severity of the codec's assertion entry.
constexpr int kTlvAssertionLogCode = 10004;
constexpr int kTlvAssertionLogSeverity = 1;

// Writes one element at destination: the header (type; length = (size+3)/4),
// then the size bytes of source, zero-padded to a whole word. Returns
// destination + 4 + 4 * length, where the next element goes.
// REQUIRES: 1 <= size <= kTlvMaxValueBytes, and room for the whole element.
uint8_t *TlvPack(uint8_t *destination, uint16_t type, size_t size, const void *source);

// Returns the first child of container whose type is type (a pointer to the
// child's header), or nullptr: no such child, a null container, or a walk
// that reached a child running past end before finding one.
// end is one past the last received byte of the buffer holding container.
const uint8_t *TlvGetTlv(const uint8_t *container, const uint8_t *end, uint16_t type);

// Returns a pointer to the value of the first child of container whose type
// is type, checked for reading size bytes there, or nullptr.
// - A child longer than (size + 3) / 4 words logs "%30s: [ASSERTION]
//   Unexpected value length [0x%X] (length %d, expected %d)" (code 10004,
//   severity 1) and yields nullptr; later children of that type are not
//   looked at.
// - A shorter child passes: its value is returned as it is, and may hold
//   fewer than size bytes. The whole value lies before end; a caller that
//   reads size bytes checks TlvValueBytes first.
const uint8_t *TlvGetValuePointer(const uint8_t *container, const uint8_t *end, uint16_t type,
                                  size_t size);

// The bytes of the value a TlvGetValuePointer result points at (its length
// in words, times 4).
inline size_t TlvValueBytes(const uint8_t *value) {
    return kTlvWordBytes * TlvReadHeader(value - kTlvHeaderBytes).length;
}

#endif  // TECHMODE_TLV_CODEC_H

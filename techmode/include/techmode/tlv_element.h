/* SPDX-License-Identifier: Apache-2.0 */
/*
 * The TLV element, the unit of everything exchanged with the modem's radio
 * resource manager (RRM) over the tech-mode device. This header is the one
 * description of its layout: the codec, the tests' reply builders and any
 * tech-mode device (such as a simulated modem) all use it.
 *
 *   offset 0   u16 type     tag of the element, local to its parent
 *   offset 2   u16 length   length of the value in 32-bit words; the
 *                           4-byte header is not counted
 *   offset 4   value        4 x length bytes, zero-padded
 *
 * Values are little-endian, the device's own order; nobody swaps bytes.
 * Elements lie back to back, each on a 4-byte boundary of its buffer; the
 * value of a container is the sequence of its children. Nothing in an element
 * says whether it is a primitive, a block or a container: the reader knows
 * from the tag.
 */
#ifndef TECHMODE_TLV_ELEMENT_H
#define TECHMODE_TLV_ELEMENT_H

#include <stddef.h>
#include <stdint.h>
#include <string.h>

struct TlvHeader {
    uint16_t type;
    uint16_t length;  // in 32-bit words
};
static_assert(sizeof(TlvHeader) == 4, "a TLV header is two 16-bit words");

constexpr size_t kTlvHeaderBytes = 4;
constexpr size_t kTlvWordBytes = 4;
// The largest value an element can carry: the length field counts words.
constexpr size_t kTlvMaxValueBytes = 0xFFFFu * kTlvWordBytes;

// Words that a value of valueBytes bytes occupies: (n + 3) / 4.
constexpr size_t TlvWordsFor(size_t valueBytes) {
    return (valueBytes + kTlvWordBytes - 1) / kTlvWordBytes;
}

// Bytes from the start of an element to the start of the next one.
constexpr size_t TlvElementBytes(size_t lengthWords) {
    return kTlvHeaderBytes + kTlvWordBytes * lengthWords;
}

// Reads the header at element (which need not be aligned).
// REQUIRES: 4 readable bytes at element.
inline TlvHeader TlvReadHeader(const uint8_t *element) {
    TlvHeader h;
    memcpy(&h, element, sizeof h);
    return h;
}

// Writes a header at element. REQUIRES: 4 writable bytes at element.
inline void TlvWriteHeader(uint8_t *element, uint16_t type, uint16_t lengthWords) {
    const TlvHeader h = {type, lengthWords};
    memcpy(element, &h, sizeof h);
}

#endif  // TECHMODE_TLV_ELEMENT_H

// SPDX-License-Identifier: Apache-2.0
// TLV codec: packing and bounded lookups (see tlv_codec.h).
#include "techmode/tlv_codec.h"

#include <string.h>
#include <sys/slog.h>

#include <algorithm>

uint8_t *TlvPack(uint8_t *destination, uint16_t type, size_t size, const void *source) {
    const size_t words = TlvWordsFor(size);
    TlvWriteHeader(destination, type, static_cast<uint16_t>(words));
    uint8_t *value = destination + kTlvHeaderBytes;
    // Clear the last word first so that the padding after a short value is zero.
    if (words > 0) memset(value + kTlvWordBytes * (words - 1), 0, kTlvWordBytes);
    memcpy(value, source, size);
    return value + kTlvWordBytes * words;
}

const uint8_t *TlvGetTlv(const uint8_t *container, const uint8_t *end, uint16_t type) {
    if (container == nullptr || end == nullptr || end < container) return nullptr;
    const size_t avail = static_cast<size_t>(end - container);
    if (avail < kTlvHeaderBytes) return nullptr;

    // The container's own length says where its children end; the received
    // bytes may end sooner. Offsets, not pointers, so that a huge length
    // cannot form a pointer past the buffer.
    const size_t limit = std::min(TlvElementBytes(TlvReadHeader(container).length), avail);
    size_t off = kTlvHeaderBytes;
    while (off < limit) {
        if (avail - off < kTlvHeaderBytes) return nullptr;
        const TlvHeader child = TlvReadHeader(container + off);
        const size_t bytes = TlvElementBytes(child.length);
        if (bytes > avail - off) return nullptr;  // runs past the received bytes
        if (child.type == type) return container + off;
        off += bytes;
    }
    return nullptr;
}

const uint8_t *TlvGetValuePointer(const uint8_t *container, const uint8_t *end, uint16_t type,
                                  size_t size) {
    const uint8_t *child = TlvGetTlv(container, end, type);
    if (child == nullptr) return nullptr;
    const size_t expected = TlvWordsFor(size);
    const size_t length = TlvReadHeader(child).length;
    if (length > expected) {
        slogf(kTlvAssertionLogCode, kTlvAssertionLogSeverity,
              "%30s: [ASSERTION] Unexpected value length [0x%X] (length %d, expected %d)",
              "TlvGetValuePointer", static_cast<unsigned>(type), static_cast<int>(length),
              static_cast<int>(expected));
        return nullptr;
    }
    return child + kTlvHeaderBytes;
}

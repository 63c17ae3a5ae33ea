// SPDX-License-Identifier: Apache-2.0
// TLV codec: packing byte for byte, and lookups that never read past the
// received bytes (every buffer ends at an unreadable page, so a stray read
// stops the test) nor return a value that runs past them.
#include "techmode/tlv_codec.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <string>
#include <vector>

#include "tlv_test_util.h"

namespace {

TEST(TlvPack, WritesHeaderValueAndZeroPadding) {
    for (size_t size : {1, 2, 3, 4, 5, 194}) {
        SCOPED_TRACE(size);
        const size_t words = (size + 3) / 4;
        std::vector<uint8_t> value(size);
        std::iota(value.begin(), value.end(), 0x80);
        std::vector<uint8_t> out(4 + 4 * words + 4, 0xAA);  // one guard word after
        const uint8_t *next = TlvPack(out.data(), 0x1234, size, value.data());
        std::vector<uint8_t> expected(out.size(), 0xAA);
        const uint8_t header[] = {0x34, 0x12, uint8_t(words), uint8_t(words >> 8)};
        auto end = std::copy(header, header + 4, expected.begin());
        std::fill(std::copy(value.begin(), value.end(), end), expected.end() - 4, 0x00);
        EXPECT_EQ(out, expected);
        EXPECT_EQ(next, out.data() + 4 + 4 * words);
    }
}

TEST(TlvLookup, StaysInsideTheReceivedBytes) {
    using B = TlvBuilder;
    const std::vector<uint8_t> blk(388, 0x5C);
    const struct {
        const char *name;
        std::vector<uint8_t> buffer;
        uint16_t type;
        size_t size;
        int childOffset;  // TlvGetTlv result, -1 for none
        int valueOffset;  // TlvGetValuePointer result, -1 for none
    } cases[] = {
        {"empty container", B().Header(1, 0).Primitive(5, 0x11).bytes(), 5, 4, -1, -1},
        {"first of two children wins",
         B().Open(1).Primitive(5, 0x11).Primitive(5, 0x22).Close().bytes(), 5, 4, 4, 8},
        {"over-long first child hides a fitting second",
         B().Open(1).Value(0x17, "12345678", 8).Primitive(0x17, 1).Close().bytes(), 0x17, 4, 4, -1},
        {"shorter value passes", B().Open(1).Primitive(9, 0x33).Close().bytes(), 9, 8, 4, 8},
        {"exact block", B().Open(10).Value(10, blk.data(), 388).Close().bytes(), 10, 388, 4, 8},
        {"child length past the buffer", B().Open(1).Header(5, 100).Close().bytes(), 5, 4, -1, -1},
        {"child one word longer than the buffer",
         B().Open(1).Header(5, 2).Raw({1, 2, 3, 4}).Close().bytes(), 5, 8, -1, -1},
        {"skipped child jumps past the buffer",
         B().Open(1).Header(3, 0xFFFF).Primitive(5, 1).Close().bytes(), 5, 4, -1, -1},
        {"container longer than received is walked as far as it arrived",
         B().Header(1, 0xFFFF).Primitive(9, 0x33).Primitive(5, 0x44).bytes(), 5, 4, 12, 16},
        {"buffer ends inside a child header", B().Header(1, 2).Raw({5, 0}).bytes(), 5, 4, -1, -1},
        {"buffer shorter than the container header", {1, 0}, 5, 4, -1, -1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        GuardedCopy buf(c.buffer);
        const uint8_t *end = buf.get() + c.buffer.size();
        const uint8_t *child = TlvGetTlv(buf.get(), end, c.type);
        const uint8_t *value = TlvGetValuePointer(buf.get(), end, c.type, c.size);
        EXPECT_EQ(child == nullptr ? -1 : child - buf.get(), c.childOffset);
        EXPECT_EQ(value == nullptr ? -1 : value - buf.get(), c.valueOffset);
        // A caller reads the value it was given, all of it.
        if (value != nullptr) {
            std::vector<uint8_t> copy(value, value + TlvValueBytes(value));
            EXPECT_LE(value + copy.size(), end);
        }
    }
}

}  // namespace

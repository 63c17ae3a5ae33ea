// SPDX-License-Identifier: Apache-2.0
// Fuzz target: the tech-mode fetchers and the TLV walkers on arbitrary
// replies from the modem.
//
// Input: byte 0 picks the fetcher (among the catalogue rows that have one,
// low 7 bits) and whether the device lies about the reply's length (high
// bit: it claims 4 GB); the rest is the reply. The tests' pretend device
// (support/FakeDevice.h) answers with the reply bytes, so the
// fetcher runs through the real devctlv and transport. An honest device
// claims as many bytes as the input holds, even more than the transfer
// carries; an empty reply is a device error.
//
// Checked: the request the device sees is the one the transport documents;
// a fetcher calls the device once and returns 0 or -1; after -1 the record
// is exactly as it was. The record is a heap block of exactly its size, so
// ASan reports any write past it.
//
// Then the walkers run on an exact-size copy of the reply (the fetchers
// always see a zero-filled buffer of the catalogue's size; here nothing is
// readable past the received bytes): the transport's structure lookup and
// field decoders, the block and identity member decoders, and TlvGetTlv /
// TlvGetValuePointer on every container, compared with a walk of the
// element layout written here.
#include <devctl.h>
#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <memory>
#include <vector>

#include "devctl_xfer.h"
#include "fuzz_check.h"
#include "slog_capture.h"
#include "support/FakeDevice.h"
#include "techmode/techmode_structs.h"
#include "techmode/techmode_transport.h"
#include "techmode/tlv_codec.h"

namespace {

constexpr uint8_t kRecordFill = 0xA5;

// What the pretend device answers with for the current input.
struct Input {
    const uint8_t *reply = nullptr;
    size_t replyBytes = 0;
    bool claimsTooMuch = false;
    unsigned expectType = 0;
};
Input g_device;

std::vector<const TechModeStructInfo *> g_fetchable;

[[noreturn]] void Fail(const char *what, long detail) {
    fuzzcheck::Fail("%s (%ld)", what, detail);
}

void Expect(bool ok, const char *what, long detail) {
    if (!ok) Fail(what, detail);
}

uint16_t U16(const uint8_t *p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

void CheckRequest(const devctl_xfer &x) {
    const unsigned type = g_device.expectType;
    Expect(x.dcmd == DCMD_TECHMODE_REQUEST, "request command", x.dcmd);
    Expect(x.send_len == kTechModeRequestBytes, "request length", x.send_len);
    Expect(x.recv_len == TLVTM_ReplyBufferBytes(type), "reply room", x.recv_len);
    const uint16_t head[] = {CMD_TECHMODE_GET_STRUCT_DATA_TAG, 2, CMD_TECHMODE_STRUCT_TYPE_TAG, 1,
                             static_cast<uint16_t>(type),      0};
    for (size_t i = 0; i < sizeof head / sizeof head[0]; i++)
        Expect(U16(x.data + 2 * i) == head[i], "request word", static_cast<long>(i));
    for (size_t i = 12; i < kTechModeRequestBytes; i++)
        Expect(x.data[i] == 0, "request padding", static_cast<long>(i));
}

// The children of container as the element layout defines them: each
// child's header and value must lie before end; the first one that does not
// ends the walk (nothing after it can be found).
struct Child {
    uint16_t type;
    uint16_t length;
    const uint8_t *at;
};
std::vector<Child> ChildrenOf(const uint8_t *container, const uint8_t *end) {
    std::vector<Child> out;
    if (end - container < 4) return out;
    const size_t avail = static_cast<size_t>(end - container);
    size_t limit = 4 + 4 * static_cast<size_t>(U16(container + 2));
    if (limit > avail) limit = avail;
    for (size_t off = 4; off < limit;) {
        if (avail - off < 4) break;
        const uint16_t length = U16(container + off + 2);
        const size_t bytes = 4 + 4 * static_cast<size_t>(length);
        if (bytes > avail - off) break;
        out.push_back(Child{U16(container + off), length, container + off});
        off += bytes;
    }
    return out;
}

uint8_t g_sink;  // keeps the reads of found values

// TlvGetTlv and TlvGetValuePointer against ChildrenOf, then the same for the
// first child of each type, a few levels down.
void CheckWalkers(const uint8_t *container, const uint8_t *end, int depth) {
    const std::vector<Child> children = ChildrenOf(container, end);
    std::vector<uint16_t> done;
    for (const Child &c : children) {
        if (done.size() == 16) break;  // enough: keeps one input cheap
        bool seen = false;
        for (uint16_t t : done) seen = seen || t == c.type;
        if (seen) continue;  // only the first child of a type can be found
        done.push_back(c.type);

        Expect(TlvGetTlv(container, end, c.type) == c.at, "TlvGetTlv found another child", c.type);
        const size_t sizes[] = {1, 2, 4, 4 * static_cast<size_t>(c.length),
                                4 * static_cast<size_t>(c.length) + 1};
        for (size_t size : sizes) {
            if (size == 0) continue;
            // Refused only when longer than size asks; a shorter value passes.
            const uint8_t *value = TlvGetValuePointer(container, end, c.type, size);
            const bool fits = c.length <= TlvWordsFor(size);
            Expect((value != nullptr) == fits, "TlvGetValuePointer length rule", c.type);
            if (value == nullptr) continue;
            Expect(value == c.at + 4 && TlvValueBytes(value) == 4 * size_t{c.length} &&
                       value + TlvValueBytes(value) <= end,
                   "value pointer", c.type);
            for (size_t i = 0; i < TlvValueBytes(value); i++) g_sink ^= value[i];
        }
        if (depth < 3) CheckWalkers(c.at, end, depth + 1);
    }
    // A type that no reachable child has is not found.
    for (uint16_t t = 0; t < 64; t++) {
        bool present = false;
        for (const Child &c : children) present = present || c.type == t;
        if (!present) Expect(TlvGetTlv(container, end, t) == nullptr, "TlvGetTlv invented", t);
    }
}

// The decoders the fetchers use, on the exact-size reply.
void DecodeExact(const TechModeStructInfo &info, const uint8_t *reply, size_t size) {
    std::unique_ptr<uint8_t[]> record(new uint8_t[info.recordBytes]);
    const uint8_t *end = reply + size;
    const uint8_t *structTlv = TLVTM_FindStructTlv(record.get(), reply, size, info.type);
    if (structTlv == nullptr) return;
    Expect(structTlv >= reply + 4 && structTlv + 4 <= end, "structure outside the reply", 0);
    for (uint16_t tag = 0; tag < info.fieldCount; tag++) {
        TLVTM_DecodeTlvPrimitive(record.get() + info.fields[tag].offset, structTlv, end, tag,
                                 info.fields[tag].width);
    }
    const uint8_t *block = TlvGetValuePointer(structTlv, end, info.type, info.recordBytes);
    if (block != nullptr && TlvValueBytes(block) >= info.recordBytes)
        memcpy(record.get(), block, info.recordBytes);
    for (uint16_t tag = 0; tag < 4; tag++) {
        uint8_t bytes[10];
        const uint8_t *member = TlvGetTlv(structTlv, end, tag);
        if (member != nullptr) TLVTM_DecodeByteArrayMember(bytes, member, end, sizeof bytes);
    }
}

void DropLog(void *, int, int, const char *) {}

// The pretend device's answer to one transfer.
void Answer(devctl_xfer &x) {
    CheckRequest(x);
    const size_t n = g_device.replyBytes < DEVCTL_XFER_MAX ? g_device.replyBytes : DEVCTL_XFER_MAX;
    if (n > 0) memcpy(x.data, g_device.reply, n);
    x.recv_len = g_device.claimsTooMuch ? UINT32_MAX : static_cast<uint32_t>(g_device.replyBytes);
    x.status = g_device.replyBytes == 0 ? EIO : EOK;
    x.info = 0;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzzcheck::KeepReportFd();
    slog_set_capture(DropLog, nullptr);
    testsupport::Device().answer = Answer;
    // The fetchers report every step on standard output; nobody reads it here.
    if (freopen("/dev/null", "w", stdout) == nullptr) Fail("stdout", errno);
    for (unsigned type = 0; type < kTechModeStructTypeCount; type++) {
        const TechModeStructInfo *info = TechModeStructInfoFor(type);
        if (info != nullptr && info->fetch != nullptr) g_fetchable.push_back(info);
    }
    Expect(!g_fetchable.empty(), "no fetcher in the catalogue", 0);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    const TechModeStructInfo &info = *g_fetchable[(data[0] & 0x7F) % g_fetchable.size()];
    std::unique_ptr<uint8_t[]> reply(new uint8_t[size - 1]);
    if (size > 1) memcpy(reply.get(), data + 1, size - 1);

    g_device = Input{reply.get(), size - 1, (data[0] & 0x80) != 0, info.type};
    testsupport::Device().calls = 0;
    std::unique_ptr<uint8_t[]> record(new uint8_t[info.recordBytes]);
    memset(record.get(), kRecordFill, info.recordBytes);
    const int result = info.fetch(testsupport::kFakeDeviceFd, record.get());
    Expect(testsupport::Device().calls == 1, "device calls per fetch", testsupport::Device().calls);
    Expect(result == 0 || result == -1, "fetch result", result);
    if (result == -1) {
        for (size_t i = 0; i < info.recordBytes; i++)
            Expect(record[i] == kRecordFill, "record changed by a failed fetch",
                   static_cast<long>(i));
    }

    DecodeExact(info, reply.get(), size - 1);
    CheckWalkers(reply.get(), reply.get() + (size - 1), 0);
    return 0;
}

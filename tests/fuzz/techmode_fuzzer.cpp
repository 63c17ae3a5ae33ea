// SPDX-License-Identifier: Apache-2.0
// Fuzz target: the tech-mode fetchers and the TLV lookups on arbitrary
// modem replies. Byte 0 picks the fetcher (low 7 bits, among the catalogue
// rows that have one) and whether the device claims a 4 GB reply (high bit);
// the rest is the reply the tests' pretend device (support/FakeDevice.h)
// answers with, through the real devctlv and transport (an empty one is a
// device error).
//
// Checked: one device call per fetch, which returns 0 or -1 and after -1
// leaves the exact-size heap record as it was (ASan sees writes past it).
// The decoders and lookups then run on an exact-size copy of the reply:
// nothing they return lies outside the received bytes.
#include <errno.h>
#include <stdint.h>
#include <stdio.h>

#include <vector>

#include "fuzz_check.h"
#include "slog_capture.h"
#include "support/FakeDevice.h"
#include "techmode/techmode_structs.h"
#include "techmode/techmode_transport.h"
#include "techmode/tlv_codec.h"

namespace {

std::vector<const TechModeStructInfo *> g_fetchable;

void Expect(bool ok, const char *what, long detail) {
    fuzzcheck::Check(ok, "%s (%ld)", what, detail);
}

// Every lookup in container, a few levels down: what is found lies inside
// the received bytes.
void CheckLookups(const uint8_t *container, const uint8_t *end, int depth) {
    for (uint16_t type = 0; type < 32; type++) {
        const uint8_t *child = TlvGetTlv(container, end, type);
        if (child == nullptr) continue;
        const size_t bytes = kTlvHeaderBytes + kTlvWordBytes * TlvReadHeader(child).length;
        Expect(child > container && child + bytes <= end, "child outside", type);
        for (size_t size : {size_t{1}, size_t{4}, size_t{400}}) {
            const uint8_t *value = TlvGetValuePointer(container, end, type, size);
            if (value == nullptr) continue;
            Expect(value == child + kTlvHeaderBytes && value + TlvValueBytes(value) <= end,
                   "value outside", type);
            Expect(TlvValueBytes(value) < size + kTlvWordBytes, "value longer than asked", type);
        }
        if (depth < 3) CheckLookups(child, end, depth + 1);
    }
}

// The decoders the fetchers use, on the exact-size reply.
void DecodeExact(const TechModeStructInfo &info, const uint8_t *reply, size_t size) {
    std::vector<uint8_t> record(info.recordBytes);
    const uint8_t *end = reply + size;
    const uint8_t *structTlv = TLVTM_FindStructTlv(record.data(), reply, size, info.type);
    if (structTlv == nullptr) return;
    Expect(structTlv >= reply + 4 && structTlv + 4 <= end, "structure outside the reply", 0);
    for (uint16_t tag = 0; tag < info.fieldCount; tag++)
        TLVTM_DecodeTlvPrimitive(record.data() + info.fields[tag].offset, structTlv, end, tag,
                                 info.fields[tag].width);
    for (uint16_t tag = 0; tag < 4; tag++) {
        uint8_t bytes[10];
        const uint8_t *member = TlvGetTlv(structTlv, end, tag);
        if (member != nullptr) TLVTM_DecodeByteArrayMember(bytes, member, end, sizeof bytes);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    slog_set_capture([](void *, int, int, const char *) {}, nullptr);
    // The fetchers report every step on standard output; nobody reads it here.
    Expect(freopen("/dev/null", "w", stdout) != nullptr, "stdout", errno);
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
    const std::vector<uint8_t> reply(data + 1, data + size);  // exactly the reply's bytes
    testsupport::FakeDevice &device = testsupport::Device();
    device = testsupport::FakeDevice{};
    device.reply = reply;
    device.status = reply.empty() ? EIO : EOK;
    device.claimedLen = (data[0] & 0x80) ? UINT32_MAX : static_cast<uint32_t>(reply.size());
    std::vector<uint8_t> record(info.recordBytes, 0xA5);  // a heap block of exactly its size
    const int result = info.fetch(testsupport::kFakeDeviceFd, record.data());
    Expect(device.calls == 1, "device calls per fetch", device.calls);
    Expect(result == 0 || result == -1, "fetch result", result);
    for (size_t i = 0; result == -1 && i < info.recordBytes; i++)
        Expect(record[i] == 0xA5, "record changed by a failed fetch", static_cast<long>(i));

    if (reply.empty()) return 0;  // a device error: nothing to decode
    DecodeExact(info, reply.data(), reply.size());
    CheckLookups(reply.data(), reply.data() + reply.size(), 0);
    return 0;
}

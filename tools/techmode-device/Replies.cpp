// SPDX-License-Identifier: Apache-2.0
// Structure encoders of the tech-mode devices, written from the byte layouts
// of the tech-mode protocol (little-endian throughout).
#include "Replies.h"

#include <errno.h>
#include <math.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>

#include "Structures.h"
#include "techmode/techmode_protocol.h"
#include "techmode/tlv_codec.h"

namespace sim {

namespace {

// ---------------------------------------------------------------- drift

// Signal levels swing around their scenario values by at most amplitude_db,
// each list entry with its own phase, so a watching client sees them move.
struct Levels {
    const Drift &drift;
    double elapsed_ms;

    int8_t operator()(int8_t level, int k) const {
        if (!drift.enabled || drift.amplitude_db == 0) return level;
        double phase = 2 * M_PI * elapsed_ms / drift.period_ms + 0.7 * k;
        long v = level + lround(drift.amplitude_db * sin(phase));
        return static_cast<int8_t>(std::clamp<long>(v, -128, 127));
    }
    // A level in half decibels, within lo..hi; lo is "not reported" and
    // stays so.
    int64_t HalfDb(int64_t level, int k, int64_t lo, int64_t hi) const {
        if (!drift.enabled || drift.amplitude_db == 0 || level == lo) return level;
        double phase = 2 * M_PI * elapsed_ms / drift.period_ms + 0.7 * k;
        long v = level + lround(2 * drift.amplitude_db * sin(phase));
        return std::clamp<int64_t>(v, lo + 1, hi);
    }
};

// ---------------------------------------------------------------- bytes

class Block {
  public:
    explicit Block(size_t n) : b_(n, 0) {}
    // size bytes of v, little-endian, at off.
    void put(size_t off, size_t size, uint64_t v) {
        for (size_t i = 0; i < size; i++) b_.at(off + i) = static_cast<uint8_t>(v >> (8 * i));
    }
    void bytes(size_t off, const void *p, size_t n) {
        if (off + n > b_.size()) throw std::out_of_range("block");
        memcpy(b_.data() + off, p, n);
    }
    std::vector<uint8_t> &data() { return b_; }

  private:
    std::vector<uint8_t> b_;
};

// Appends one element to out with the shared TLV packer; an empty value
// (length 0), which TlvPack cannot write, gets the header alone.
void Pack(std::vector<uint8_t> &out, uint16_t type, const void *value, size_t size) {
    size_t at = out.size();
    out.resize(at + kTlvHeaderBytes + kTlvWordBytes * TlvWordsFor(size));
    if (size == 0)
        TlvWriteHeader(out.data() + at, type, 0);
    else
        TlvPack(out.data() + at, type, size, value);
}

bool Has(const std::vector<int> &tags, int tag) {
    return std::find(tags.begin(), tags.end(), tag) != tags.end();
}

void PackPrimitive(std::vector<uint8_t> &out, uint16_t tag, size_t width, uint64_t value,
                   const Fault *fault) {
    if (fault && Has(fault->missing_tags, tag)) return;
    uint8_t v[8] = {};
    for (size_t i = 0; i < width; i++) v[i] = static_cast<uint8_t>(value >> (8 * i));
    // An over-long field is sent one word longer than its width needs.
    Pack(out, tag, v, fault && Has(fault->overlong_tags, tag) ? 8 : width);
}

std::vector<uint8_t> EncodeBlock(uint16_t type, std::vector<uint8_t> block, const Fault *fault) {
    std::vector<uint8_t> out;
    if (fault && fault->overlong_block) block.resize(block.size() + 4, 0xAB);
    if (fault && fault->truncate_block >= 0)
        block.resize(std::min<size_t>(block.size(), fault->truncate_block));
    if (!(fault && Has(fault->missing_tags, type))) Pack(out, type, block.data(), block.size());
    return out;
}

// The number a field sends: a choice as its index, a level moved by drift
// with phase k.
uint64_t Number(const Field &f, const void *section, const Levels &lv, int k) {
    if (f.kind == Kind::kZero) return 0;
    int64_t v = f.get(section);
    if (f.kind == Kind::kChoice)
        v = std::find(f.choices.begin(), f.choices.end(), v) - f.choices.begin();
    if (f.drifts && f.kind == Kind::kHalfDb)
        v = lv.HalfDb(v, k, f.lo, f.hi);
    else if (f.drifts)
        v = lv(static_cast<int8_t>(v), k);
    return static_cast<uint64_t>(v);
}

// ---------------------------------------------------------------- identity

// Digits packed two to a byte, low half-byte first, 0xF filling the rest
// (the BCD digits of a mobile identity, 3GPP TS 24.008, 10.5.1.4).
void PackDigits(const std::string &digits, uint8_t *out, size_t bytes, size_t first_nibble) {
    for (size_t n = first_nibble; n < bytes * 2; n++) {
        size_t d = n - first_nibble;
        unsigned v = d < digits.size() ? static_cast<unsigned>(digits[d] - '0') : 0xF;
        if (n % 2 == 0)
            out[n / 2] = static_cast<uint8_t>((out[n / 2] & 0xF0) | v);
        else
            out[n / 2] = static_cast<uint8_t>((out[n / 2] & 0x0F) | (v << 4));
    }
}

// The bytes of an identity member (kDigits or kHex).
std::vector<uint8_t> MemberBytes(const Field &f, const void *section) {
    const std::string &text = Text(f, section);
    std::vector<uint8_t> out(f.size, 0);
    if (f.kind == Kind::kHex) {
        for (size_t i = 0; i < out.size(); i++)
            out[i] = static_cast<uint8_t>(std::stoul(text.substr(2 * i, 2), nullptr, 16));
    } else if (f.identity_type >= 0) {
        out[1] = static_cast<uint8_t>(f.identity_type);
        PackDigits(text, out.data(), out.size(), 3);
    } else {
        PackDigits(text, out.data(), out.size(), 0);
    }
    return out;
}

// A member is a container of byte primitives, one word each; an over-long
// member carries three bytes more than its field holds.
void PackMember(std::vector<uint8_t> &out, uint16_t tag, const std::vector<uint8_t> &bytes,
                const Fault *fault) {
    if (fault && Has(fault->missing_tags, tag)) return;
    size_t n = bytes.size() + (fault && Has(fault->overlong_tags, tag) ? 3 : 0);
    std::vector<uint8_t> children;
    for (size_t i = 0; i < n; i++) {
        uint8_t b = i < bytes.size() ? bytes[i] : 0xEE;
        Pack(children, T_TLV_TECHMODE_PRIMITIVE_BYTE_TAG, &b, 1);
    }
    Pack(out, tag, children.data(), children.size());
}

// ---------------------------------------------------------------- blocks

// One field into a block at base (the block's or an entry's start).
void Put(Block &b, size_t base, const Field &f, const void *section, const Levels &lv, int k) {
    switch (f.kind) {
        case Kind::kText: {
            const std::string &s = Text(f, section);
            b.bytes(base + f.wire, s.data(), s.size());
            return;
        }
        case Kind::kIpv4:
        case Kind::kIpv6:
            b.bytes(base + f.wire, Bytes(f, section), f.size);
            return;
        case Kind::kDigits:
        case Kind::kHex:
            throw std::logic_error("identity members in a block");
        case Kind::kInt:
        case Kind::kCode:
        case Kind::kChoice:
        case Kind::kHalfDb:
        case Kind::kZero:
            b.put(base + f.wire, f.size, Number(f, section, lv, k));
            return;
    }
}

std::vector<uint8_t> BlockBytes(const Structure &st, const void *section, const Levels &lv) {
    Block b(st.block);
    for (const Field &f : st.fields) Put(b, 0, f, section, lv, 0);
    for (const List &l : st.lists) {
        const size_t n = l.size(section);
        if (l.count_at >= 0) b.put(static_cast<size_t>(l.count_at), 1, std::min<size_t>(n, 255));
        for (size_t i = 0; i < n && i < l.room; i++)
            for (const Field &f : l.entry)
                Put(b, l.first + l.stride * i, f, l.at(section, i), lv,
                    static_cast<int>(i + l.phase));
    }
    return b.data();
}

// The value of the structure element of one type.
std::vector<uint8_t> StructureValue(const Scenario &s, const Structure &st, const Fault *f,
                                    const Levels &lv) {
    const void *section = st.section != nullptr ? st.section(&s) : nullptr;
    if (st.encoding == Encoding::kBlock)
        return EncodeBlock(st.type, BlockBytes(st, section, lv), f);
    std::vector<uint8_t> out;
    for (const Field &field : st.fields) {
        if (field.kind == Kind::kDigits || field.kind == Kind::kHex)
            PackMember(out, field.wire, MemberBytes(field, section), f);
        else
            PackPrimitive(out, field.wire, field.size, Number(field, section, lv, 0), f);
    }
    return out;
}

std::vector<uint8_t> Wrap(uint16_t command, uint16_t type, const std::vector<uint8_t> &value) {
    std::vector<uint8_t> structure;
    Pack(structure, type, value.data(), value.size());
    std::vector<uint8_t> reply;
    Pack(reply, command, structure.data(), structure.size());
    return reply;
}

uint16_t Le16(const uint8_t *p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

}  // namespace

std::vector<uint8_t> EncodeStructure(const Scenario &scenario, int type) {
    const Structure *st = FindStructure(type);
    if (st == nullptr) return {};
    Drift still;
    Levels lv{still, 0};
    return Wrap(CMD_TECHMODE_GET_STRUCT_DATA_TAG, st->type,
                StructureValue(scenario, *st, nullptr, lv));
}

Reply Answer(const Scenario &s, uint32_t dcmd, const uint8_t *req, size_t len, double elapsed_ms,
             std::mt19937 &rng) {
    Reply r;
    // A command the device does not know, as any QNX resource manager
    // answers it.
    char why[96] = "";
    if (dcmd != static_cast<uint32_t>(DCMD_TECHMODE_REQUEST)) {
        snprintf(why, sizeof why, "dcmd 0x%x is not the structure request 0x%x", dcmd,
                 static_cast<unsigned>(DCMD_TECHMODE_REQUEST));
        r.status = ENOTTY;
    } else if (len < 12) {
        snprintf(why, sizeof why, "%zu bytes of request, 12 needed", len);
    } else if (Le16(req) != CMD_TECHMODE_GET_STRUCT_DATA_TAG) {
        snprintf(why, sizeof why, "element 0x%04x is not the command 0x%04x", Le16(req),
                 CMD_TECHMODE_GET_STRUCT_DATA_TAG);
    } else if (Le16(req + 4) != CMD_TECHMODE_STRUCT_TYPE_TAG || Le16(req + 6) != 1) {
        snprintf(why, sizeof why,
                 "element 0x%04x (length %u) is not the structure type 0x%04x (length 1)",
                 Le16(req + 4), Le16(req + 6), CMD_TECHMODE_STRUCT_TYPE_TAG);
    } else if (FindStructure(Le16(req + 8)) == nullptr) {
        snprintf(why, sizeof why, "structure type %u is not one of 0 to %u", Le16(req + 8),
                 kTechModeStructTypeCount - 1);
    }
    if (why[0] != '\0') {
        r.refusal = why;
        if (r.status == 0) r.status = EINVAL;
        return r;
    }
    const Structure &st = *FindStructure(Le16(req + 8));
    r.struct_type = st.type;

    const Fault *f = nullptr;
    auto it = s.faults.find(st.type);
    if (it != s.faults.end()) {
        std::uniform_real_distribution<double> coin(0.0, 1.0);
        if (it->second.probability >= 1.0 || coin(rng) < it->second.probability) f = &it->second;
    }
    if (f != nullptr) {
        r.delay_ms = f->delay_ms;
        if (f->device_error != 0) {
            r.status = f->device_error;
            return r;
        }
        if (f->has_raw) {
            r.bytes = f->raw;
            return r;
        }
    }
    Levels lv{s.drift, elapsed_ms};
    uint16_t command = f && f->wrong_command ? CMD_TECHMODE_GET_STRUCT_DATA_TAG + 1
                                             : CMD_TECHMODE_GET_STRUCT_DATA_TAG;
    uint16_t stype = f && f->wrong_struct_type >= 0 ? static_cast<uint16_t>(f->wrong_struct_type)
                                                    : static_cast<uint16_t>(st.type);
    r.bytes = Wrap(command, stype, StructureValue(s, st, f, lv));
    if (f && f->oversize_reply > 0) r.bytes.resize(r.bytes.size() + f->oversize_reply, 0xEE);
    return r;
}

}  // namespace sim

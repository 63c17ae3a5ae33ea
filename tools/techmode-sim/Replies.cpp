// SPDX-License-Identifier: Apache-2.0
// Structure encoders of the simulated modem, written from the byte layouts
// of the tech-mode protocol (little-endian throughout).
#include "Replies.h"

#include <errno.h>
#include <math.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>

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
};

// ---------------------------------------------------------------- bytes

class Block {
  public:
    explicit Block(size_t n) : b_(n, 0) {}
    void u8(size_t off, unsigned v) { b_.at(off) = static_cast<uint8_t>(v); }
    void s8(size_t off, int v) { b_.at(off) = static_cast<uint8_t>(static_cast<int8_t>(v)); }
    void u16(size_t off, unsigned v) {
        u8(off, v & 0xff);
        u8(off + 1, (v >> 8) & 0xff);
    }
    void u32(size_t off, uint32_t v) {
        u16(off, v & 0xffff);
        u16(off + 2, v >> 16);
    }
    void bytes(size_t off, const void *p, size_t n) {
        if (off + n > b_.size()) throw std::out_of_range("block");
        memcpy(b_.data() + off, p, n);
    }
    std::vector<uint8_t> &data() { return b_; }

  private:
    std::vector<uint8_t> b_;
};

// One primitive field: its tag, width and value bits.
struct Field {
    uint16_t tag;
    int width;  // 1, 2 or 4
    uint32_t value;
};

// Appends one element to out with the shared TLV packer.
void Pack(std::vector<uint8_t> &out, uint16_t type, const void *value, size_t size) {
    size_t at = out.size();
    out.resize(at + kTlvHeaderBytes + kTlvWordBytes * TlvWordsFor(size));
    TlvPack(out.data() + at, type, size, value);
}

// An element whose value is empty (length 0), which TlvPack cannot write.
void PackEmpty(std::vector<uint8_t> &out, uint16_t type) {
    size_t at = out.size();
    out.resize(at + kTlvHeaderBytes);
    TlvWriteHeader(out.data() + at, type, 0);
}

bool Has(const std::vector<int> &tags, int tag) {
    return std::find(tags.begin(), tags.end(), tag) != tags.end();
}

std::vector<uint8_t> EncodeFields(const std::vector<Field> &fields, const Fault *fault) {
    std::vector<uint8_t> out;
    for (const Field &f : fields) {
        if (fault && Has(fault->missing_tags, f.tag)) continue;
        uint8_t v[8] = {};
        memcpy(v, &f.value, static_cast<size_t>(f.width));  // little-endian host
        // An over-long field is sent one word longer than its width needs.
        size_t size = fault && Has(fault->overlong_tags, f.tag) ? 8 : static_cast<size_t>(f.width);
        Pack(out, f.tag, v, size);
    }
    return out;
}

std::vector<uint8_t> EncodeBlock(uint16_t type, std::vector<uint8_t> block, const Fault *fault) {
    std::vector<uint8_t> out;
    if (fault && fault->overlong_block) block.resize(block.size() + 4, 0xAB);
    if (fault && fault->truncate_block >= 0)
        block.resize(std::min<size_t>(block.size(), fault->truncate_block));
    if (fault && Has(fault->missing_tags, type)) return out;
    if (block.empty())
        PackEmpty(out, type);
    else
        Pack(out, type, block.data(), block.size());
    return out;
}

// ---------------------------------------------------------------- identity

// Digits packed two to a byte, low half-byte first, 0xF filling the rest.
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

void HexBytes(const std::string &hex, uint8_t *out) {
    for (size_t i = 0; i < 4; i++)
        out[i] = static_cast<uint8_t>(std::stoul(hex.substr(2 * i, 2), nullptr, 16));
}

std::vector<uint8_t> EncodeIdentity(const Identity &id, const Fault *fault) {
    uint8_t imeisv[10] = {};
    uint8_t imsi[9] = {};
    uint8_t tmsi[4], ptmsi[4];
    // IMEISV as a mobile identity: byte 0 unused here, the type of identity
    // (3, IMEISV) in the low half of byte 1, the digits from its high half.
    imeisv[1] = 0x03;
    PackDigits(id.imeisv, imeisv, 10, 3);
    PackDigits(id.imsi, imsi, 9, 0);
    HexBytes(id.tmsi, tmsi);
    HexBytes(id.ptmsi, ptmsi);

    std::vector<uint8_t> out;
    const struct {
        uint16_t tag;
        const uint8_t *bytes;
        size_t n;
    } members[] = {{T_TECHMODE_IDENTITY_DATA_IMEISV_ARRAY_MEMBER, imeisv, 10},
                   {T_TECHMODE_IDENTITY_DATA_IMSI_ARRAY_MEMBER, imsi, 9},
                   {T_TECHMODE_IDENTITY_DATA_TMSI_ARRAY_MEMBER, tmsi, 4},
                   {T_TECHMODE_IDENTITY_DATA_PTMSI_ARRAY_MEMBER, ptmsi, 4}};
    for (const auto &m : members) {
        if (fault && Has(fault->missing_tags, m.tag)) continue;
        // A member is a container of byte primitives, one word each; an
        // over-long member carries three bytes more than its field holds.
        size_t n = m.n + (fault && Has(fault->overlong_tags, m.tag) ? 3 : 0);
        std::vector<uint8_t> children;
        for (size_t i = 0; i < n; i++) {
            uint8_t b = i < m.n ? m.bytes[i] : 0xEE;
            Pack(children, T_TLV_TECHMODE_PRIMITIVE_BYTE_TAG, &b, 1);
        }
        if (children.empty())
            PackEmpty(out, m.tag);
        else
            Pack(out, m.tag, children.data(), children.size());
    }
    std::vector<Field> srnc = {{T_TECHMODE_IDENTITY_DATA_SRNC_ID, 2, id.srnc_id}};
    std::vector<uint8_t> tail = EncodeFields(srnc, fault);
    out.insert(out.end(), tail.begin(), tail.end());
    return out;
}

// ---------------------------------------------------------------- blocks

std::vector<uint8_t> Bearers3G(const Scenario &s) {
    Block b(416);
    for (size_t i = 0; i < s.bearers_3g.size() && i < 8; i++) {
        const Bearer &r = s.bearers_3g[i];
        size_t e = 52 * i;
        b.u16(e + 0, r.rab_id);
        b.u32(e + 28, r.datarate_ul);
        b.u32(e + 32, r.datarate_dl);
        b.u32(e + 36, r.maxrate_ul);
        b.u32(e + 40, r.maxrate_dl);
        b.u8(e + 44, r.traffic_class);
        b.u8(e + 45, r.domain);
        b.u16(e + 46, r.bler_residual);
        b.u8(e + 48, r.codec);
        b.u8(e + 49, r.ciphering);
    }
    return b.data();
}

// Lists of any length: the count says how many, the block holds 32.
unsigned Count(size_t n) {
    return static_cast<unsigned>(std::min<size_t>(n, 255));
}

std::vector<uint8_t> InterRat(const Scenario &s, const Levels &lv) {
    Block b(388);
    b.u8(0, Count(s.gsm_neighbours.size()));
    for (size_t i = 0; i < s.gsm_neighbours.size() && i < 32; i++) {
        const GsmCell &c = s.gsm_neighbours[i];
        size_t e = 2 + 4 * i;
        b.u16(e, c.arfcn);
        b.u8(e + 2, c.bsic);
        b.s8(e + 3, lv(c.rssi_dbm, static_cast<int>(i)));
    }
    b.u8(130, Count(s.utra_neighbours.size()));
    for (size_t i = 0; i < s.utra_neighbours.size() && i < 32; i++) {
        const UtraCell &c = s.utra_neighbours[i];
        size_t e = 132 + 8 * i;
        b.u16(e, c.uarfcn);
        b.u16(e + 2, c.psc);
        b.s8(e + 4, lv(c.rscp_dbm, static_cast<int>(i)));
        b.s8(e + 5, lv(c.ecn0_db, static_cast<int>(i)));
        b.s8(e + 6, lv(c.rssi_dbm, static_cast<int>(i)));
    }
    return b.data();
}

std::vector<uint8_t> PdpContexts(const Scenario &s) {
    Block b(854);
    for (size_t i = 0; i < s.pdp_contexts.size() && i < 7; i++) {
        const PdpContext &c = s.pdp_contexts[i];
        size_t e = 122 * i;
        // The name ends with a NUL unless it fills all 100 bytes.
        b.bytes(e + 2, c.apn.data(), c.apn.size());
        b.bytes(e + 102, c.ipv4.data(), 4);
        b.bytes(e + 106, c.ipv6.data(), 16);
    }
    return b.data();
}

std::vector<uint8_t> Neighbours3G(const Scenario &s, const Levels &lv) {
    Block b(386);
    b.u8(0, Count(s.intra_neighbours.size()));
    b.u8(1, Count(s.inter_neighbours.size()));
    for (size_t i = 0; i < s.intra_neighbours.size() && i < 32; i++) {
        const IntraCell &c = s.intra_neighbours[i];
        size_t e = 2 + 4 * i;
        b.u16(e, c.psc);
        b.s8(e + 2, lv(c.ecno_db, static_cast<int>(i)));
        b.s8(e + 3, lv(c.rscp_dbm, static_cast<int>(i)));
    }
    for (size_t i = 0; i < s.inter_neighbours.size() && i < 32; i++) {
        const InterCell &c = s.inter_neighbours[i];
        size_t e = 130 + 8 * i;
        b.u16(e, c.uarfcn);
        b.u16(e + 2, c.psc);
        b.s8(e + 4, lv(c.ecno_db, static_cast<int>(i)));
        b.s8(e + 5, lv(c.rscp_dbm, static_cast<int>(i)));
        b.s8(e + 6, lv(c.rssi_dbm, static_cast<int>(i)));
    }
    return b.data();
}

std::vector<uint8_t> IdleNeighbours2G(const Scenario &s, const Levels &lv) {
    Block b(386);
    b.u8(0, Count(s.idle_neighbours_2g.size()));
    for (size_t i = 0; i < s.idle_neighbours_2g.size() && i < 32; i++) {
        const IdleNeighbour2G &c = s.idle_neighbours_2g[i];
        size_t e = 2 + 12 * i;
        b.u8(e, c.cell_type);
        b.u16(e + 2, c.arfcn);
        b.u8(e + 4, c.bsic);
        b.s8(e + 5, lv(c.rssi_dbm, static_cast<int>(i)));
        b.s8(e + 6, c.c1);
        b.s8(e + 7, c.c2);
        b.u16(e + 8, c.cell_id);
        b.u16(e + 10, c.lac);
    }
    return b.data();
}

std::vector<uint8_t> Dedicated2G(const Scenario &s, const Levels &lv) {
    const DedicatedMeasurement2G &m = s.dedicated_measurement_2g;
    Block b(138);
    b.u8(0, Count(m.cells.size()));
    b.s8(5, lv(m.rxlev_full, 0));
    b.s8(6, lv(m.rxlev_sub, 0));
    b.u8(7, m.rxqual_full);
    b.u8(8, m.rxqual_sub);
    for (size_t i = 0; i < m.cells.size() && i < 32; i++) {
        size_t e = 10 + 4 * i;
        b.u16(e, m.cells[i].arfcn);
        b.u8(e + 2, m.cells[i].bsic);
        b.s8(e + 3, lv(m.cells[i].rxlev, static_cast<int>(i) + 1));
    }
    return b.data();
}

std::vector<uint8_t> CellSet(const std::vector<SetCell> &cells, const Levels &lv) {
    Block b(194);
    b.u8(0, Count(cells.size()));
    for (size_t i = 0; i < cells.size() && i < 32; i++) {
        size_t e = 2 + 6 * i;
        b.u16(e, cells[i].uarfcn);
        b.u16(e + 2, cells[i].psc);
        b.s8(e + 4, lv(cells[i].rscp_dbm, static_cast<int>(i)));
        b.s8(e + 5, lv(cells[i].ecio_db, static_cast<int>(i)));
    }
    return b.data();
}

uint32_t S8(int8_t v) {
    return static_cast<uint8_t>(v);
}

// The bytes of a block structure's block.
std::vector<uint8_t> BlockBytes(const Scenario &s, int type, const Levels &lv) {
    switch (type) {
        case 6:
            return Bearers3G(s);
        case 10:
            return InterRat(s, lv);
        case 11: {
            Block b(16);
            b.u8(0, s.hspa_channel.hssch_code);
            b.u32(4, s.hspa_channel.hsdpa_rate);
            b.u8(12, s.hspa_channel.edch_tti_ms == 2 ? 0 : 1);
            return b.data();
        }
        case 12: {
            Block b(3);
            b.s8(0, s.radio_access_3g.initial_tx_power_dbm);
            b.u8(1, s.radio_access_3g.rach_power_step);
            b.u8(2, s.radio_access_3g.max_preamble_retrans);
            return b.data();
        }
        case 13: {
            Block b(4);
            b.u8(1, s.sm_cc_cause.sm_cause);
            b.u8(3, s.sm_cc_cause.cc_cause);
            return b.data();
        }
        case 14:
            return PdpContexts(s);
        case 15:
            return std::vector<uint8_t>(4, 0);
        case 16:
            return Neighbours3G(s, lv);
        case 17:
            return IdleNeighbours2G(s, lv);
        case 18:
            return Dedicated2G(s, lv);
        case 19:
            return CellSet(s.active_set, lv);
        case 20:
            return CellSet(s.monitored_set, lv);
        case 21:
            return std::vector<uint8_t>(3, 0);
        case 22:
            return std::vector<uint8_t>(1, s.hspa_irat_cm);
        case 23: {
            Block b(4);
            b.u32(0, static_cast<uint32_t>(s.battery_temperature_c));
            return b.data();
        }
        case 24:
            return std::vector<uint8_t>(7, 0);
        default:
            return {};
    }
}

// The value of the structure element of one type.
std::vector<uint8_t> StructureValue(const Scenario &s, int type, const Fault *f, const Levels &lv) {
    if (IsBlockStructure(type))
        return EncodeBlock(static_cast<uint16_t>(type), BlockBytes(s, type, lv), f);
    switch (type) {
        case 0:
            return EncodeFields({{0, 1, 0}}, f);
        case 1:
            return EncodeFields({{0, 1, s.basic.gmm_cause},
                                 {1, 1, s.basic.mm_cause},
                                 {2, 1, s.basic.rr_cause},
                                 {3, 1, s.basic.rr_state},
                                 {4, 1, 0},
                                 {5, 1, 0},
                                 {6, 2, 0}},
                                f);
        case 2:
            return EncodeIdentity(s.identity, f);
        case 3: {
            const RadioStats &r = s.radio_stats;
            return EncodeFields({{0, 1, r.rrc_state},
                                 {1, 1, r.rrc_reject_cause},
                                 {2, 1, r.rrc_release_cause},
                                 {3, 1, r.rrc_conn_state},
                                 {4, 1, 0},
                                 {5, 1, 0},
                                 {6, 2, 0},
                                 {7, 2, r.t3212},
                                 {8, 2, 0},
                                 {9, 2, r.t3312},
                                 {10, 2, r.t3314}},
                                f);
        }
        case 4: {
            const ServingCell3G &c = s.serving_cell_3g;
            return EncodeFields({{0, 2, c.uarfcn},
                                 {1, 2, c.psc},
                                 {2, 4, c.cell_id},
                                 {3, 1, S8(lv(c.rscp_dbm, 0))},
                                 {4, 1, S8(lv(c.ecio_db, 0))},
                                 {5, 1, 0},
                                 {6, 1, 0},
                                 {7, 1, 0},
                                 {8, 1, 0}},
                                f);
        }
        case 5: {
            const ServingCell2G &g = s.serving_cell_2g;
            return EncodeFields({{0, 1, g.gprs_state},
                                 {1, 1, g.bsic},
                                 {2, 2, g.arfcn},
                                 {3, 2, g.cell_id},
                                 {4, 1, g.band},
                                 {5, 1, g.nco},
                                 {6, 1, g.nmo},
                                 {7, 1, g.msc_rev},
                                 {8, 1, g.sgsn_rev},
                                 {9, 1, g.edge_support},
                                 {10, 1, g.tbf_coding_scheme},
                                 {11, 1, g.tfi_ul},
                                 {12, 1, g.tfi_dl},
                                 {13, 1, g.timeslots_ul},
                                 {14, 1, g.timeslots_dl},
                                 {15, 1, S8(g.tx_power_dbm)},
                                 {16, 1, g.timing_advance}},
                                f);
        }
        case 7: {
            const Bearer &b = s.bearer_2g;
            return EncodeFields({{0, 4, b.datarate_ul},
                                 {1, 4, b.datarate_dl},
                                 {2, 4, b.maxrate_ul},
                                 {3, 4, b.maxrate_dl},
                                 {4, 1, 0},
                                 {5, 1, b.domain},
                                 {6, 2, b.bler_residual},
                                 {7, 1, b.codec},
                                 {8, 1, b.ciphering}},
                                f);
        }
        case 8: {
            const Mobility &m = s.mobility;
            return EncodeFields({{0, 1, m.active_rat},
                                 {1, 1, 0},
                                 {2, 2, m.mcc},
                                 {3, 2, m.mnc},
                                 {4, 2, m.lac},
                                 {5, 1, m.rac},
                                 {6, 1, 0},
                                 {7, 1, 0}},
                                f);
        }
        case 9: {
            const DedicatedChannelPower &d = s.dedicated_channel_power;
            return EncodeFields({{0, 1, S8(d.tx_power_dbm)},
                                 {1, 1, d.tx_power_step},
                                 {2, 1, S8(lv(d.utra_rssi_dbm, 0))}},
                                f);
        }
        default:
            return {};
    }
}

std::vector<uint8_t> Wrap(uint16_t command, uint16_t type, const std::vector<uint8_t> &value) {
    std::vector<uint8_t> structure;
    if (value.empty())
        PackEmpty(structure, type);
    else
        Pack(structure, type, value.data(), value.size());
    std::vector<uint8_t> reply;
    Pack(reply, command, structure.data(), structure.size());
    return reply;
}

uint16_t Le16(const uint8_t *p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

}  // namespace

bool IsBlockStructure(int type) {
    return type == 6 || (type >= 10 && type <= 24);
}

std::vector<int> FaultTags(int type, bool overlong) {
    std::vector<int> tags;
    if (type < 0 || type > 24 || (overlong && IsBlockStructure(type))) return tags;
    // The tags the encoders write, read back from a fault-free reply.
    Drift still;
    Levels lv{still, 0};
    std::vector<uint8_t> v = StructureValue(Scenario(), type, nullptr, lv);
    for (size_t at = 0; at + kTlvHeaderBytes <= v.size();) {
        TlvHeader h = TlvReadHeader(v.data() + at);
        tags.push_back(h.type);
        at += TlvElementBytes(h.length);
    }
    return tags;
}

std::vector<uint8_t> EncodeStructure(const Scenario &scenario, int type) {
    Drift still;
    Levels lv{still, 0};
    if (type < 0 || type > 24) return {};
    return Wrap(CMD_TECHMODE_GET_STRUCT_DATA_TAG, static_cast<uint16_t>(type),
                StructureValue(scenario, type, nullptr, lv));
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
    } else if (Le16(req + 8) > 24) {
        snprintf(why, sizeof why, "structure type %u is not one of 0 to 24", Le16(req + 8));
    }
    if (why[0] != '\0') {
        r.refusal = why;
        if (r.status == 0) r.status = EINVAL;
        return r;
    }
    int type = Le16(req + 8);
    r.struct_type = type;

    const Fault *f = nullptr;
    auto it = s.faults.find(type);
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
    uint16_t stype =
        f && f->wrong_struct_type >= 0 ? static_cast<uint16_t>(f->wrong_struct_type) : type;
    r.bytes = Wrap(command, stype, StructureValue(s, type, f, lv));
    if (f && f->oversize_reply > 0) r.bytes.resize(r.bytes.size() + f->oversize_reply, 0xEE);
    return r;
}

}  // namespace sim

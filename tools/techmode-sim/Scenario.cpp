// SPDX-License-Identifier: Apache-2.0
// Loading and checking scenario files.
#include "Scenario.h"

#include <arpa/inet.h>
#include <ctype.h>
#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <cmath>
#include <iomanip>
#include <limits>
#include <set>
#include <sstream>

#include <rapidjson/document.h>
#include <rapidjson/error/en.h>

#include "Replies.h"

namespace sim {

namespace {

using rapidjson::Value;

const char *const kStructNames[25] = {
    "struct0",
    "basic",
    "identity",
    "radio_stats",
    "serving_cell_3g",
    "serving_cell_2g",
    "bearers_3g",
    "bearer_2g",
    "mobility",
    "dedicated_channel_power",
    "inter_rat_measurements",
    "hspa_channel",
    "radio_access_3g",
    "sm_cc_cause",
    "pdp_contexts",
    "hsxpa_support",
    "neighbours_3g",
    "idle_neighbours_2g",
    "dedicated_measurement_2g",
    "active_set",
    "monitored_set",
    "last_registered_network",
    "hspa_irat_cm",
    "battery_temperature_c",
    "voice_stats",
};

// A JSON object being read: every member must be consumed, so a field the
// simulator does not know is reported instead of silently ignored, and a
// field given twice is refused (the parser keeps both, and only one would
// be used).
class Obj {
  public:
    Obj(const Value &v, std::string path) : v_(v), path_(std::move(path)) {
        if (!v.IsObject()) Fail(path_, "must be an object");
        std::set<std::string> names;
        for (auto it = v_.MemberBegin(); it != v_.MemberEnd(); ++it) {
            std::string n(it->name.GetString(), it->name.GetStringLength());
            if (!names.insert(n).second) Fail(Path(n.c_str()), "duplicate field");
        }
    }

    [[noreturn]] static void Fail(const std::string &path, const std::string &what) {
        throw ScenarioError((path.empty() ? std::string("top level") : path) + ": " + what);
    }

    std::string Path(const char *name) const { return path_.empty() ? name : path_ + "." + name; }

    bool Has(const char *name) const { return v_.HasMember(name); }

    const Value *Get(const char *name) {
        known_.push_back(name);
        auto it = v_.FindMember(name);
        if (it == v_.MemberEnd()) return nullptr;
        seen_.insert(name);
        return &it->value;
    }

    template <typename T>
    void Int(const char *name, T &out) {
        const Value *m = Get(name);
        if (m != nullptr) out = IntValue<T>(*m, Path(name));
    }

    template <typename T>
    static T IntValue(const Value &m, const std::string &path) {
        long long lo = static_cast<long long>(std::numeric_limits<T>::min());
        long long hi = static_cast<long long>(std::numeric_limits<T>::max());
        if (!m.IsInt64() || m.GetInt64() < lo || m.GetInt64() > hi) {
            std::ostringstream s;
            s << "must be an integer from " << lo << " to " << hi;
            if (m.IsInt64() || m.IsUint64()) {
                s << ", got "
                  << (m.IsInt64() ? std::to_string(m.GetInt64()) : std::to_string(m.GetUint64()));
            } else if (m.IsNumber()) {
                // The parser keeps a number with a fraction or an exponent
                // (1e3, 2.0, 2.5) as a double, whatever its value.
                double d = m.GetDouble();
                s << ", got " << std::setprecision(15) << d;
                if (d != std::trunc(d))
                    s << ", not an integer";
                else if (std::fabs(d) < 9.2e18)
                    s << " written as a fraction or with an exponent";
            }
            Fail(path, s.str());
        }
        return static_cast<T>(m.GetInt64());
    }

    std::string Str(const char *name, const std::string &dflt) {
        const Value *m = Get(name);
        if (m == nullptr) return dflt;
        if (!m->IsString()) Fail(Path(name), "must be a text");
        return std::string(m->GetString(), m->GetStringLength());
    }

    bool Bool(const char *name, bool dflt) {
        const Value *m = Get(name);
        if (m == nullptr) return dflt;
        if (!m->IsBool()) Fail(Path(name), "must be true or false");
        return m->GetBool();
    }

    // Each element of an array member, as an object, with its path.
    template <typename F>
    void Each(const char *name, size_t max, F f) {
        const Value *m = Get(name);
        if (m == nullptr) return;
        if (!m->IsArray()) Fail(Path(name), "must be an array");
        if (m->Size() > max) Fail(Path(name), "holds at most " + std::to_string(max) + " entries");
        for (rapidjson::SizeType i = 0; i < m->Size(); i++)
            f((*m)[i], Path(name) + "[" + std::to_string(i) + "]");
    }

    void Done() const {
        for (auto it = v_.MemberBegin(); it != v_.MemberEnd(); ++it) {
            std::string n(it->name.GetString(), it->name.GetStringLength());
            if (seen_.count(n) > 0) continue;
            std::string all;
            for (const char *k : known_) all += (all.empty() ? "" : ", ") + std::string(k);
            Fail(Path(n.c_str()), "unknown field; known: " + all);
        }
    }

  private:
    const Value &v_;
    std::string path_;
    std::set<std::string> seen_;
    std::vector<const char *> known_;  // names asked for, in order
};

std::string Digits(Obj &o, const char *name, const std::string &dflt, size_t max) {
    std::string s = o.Str(name, dflt);
    if (s.empty() || s.size() > max)
        Obj::Fail(o.Path(name), "must hold 1 to " + std::to_string(max) + " digits");
    for (char c : s)
        if (!isdigit(static_cast<unsigned char>(c)))
            Obj::Fail(o.Path(name), "must hold decimal digits only");
    return s;
}

std::string Hex8(Obj &o, const char *name, const std::string &dflt) {
    std::string s = o.Str(name, dflt);
    if (s.size() != 8) Obj::Fail(o.Path(name), "must hold exactly 8 hexadecimal digits");
    for (char c : s)
        if (!isxdigit(static_cast<unsigned char>(c)))
            Obj::Fail(o.Path(name), "must hold hexadecimal digits only");
    return s;
}

// A code given as one of its texts or as a number.
uint8_t Code(Obj &o, const char *name, uint8_t dflt, std::initializer_list<const char *> texts) {
    const Value *m = o.Get(name);
    if (m == nullptr) return dflt;
    if (m->IsString()) {
        uint8_t i = 0;
        std::string all;
        for (const char *t : texts) {
            if (m->GetString() == std::string(t)) return i;
            all += (all.empty() ? "" : ", ") + std::string(t);
            i++;
        }
        Obj::Fail(o.Path(name), std::string("must be one of ") + all + " or a number 0 to 255");
    }
    return Obj::IntValue<uint8_t>(*m, o.Path(name));
}

void ReadIdentity(const Value &v, const std::string &path, Identity &id) {
    Obj o(v, path);
    id.imeisv = Digits(o, "imeisv", id.imeisv, 17);
    id.imsi = Digits(o, "imsi", id.imsi, 18);
    id.tmsi = Hex8(o, "tmsi", id.tmsi);
    id.ptmsi = Hex8(o, "ptmsi", id.ptmsi);
    o.Int("srnc_id", id.srnc_id);
    o.Done();
}

void ReadBearer(const Value &v, const std::string &path, Bearer &b, bool with_rab_id) {
    Obj o(v, path);
    if (with_rab_id) o.Int("rab_id", b.rab_id);
    o.Int("datarate_ul", b.datarate_ul);
    o.Int("datarate_dl", b.datarate_dl);
    o.Int("maxrate_ul", b.maxrate_ul);
    o.Int("maxrate_dl", b.maxrate_dl);
    if (with_rab_id) o.Int("traffic_class", b.traffic_class);
    b.domain = Code(o, "domain", b.domain, {"CS", "PS", "INVALID"});
    o.Int("bler_residual", b.bler_residual);
    o.Int("codec", b.codec);
    o.Int("ciphering", b.ciphering);
    o.Done();
}

std::vector<uint8_t> HexBytes(const std::string &s, const std::string &path) {
    std::vector<uint8_t> out;
    std::string digits;
    for (char c : s) {
        if (isspace(static_cast<unsigned char>(c))) continue;
        if (!isxdigit(static_cast<unsigned char>(c)))
            Obj::Fail(path, "must hold hexadecimal bytes");
        digits += c;
    }
    if (digits.size() % 2 != 0)
        Obj::Fail(path, "must hold whole bytes (an even number of hex digits)");
    for (size_t i = 0; i < digits.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoi(digits.substr(i, 2), nullptr, 16)));
    return out;
}

// The tags of missing_tags or overlong_tags for structure type: only those
// the structure's reply holds, so that no fault silently does nothing.
std::vector<int> Tags(Obj &o, const char *name, int type, bool overlong) {
    std::vector<int> tags;
    const Value *m = o.Get(name);
    if (m == nullptr) return tags;
    if (!m->IsArray()) Obj::Fail(o.Path(name), "must be an array of tags");
    const std::vector<int> valid = FaultTags(type, overlong);
    for (rapidjson::SizeType i = 0; i < m->Size(); i++) {
        std::string path = o.Path(name) + "[" + std::to_string(i) + "]";
        int tag = Obj::IntValue<uint16_t>((*m)[i], path);
        if (std::find(valid.begin(), valid.end(), tag) == valid.end()) {
            std::string sname = StructureName(type);
            if (valid.empty())
                Obj::Fail(path, sname + " is a block, whose fields have no tags (overlong_block " +
                                    "lengthens the block)");
            std::string all;
            for (int t : valid) all += (all.empty() ? "" : ", ") + std::to_string(t);
            Obj::Fail(path,
                      sname + " has no tag " + std::to_string(tag) + " (its tags: " + all + ")");
        }
        tags.push_back(tag);
    }
    return tags;
}

void ReadFault(const Value &v, const std::string &path, int type, Fault &f) {
    Obj o(v, path);
    // The status goes back as the errno of devctl(); Linux errno values stay
    // below 4096 (the kernel's MAX_ERRNO).
    o.Int("device_error", f.device_error);
    if (o.Has("device_error") && (f.device_error < 1 || f.device_error > 4095))
        Obj::Fail(o.Path("device_error"), "must be an errno value from 1 to 4095");
    f.wrong_command = o.Bool("wrong_command", false);
    const Value *t = o.Get("wrong_struct_type");
    if (t != nullptr)
        f.wrong_struct_type = Obj::IntValue<uint16_t>(*t, o.Path("wrong_struct_type"));
    f.missing_tags = Tags(o, "missing_tags", type, false);
    f.overlong_tags = Tags(o, "overlong_tags", type, true);
    f.overlong_block = o.Bool("overlong_block", false);
    const Value *tr = o.Get("truncate_block");
    if (tr != nullptr) f.truncate_block = Obj::IntValue<uint16_t>(*tr, o.Path("truncate_block"));
    // Only a block structure has a block to spoil.
    for (const char *name : {"overlong_block", "truncate_block"})
        if (o.Has(name) && !IsBlockStructure(type))
            Obj::Fail(o.Path(name), "applies to block structures only; this one is sent as fields");
    o.Int("oversize_reply", f.oversize_reply);
    if (f.oversize_reply < 0 || f.oversize_reply > 2048)
        Obj::Fail(o.Path("oversize_reply"), "must be 0 to 2048 bytes");
    o.Int("delay_ms", f.delay_ms);
    if (f.delay_ms < 0 || f.delay_ms > 600000) Obj::Fail(o.Path("delay_ms"), "must be 0 to 600000");
    const Value *raw = o.Get("raw");
    if (raw != nullptr) {
        if (!raw->IsString()) Obj::Fail(o.Path("raw"), "must be a text of hexadecimal bytes");
        f.raw = HexBytes(raw->GetString(), o.Path("raw"));
        f.has_raw = true;
        if (f.raw.size() > 4096) Obj::Fail(o.Path("raw"), "holds at most 4096 bytes");
    }
    const Value *p = o.Get("probability");
    if (p != nullptr) {
        if (!p->IsNumber() || p->GetDouble() < 0 || p->GetDouble() > 1)
            Obj::Fail(o.Path("probability"), "must be a number from 0 to 1");
        f.probability = p->GetDouble();
    }
    o.Done();
}

void ReadScenario(const Value &root, Scenario &s) {
    Obj o(root, "");
    // A drive's keyframes and events (Timeline.cpp), which checks them.
    o.Get("timeline");
    if (const Value *v = o.Get("identity")) ReadIdentity(*v, "identity", s.identity);
    if (const Value *v = o.Get("basic")) {
        Obj b(*v, "basic");
        b.Int("gmm_cause", s.basic.gmm_cause);
        b.Int("mm_cause", s.basic.mm_cause);
        b.Int("rr_cause", s.basic.rr_cause);
        b.Int("rr_state", s.basic.rr_state);
        b.Done();
    }
    if (const Value *v = o.Get("radio_stats")) {
        Obj r(*v, "radio_stats");
        r.Int("rrc_state", s.radio_stats.rrc_state);
        r.Int("rrc_reject_cause", s.radio_stats.rrc_reject_cause);
        r.Int("rrc_release_cause", s.radio_stats.rrc_release_cause);
        r.Int("rrc_conn_state", s.radio_stats.rrc_conn_state);
        r.Int("t3212", s.radio_stats.t3212);
        r.Int("t3312", s.radio_stats.t3312);
        r.Int("t3314", s.radio_stats.t3314);
        r.Done();
    }
    if (const Value *v = o.Get("serving_cell_3g")) {
        Obj c(*v, "serving_cell_3g");
        c.Int("uarfcn", s.serving_cell_3g.uarfcn);
        c.Int("psc", s.serving_cell_3g.psc);
        c.Int("cell_id", s.serving_cell_3g.cell_id);
        c.Int("rscp_dbm", s.serving_cell_3g.rscp_dbm);
        c.Int("ecio_db", s.serving_cell_3g.ecio_db);
        c.Done();
    }
    if (const Value *v = o.Get("serving_cell_2g")) {
        ServingCell2G &g = s.serving_cell_2g;
        Obj c(*v, "serving_cell_2g");
        g.gprs_state =
            Code(c, "gprs_state", g.gprs_state,
                 {"DEREG", "NO_NORMAL_CELL", "REG_INIT", "REGISTERED", "RAU_INIT", "DEREG_INIT"});
        c.Int("bsic", g.bsic);
        c.Int("arfcn", g.arfcn);
        c.Int("cell_id", g.cell_id);
        g.band = Code(c, "band", g.band, {"DCS_1800", "PCS_1900"});
        g.nco = Code(c, "nco", g.nco, {"NC0", "NC1", "NC2", "unknown"});
        g.nmo = Code(c, "nmo", g.nmo, {"Mode I", "Mode II", "Mode III", "unknown"});
        c.Int("msc_rev", g.msc_rev);
        c.Int("sgsn_rev", g.sgsn_rev);
        g.edge_support = Code(c, "edge_support", g.edge_support, {"GPRS", "EGPRS", "EGPRS RACH"});
        c.Int("tbf_coding_scheme", g.tbf_coding_scheme);
        c.Int("tfi_ul", g.tfi_ul);
        c.Int("tfi_dl", g.tfi_dl);
        c.Int("timeslots_ul", g.timeslots_ul);
        c.Int("timeslots_dl", g.timeslots_dl);
        c.Int("tx_power_dbm", g.tx_power_dbm);
        c.Int("timing_advance", g.timing_advance);
        c.Done();
    }
    o.Each("bearers_3g", 8, [&](const Value &e, const std::string &p) {
        Bearer b;
        ReadBearer(e, p, b, true);
        s.bearers_3g.push_back(b);
    });
    if (const Value *v = o.Get("bearer_2g")) ReadBearer(*v, "bearer_2g", s.bearer_2g, false);
    if (const Value *v = o.Get("mobility")) {
        Obj m(*v, "mobility");
        s.mobility.active_rat =
            Code(m, "active_rat", s.mobility.active_rat, {"GSM", "WCDMA", "GAN", "unknown"});
        m.Int("mcc", s.mobility.mcc);
        m.Int("mnc", s.mobility.mnc);
        m.Int("lac", s.mobility.lac);
        m.Int("rac", s.mobility.rac);
        m.Done();
    }
    if (const Value *v = o.Get("dedicated_channel_power")) {
        Obj d(*v, "dedicated_channel_power");
        d.Int("tx_power_dbm", s.dedicated_channel_power.tx_power_dbm);
        d.Int("tx_power_step", s.dedicated_channel_power.tx_power_step);
        d.Int("utra_rssi_dbm", s.dedicated_channel_power.utra_rssi_dbm);
        d.Done();
    }
    if (const Value *v = o.Get("inter_rat_measurements")) {
        Obj m(*v, "inter_rat_measurements");
        // Any length: the count field says how many, the block holds 32.
        m.Each("gsm_cells", 255, [&](const Value &e, const std::string &p) {
            Obj c(e, p);
            GsmCell g;
            c.Int("arfcn", g.arfcn);
            c.Int("bsic", g.bsic);
            c.Int("rssi_dbm", g.rssi_dbm);
            c.Done();
            s.gsm_neighbours.push_back(g);
        });
        m.Each("utra_cells", 255, [&](const Value &e, const std::string &p) {
            Obj c(e, p);
            UtraCell u;
            c.Int("uarfcn", u.uarfcn);
            c.Int("psc", u.psc);
            c.Int("rscp_dbm", u.rscp_dbm);
            c.Int("ecn0_db", u.ecn0_db);
            c.Int("rssi_dbm", u.rssi_dbm);
            c.Done();
            s.utra_neighbours.push_back(u);
        });
        m.Done();
    }
    if (const Value *v = o.Get("hspa_channel")) {
        Obj h(*v, "hspa_channel");
        h.Int("hssch_code", s.hspa_channel.hssch_code);
        h.Int("hsdpa_rate", s.hspa_channel.hsdpa_rate);
        h.Int("edch_tti_ms", s.hspa_channel.edch_tti_ms);
        if (s.hspa_channel.edch_tti_ms != 2 && s.hspa_channel.edch_tti_ms != 10)
            Obj::Fail(h.Path("edch_tti_ms"), "must be 2 or 10");
        h.Done();
    }
    s.hspa_irat_cm = Code(o, "hspa_irat_cm", s.hspa_irat_cm, {"OFF", "ON"});
    if (const Value *v = o.Get("radio_access_3g")) {
        Obj r(*v, "radio_access_3g");
        r.Int("initial_tx_power_dbm", s.radio_access_3g.initial_tx_power_dbm);
        r.Int("rach_power_step", s.radio_access_3g.rach_power_step);
        r.Int("max_preamble_retrans", s.radio_access_3g.max_preamble_retrans);
        r.Done();
    }
    if (const Value *v = o.Get("sm_cc_cause")) {
        Obj c(*v, "sm_cc_cause");
        c.Int("sm_cause", s.sm_cc_cause.sm_cause);
        c.Int("cc_cause", s.sm_cc_cause.cc_cause);
        c.Done();
    }
    o.Each("pdp_contexts", 7, [&](const Value &e, const std::string &p) {
        Obj c(e, p);
        PdpContext ctx;
        ctx.apn = c.Str("apn", "");
        if (ctx.apn.size() > 100) Obj::Fail(c.Path("apn"), "holds at most 100 bytes");
        std::string v4 = c.Str("ipv4", "0.0.0.0");
        if (inet_pton(AF_INET, v4.c_str(), ctx.ipv4.data()) != 1)
            Obj::Fail(c.Path("ipv4"), "must be an IPv4 address a.b.c.d");
        std::string v6 = c.Str("ipv6", "::");
        if (inet_pton(AF_INET6, v6.c_str(), ctx.ipv6.data()) != 1)
            Obj::Fail(c.Path("ipv6"), "must be an IPv6 address");
        c.Done();
        s.pdp_contexts.push_back(ctx);
    });
    if (const Value *v = o.Get("neighbours_3g")) {
        Obj n(*v, "neighbours_3g");
        n.Each("intra", 255, [&](const Value &e, const std::string &p) {
            Obj c(e, p);
            IntraCell i;
            c.Int("psc", i.psc);
            c.Int("ecno_db", i.ecno_db);
            c.Int("rscp_dbm", i.rscp_dbm);
            c.Done();
            s.intra_neighbours.push_back(i);
        });
        n.Each("inter", 255, [&](const Value &e, const std::string &p) {
            Obj c(e, p);
            InterCell i;
            c.Int("uarfcn", i.uarfcn);
            c.Int("psc", i.psc);
            c.Int("ecno_db", i.ecno_db);
            c.Int("rscp_dbm", i.rscp_dbm);
            c.Int("rssi_dbm", i.rssi_dbm);
            c.Done();
            s.inter_neighbours.push_back(i);
        });
        n.Done();
    }
    o.Each("idle_neighbours_2g", 255, [&](const Value &e, const std::string &p) {
        Obj c(e, p);
        IdleNeighbour2G n;
        n.cell_type = Code(c, "cell_type", n.cell_type, {"2G", "GPRS"});
        c.Int("arfcn", n.arfcn);
        c.Int("bsic", n.bsic);
        c.Int("rssi_dbm", n.rssi_dbm);
        c.Int("c1", n.c1);
        c.Int("c2", n.c2);
        c.Int("cell_id", n.cell_id);
        c.Int("lac", n.lac);
        c.Done();
        s.idle_neighbours_2g.push_back(n);
    });
    if (const Value *v = o.Get("dedicated_measurement_2g")) {
        Obj d(*v, "dedicated_measurement_2g");
        DedicatedMeasurement2G &m = s.dedicated_measurement_2g;
        d.Int("rxlev_full", m.rxlev_full);
        d.Int("rxlev_sub", m.rxlev_sub);
        d.Int("rxqual_full", m.rxqual_full);
        d.Int("rxqual_sub", m.rxqual_sub);
        d.Each("cells", 255, [&](const Value &e, const std::string &p) {
            Obj c(e, p);
            DedicatedCell2G cell;
            c.Int("arfcn", cell.arfcn);
            c.Int("bsic", cell.bsic);
            c.Int("rxlev", cell.rxlev);
            c.Done();
            m.cells.push_back(cell);
        });
        d.Done();
    }
    auto read_set = [&](const char *name, std::vector<SetCell> &out) {
        o.Each(name, 255, [&](const Value &e, const std::string &p) {
            Obj c(e, p);
            SetCell cell;
            c.Int("uarfcn", cell.uarfcn);
            c.Int("psc", cell.psc);
            c.Int("rscp_dbm", cell.rscp_dbm);
            c.Int("ecio_db", cell.ecio_db);
            c.Done();
            out.push_back(cell);
        });
    };
    read_set("active_set", s.active_set);
    read_set("monitored_set", s.monitored_set);
    o.Int("battery_temperature_c", s.battery_temperature_c);
    if (const Value *v = o.Get("drift")) {
        Obj d(*v, "drift");
        s.drift.enabled = d.Bool("enabled", true);
        d.Int("period_ms", s.drift.period_ms);
        if (s.drift.period_ms < 100) Obj::Fail(d.Path("period_ms"), "must be at least 100");
        d.Int("amplitude_db", s.drift.amplitude_db);
        if (s.drift.amplitude_db < 0 || s.drift.amplitude_db > 60)
            Obj::Fail(d.Path("amplitude_db"), "must be 0 to 60");
        d.Done();
    }
    if (const Value *v = o.Get("faults")) {
        Obj f(*v, "faults");
        for (int type = 0; type <= 24; type++) {
            if (const Value *fv = f.Get(kStructNames[type]))
                ReadFault(*fv, f.Path(kStructNames[type]), type, s.faults[type]);
        }
        f.Done();
    }
    o.Done();
}

// How deep a scenario may nest objects and arrays: far more than any
// scenario needs, as libpps allows for JSON values.
const unsigned kMaxNesting = 256;

// Builds the document from the reader's events and stops the parse where
// the text nests deeper than kMaxNesting. With the iterative reader (its
// own stack, on the heap) and this limit, no text can exhaust the thread's
// stack, which the recursive reader does at some 100,000 levels.
class NestingLimit : public rapidjson::BaseReaderHandler<rapidjson::UTF8<>, NestingLimit> {
  public:
    explicit NestingLimit(rapidjson::Document &doc) : doc_(doc) {}

    bool Null() { return doc_.Null(); }
    bool Bool(bool b) { return doc_.Bool(b); }
    bool Int(int i) { return doc_.Int(i); }
    bool Uint(unsigned u) { return doc_.Uint(u); }
    bool Int64(int64_t i) { return doc_.Int64(i); }
    bool Uint64(uint64_t u) { return doc_.Uint64(u); }
    bool Double(double d) { return doc_.Double(d); }
    bool RawNumber(const char *s, rapidjson::SizeType n, bool copy) {
        return doc_.RawNumber(s, n, copy);
    }
    bool String(const char *s, rapidjson::SizeType n, bool copy) { return doc_.String(s, n, copy); }
    bool Key(const char *s, rapidjson::SizeType n, bool copy) { return doc_.Key(s, n, copy); }
    bool StartObject() { return Enter() && doc_.StartObject(); }
    bool EndObject(rapidjson::SizeType n) {
        depth_--;
        return doc_.EndObject(n);
    }
    bool StartArray() { return Enter() && doc_.StartArray(); }
    bool EndArray(rapidjson::SizeType n) {
        depth_--;
        return doc_.EndArray(n);
    }

    bool too_deep() const { return too_deep_; }

  private:
    bool Enter() {
        too_deep_ = ++depth_ > kMaxNesting;
        return !too_deep_;
    }

    rapidjson::Document &doc_;
    unsigned depth_ = 0;
    bool too_deep_ = false;
};

// "line L column C" of a byte offset into text.
std::string Where(const std::string &text, size_t off) {
    int line = 1, col = 1;
    for (size_t i = 0; i < off && i < text.size(); i++) {
        if (text[i] == '\n') {
            line++;
            col = 1;
        } else {
            col++;
        }
    }
    return "line " + std::to_string(line) + " column " + std::to_string(col);
}

}  // namespace

const char *StructureName(int type) {
    return type >= 0 && type <= 24 ? kStructNames[type] : "";
}

Scenario ParseScenario(const std::string &json, const std::string &origin) {
    // The parser would take a NUL for the end of the text and ignore the
    // rest; a NUL also shows a write that left a hole.
    size_t nul = json.find('\0');
    if (nul != std::string::npos)
        throw ScenarioError(origin + ": the text holds a NUL byte (at byte " + std::to_string(nul) +
                            "); a scenario is JSON text");
    rapidjson::Document doc;
    NestingLimit limit(doc);
    rapidjson::ParseResult result;
    auto parse = [&](rapidjson::Document &) {
        rapidjson::StringStream in(json.c_str());  // no NUL inside: checked above
        rapidjson::Reader reader;
        result = reader.Parse<rapidjson::kParseIterativeFlag>(in, limit);
        return !result.IsError();
    };
    doc.Populate(parse);
    if (limit.too_deep())
        throw ScenarioError(origin + ": " + Where(json, result.Offset()) + ": nested more than " +
                            std::to_string(kMaxNesting) + " levels deep");
    if (result.IsError())
        throw ScenarioError(origin + ": " + Where(json, result.Offset()) + ": " +
                            rapidjson::GetParseError_En(result.Code()));
    Scenario s;
    try {
        ReadScenario(doc, s);
    } catch (const ScenarioError &e) {
        throw ScenarioError(origin + ": " + e.what());
    }
    return s;
}

std::string ReadScenarioFile(const std::string &path) {
    FILE *f = fopen(path.c_str(), "rb");
    if (f == nullptr) throw ScenarioError(path + ": " + strerror(errno));
    std::string text;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
    int err = ferror(f) ? errno : 0;  // a directory opens, and fails to read
    fclose(f);
    if (err != 0) throw ScenarioError(path + ": " + strerror(err));
    return text;
}

Scenario LoadScenarioFile(const std::string &path) {
    return ParseScenario(ReadScenarioFile(path), path);
}

}  // namespace sim

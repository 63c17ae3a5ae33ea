// SPDX-License-Identifier: Apache-2.0
// Loading and checking scenario files, and writing a scenario out, from the
// structure table (Structures.h).
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
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "Structures.h"

namespace sim {

namespace {

using rapidjson::Value;

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
        return static_cast<T>(
            IntIn(m, path, std::numeric_limits<T>::min(), std::numeric_limits<T>::max()));
    }

    static int64_t IntIn(const Value &m, const std::string &path, int64_t lo, int64_t hi) {
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
        return m.GetInt64();
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

std::string JsonText(const Value &m, const std::string &path) {
    if (!m.IsString()) Obj::Fail(path, "must be a text");
    return std::string(m.GetString(), m.GetStringLength());
}

// A code given as one of its texts (its index) or as a number.
uint8_t ReadCode(const Value &m, const std::string &path, Span<const char *> texts) {
    if (!m.IsString()) return Obj::IntValue<uint8_t>(m, path);
    std::string all;
    for (size_t i = 0; i < texts.size(); i++) {
        if (m.GetString() == std::string(texts[i])) return static_cast<uint8_t>(i);
        all += (all.empty() ? "" : ", ") + std::string(texts[i]);
    }
    Obj::Fail(path, "must be one of " + all + " or a number 0 to 255");
}

int64_t ReadChoice(const Value &m, const std::string &path, const Field &f) {
    const Span<uint8_t> choices = f.choices;
    int64_t v = Obj::IntIn(m, path, f.lo, f.hi);
    std::string all;
    for (size_t i = 0; i < choices.size(); i++) {
        if (v == choices[i]) return v;
        all += (i == 0 ? "" : i + 1 == choices.size() ? " or " : ", ") + std::to_string(choices[i]);
    }
    Obj::Fail(path, "must be " + all);
}

std::string ReadDigits(const Value &m, const std::string &path, size_t max) {
    std::string s = JsonText(m, path);
    if (s.empty() || s.size() > max)
        Obj::Fail(path, "must hold 1 to " + std::to_string(max) + " digits");
    for (char c : s)
        if (!isdigit(static_cast<unsigned char>(c)))
            Obj::Fail(path, "must hold decimal digits only");
    return s;
}

std::string ReadHex(const Value &m, const std::string &path, size_t digits) {
    std::string s = JsonText(m, path);
    if (s.size() != digits)
        Obj::Fail(path, "must hold exactly " + std::to_string(digits) + " hexadecimal digits");
    for (char c : s)
        if (!isxdigit(static_cast<unsigned char>(c)))
            Obj::Fail(path, "must hold hexadecimal digits only");
    return s;
}

// A level in dBm or dB, any number, rounded to the nearest half decibel
// and kept as a count of half decibels; null is "not reported". The least
// count of the member is that value, so it is not a level.
int64_t ReadHalfDb(const Value &m, const std::string &path, const Field &f) {
    if (m.IsNull()) return f.lo;
    const double lo = (f.lo + 1) / 2.0, hi = f.hi / 2.0;
    if (!m.IsNumber() || !std::isfinite(m.GetDouble()) || m.GetDouble() < lo ||
        m.GetDouble() > hi) {
        std::ostringstream s;
        s << "must be a level from " << lo << " to " << hi << " (in steps of 0.5) or null";
        Obj::Fail(path, s.str());
    }
    return std::lround(m.GetDouble() * 2);
}

// One field of a structure, into its member in section; a field the
// scenario does not give keeps the member's default.
void ReadField(Obj &o, const Field &f, void *section) {
    const Value *m = f.kind == Kind::kZero ? nullptr : o.Get(f.name);
    if (m == nullptr) return;
    const std::string path = o.Path(f.name);
    switch (f.kind) {
        case Kind::kInt:
            f.set(section, Obj::IntIn(*m, path, f.lo, f.hi));
            return;
        case Kind::kHalfDb:
            f.set(section, ReadHalfDb(*m, path, f));
            return;
        case Kind::kCode:
            f.set(section, ReadCode(*m, path, f.texts));
            return;
        case Kind::kChoice:
            f.set(section, ReadChoice(*m, path, f));
            return;
        case Kind::kDigits:
            // Digits from half-byte 3 after a type of identity, else from 0.
            Text(f, section) = ReadDigits(*m, path, 2u * f.size - (f.identity_type >= 0 ? 3 : 0));
            return;
        case Kind::kHex:
            Text(f, section) = ReadHex(*m, path, 2u * f.size);
            return;
        case Kind::kText: {
            std::string s = JsonText(*m, path);
            if (s.size() > f.size)
                Obj::Fail(path, "holds at most " + std::to_string(f.size) + " bytes");
            Text(f, section) = s;
            return;
        }
        case Kind::kIpv4:
            if (inet_pton(AF_INET, JsonText(*m, path).c_str(), Bytes(f, section)) != 1)
                Obj::Fail(path, "must be an IPv4 address a.b.c.d");
            return;
        case Kind::kIpv6:
            if (inet_pton(AF_INET6, JsonText(*m, path).c_str(), Bytes(f, section)) != 1)
                Obj::Fail(path, "must be an IPv6 address");
            return;
        case Kind::kZero:
            return;
    }
}

void ReadObject(const Value &v, const std::string &path, Span<Field> fields, Span<List> lists,
                void *section);

// The entries of a list, each an object of its fields.
void ReadList(Obj &o, const List &l, void *section) {
    o.Each(l.name, l.max, [&](const Value &e, const std::string &path) {
        l.append(section);
        ReadObject(e, path, l.entry, {}, l.at(section, l.size(section) - 1));
    });
}

void ReadObject(const Value &v, const std::string &path, Span<Field> fields, Span<List> lists,
                void *section) {
    Obj o(v, path);
    for (const Field &f : fields) ReadField(o, f, section);
    for (const List &l : lists) ReadList(o, l, section);
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
std::vector<int> Tags(Obj &o, const char *name, const Structure &st, bool overlong) {
    std::vector<int> tags;
    const Value *m = o.Get(name);
    if (m == nullptr) return tags;
    if (!m->IsArray()) Obj::Fail(o.Path(name), "must be an array of tags");
    const std::vector<int> valid = FaultTags(st, overlong);
    for (rapidjson::SizeType i = 0; i < m->Size(); i++) {
        std::string path = o.Path(name) + "[" + std::to_string(i) + "]";
        int tag = Obj::IntValue<uint16_t>((*m)[i], path);
        if (std::find(valid.begin(), valid.end(), tag) == valid.end()) {
            std::string sname = st.name;
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

void ReadFault(const Value &v, const std::string &path, const Structure &st, Fault &f) {
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
    f.missing_tags = Tags(o, "missing_tags", st, false);
    f.overlong_tags = Tags(o, "overlong_tags", st, true);
    f.overlong_block = o.Bool("overlong_block", false);
    const Value *tr = o.Get("truncate_block");
    if (tr != nullptr) f.truncate_block = Obj::IntValue<uint16_t>(*tr, o.Path("truncate_block"));
    // Only a block structure has a block to spoil.
    for (const char *name : {"overlong_block", "truncate_block"})
        if (o.Has(name) && st.encoding != Encoding::kBlock)
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
    for (const Structure &st : kStructures) {
        void *section = st.section != nullptr ? st.section(&s) : nullptr;
        switch (st.shape) {
            case Shape::kNone:
                break;
            case Shape::kObject:
                if (const Value *v = o.Get(st.name))
                    ReadObject(*v, st.name, st.fields, st.lists, section);
                break;
            case Shape::kList:
                ReadList(o, st.lists[0], section);
                break;
            case Shape::kValue:
                ReadField(o, st.fields[0], section);
                break;
        }
    }
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
        for (const Structure &st : kStructures)
            if (const Value *fv = f.Get(st.name))
                ReadFault(*fv, f.Path(st.name), st, s.faults[st.type]);
        f.Done();
    }
    o.Done();
}

// ------------------------------------------------------------ writing

using Alloc = rapidjson::Document::AllocatorType;

// A field's value as the loader reads it back: a code as its text.
Value FieldValue(const Field &f, const void *section, Alloc &a) {
    switch (f.kind) {
        case Kind::kInt:
        case Kind::kChoice:
            return Value(static_cast<int64_t>(f.get(section)));
        case Kind::kHalfDb: {
            const int64_t v = f.get(section);
            if (v == f.lo) return Value();  // not reported
            return v % 2 == 0 ? Value(v / 2) : Value(v / 2.0);
        }
        case Kind::kCode: {
            const int64_t c = f.get(section);
            return c < static_cast<int64_t>(f.texts.size())
                       ? Value(rapidjson::StringRef(f.texts[c]))
                       : Value(c);
        }
        case Kind::kDigits:
        case Kind::kHex:
        case Kind::kText:
            return Value(Text(f, section).data(),
                         static_cast<rapidjson::SizeType>(Text(f, section).size()), a);
        case Kind::kIpv4:
        case Kind::kIpv6: {
            char text[INET6_ADDRSTRLEN] = "";
            inet_ntop(f.kind == Kind::kIpv4 ? AF_INET : AF_INET6, Bytes(f, section), text,
                      sizeof text);
            return Value(text, a);
        }
        case Kind::kZero:
            break;
    }
    return Value();
}

Value Entries(const List &l, const void *section, Alloc &a);

Value Object(Span<Field> fields, Span<List> lists, const void *section, Alloc &a) {
    Value out(rapidjson::kObjectType);
    for (const Field &f : fields)
        if (f.kind != Kind::kZero)
            out.AddMember(rapidjson::StringRef(f.name), FieldValue(f, section, a), a);
    for (const List &l : lists)
        out.AddMember(rapidjson::StringRef(l.name), Entries(l, section, a), a);
    return out;
}

Value Entries(const List &l, const void *section, Alloc &a) {
    Value out(rapidjson::kArrayType);
    for (size_t i = 0; i < l.size(section); i++)
        out.PushBack(Object(l.entry, {}, l.at(section, i), a), a);
    return out;
}

std::string Compact(const Value &v) {
    rapidjson::StringBuffer sb;
    rapidjson::Writer<rapidjson::StringBuffer> w(sb);
    v.Accept(w);
    return std::string(sb.GetString(), sb.GetSize());
}

// v as text that starts at column col, for reading: an object of plain
// values on one line, wrapped before 100 columns under its first member;
// other objects and arrays a member or an entry a line, at indent + 2.
std::string Print(const Value &v, size_t col, size_t indent) {
    // MemberBegin() is only for objects (RapidJSON asserts it).
    bool flat = v.IsObject();
    if (flat)
        for (auto m = v.MemberBegin(); flat && m != v.MemberEnd(); ++m)
            flat = !m->value.IsObject() && !m->value.IsArray();
    if (flat) {
        std::string out = "{";
        size_t at = col + 1;
        for (auto m = v.MemberBegin(); m != v.MemberEnd(); ++m) {
            const std::string item = Compact(m->name) + ": " + Compact(m->value);
            if (m != v.MemberBegin()) {
                const bool wrap = at + 2 + item.size() + 2 > 98;
                out += wrap ? ",\n" + std::string(col + 1, ' ') : ", ";
                at = wrap ? col + 1 : at + 2;
            }
            out += item;
            at += item.size();
        }
        return out + "}";
    }
    if ((!v.IsObject() && !v.IsArray()) || (v.IsArray() && v.Empty())) return Compact(v);
    const std::string pad(indent + 2, ' ');
    std::string out = v.IsObject() ? "{" : "[";
    if (v.IsObject())
        for (auto m = v.MemberBegin(); m != v.MemberEnd(); ++m) {
            const std::string key = Compact(m->name) + ": ";
            out += (m == v.MemberBegin() ? "\n" : ",\n") + pad + key +
                   Print(m->value, pad.size() + key.size(), pad.size());
        }
    for (rapidjson::SizeType i = 0; v.IsArray() && i < v.Size(); i++)
        out += (i == 0 ? "\n" : ",\n") + pad + Print(v[i], pad.size(), pad.size());
    return out + "\n" + std::string(indent, ' ') + (v.IsObject() ? "}" : "]");
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

std::string WriteScenario(const Scenario &s) {
    rapidjson::Document doc(rapidjson::kObjectType);
    Alloc &a = doc.GetAllocator();
    for (const Structure &st : kStructures) {
        const void *section = st.section != nullptr ? st.section(&s) : nullptr;
        const auto name = rapidjson::StringRef(st.name);
        switch (st.shape) {
            case Shape::kNone:
                break;
            case Shape::kObject:
                doc.AddMember(name, Object(st.fields, st.lists, section, a), a);
                break;
            case Shape::kList:
                doc.AddMember(name, Entries(st.lists[0], section, a), a);
                break;
            case Shape::kValue:
                doc.AddMember(name, FieldValue(st.fields[0], section, a), a);
                break;
        }
    }
    Value drift(rapidjson::kObjectType);
    drift.AddMember("enabled", s.drift.enabled, a);
    drift.AddMember("period_ms", s.drift.period_ms, a);
    drift.AddMember("amplitude_db", s.drift.amplitude_db, a);
    doc.AddMember("drift", drift, a);
    return Print(doc, 0, 0) + "\n";
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

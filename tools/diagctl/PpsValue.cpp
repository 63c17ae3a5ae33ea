// SPDX-License-Identifier: Apache-2.0
#include "PpsValue.h"

#include <sys/pps.h>

#include <algorithm>
#include <cstdio>

#include <rapidjson/encodings.h>
#include <rapidjson/stream.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

namespace diagctl {

namespace {

// Owns a decoder for one parse.
class Decoder {
  public:
    Decoder() { pps_decoder_initialize(&d_, nullptr); }
    ~Decoder() { pps_decoder_cleanup(&d_); }
    Decoder(const Decoder &) = delete;
    Decoder &operator=(const Decoder &) = delete;
    pps_decoder_t *get() { return &d_; }

  private:
    pps_decoder_t d_;
};

// Reads the elements of the container the decoder is in, up to its end,
// into out (an object or an array).
void ReadElements(pps_decoder_t *d, Value *out) {
    for (;;) {
        pps_node_type_t type = pps_decoder_type(d, nullptr);
        if (type == PPS_TYPE_NONE) return;
        const char *name = pps_decoder_name(d);
        Value v;
        switch (type) {
            case PPS_TYPE_NONE:
                return;
            case PPS_TYPE_DELETED:
            case PPS_TYPE_UNKNOWN:
                // A deleted attribute is not shown at all, nor an encoding
                // that has no readable value.
                pps_decoder_next(d);
                continue;
            case PPS_TYPE_NULL:
                pps_decoder_next(d);
                break;
            case PPS_TYPE_BOOL:
                v.kind = Value::Kind::kBool;
                pps_decoder_get_bool(d, nullptr, &v.boolean);
                break;
            case PPS_TYPE_NUMBER:
                if (pps_decoder_get_int64(d, nullptr, &v.integer) == PPS_DECODER_OK) {
                    v.kind = Value::Kind::kInt;
                } else {
                    v.kind = Value::Kind::kReal;
                    pps_decoder_get_double(d, nullptr, &v.real);
                }
                break;
            case PPS_TYPE_STRING: {
                const char *s = "";
                pps_decoder_get_string(d, nullptr, &s);
                v = Value::String(s);
                break;
            }
            case PPS_TYPE_ARRAY:
            case PPS_TYPE_OBJECT:
                v.kind = type == PPS_TYPE_ARRAY ? Value::Kind::kArray : Value::Kind::kObject;
                pps_decoder_push(d, nullptr);
                ReadElements(d, &v);
                pps_decoder_pop(d);  // also moves past the container
                break;
        }
        if (out->IsArray() || name == nullptr) {
            out->members.emplace_back("", std::move(v));
            continue;
        }
        // A name given twice (one write that sets an attribute twice) holds
        // the later value, in the place of the first.
        auto same = std::find_if(
            out->members.begin(), out->members.end(),
            [name](const std::pair<std::string, Value> &m) { return m.first == name; });
        if (same != out->members.end())
            same->second = std::move(v);
        else
            out->members.emplace_back(name, std::move(v));
    }
}

// The character at s[i] when the bytes there are valid UTF-8: its length in
// bytes (1 to 4) and code point; length 0 otherwise.
std::size_t Utf8At(const std::string &s, std::size_t i, unsigned *codepoint) {
    // The decoder reads up to 4 bytes whatever comes: give it a copy padded
    // with NULs, so a sequence cut off at the end stays inside the copy.
    char bytes[5] = {};
    s.copy(bytes, 4, i);
    rapidjson::StringStream is(bytes);
    if (!rapidjson::UTF8<>::Decode(is, codepoint)) return 0;
    return std::min(is.Tell(), s.size() - i);
}

// s with each byte that is not valid UTF-8 replaced by U+FFFD, so that the
// JSON output stays JSON whatever the modem put in a text.
std::string ValidUtf8(const std::string &s) {
    std::string out;
    unsigned cp;
    for (std::size_t i = 0, n; i < s.size(); i += n ? n : 1) {
        n = Utf8At(s, i, &cp);
        if (n != 0)
            out.append(s, i, n);
        else
            out += "\xEF\xBF\xBD";
    }
    return out;
}

void WriteJson(const Value &v, rapidjson::Writer<rapidjson::StringBuffer> *w) {
    switch (v.kind) {
        case Value::Kind::kNull:
            w->Null();
            break;
        case Value::Kind::kBool:
            w->Bool(v.boolean);
            break;
        case Value::Kind::kInt:
            w->Int64(v.integer);
            break;
        case Value::Kind::kReal:
            w->Double(v.real);
            break;
        case Value::Kind::kString: {
            const std::string text = ValidUtf8(v.text);
            w->String(text.data(), static_cast<rapidjson::SizeType>(text.size()));
            break;
        }
        case Value::Kind::kArray:
            w->StartArray();
            for (const auto &m : v.members) WriteJson(m.second, w);
            w->EndArray();
            break;
        case Value::Kind::kObject:
            w->StartObject();
            for (const auto &m : v.members) {
                const std::string key = ValidUtf8(m.first);
                w->Key(key.data(), static_cast<rapidjson::SizeType>(key.size()));
                WriteJson(m.second, w);
            }
            w->EndObject();
            break;
    }
}

}  // namespace

Value Value::String(std::string s) {
    Value v;
    v.kind = Kind::kString;
    v.text = std::move(s);
    return v;
}

Value Value::Int(int64_t i) {
    Value v;
    v.kind = Kind::kInt;
    v.integer = i;
    return v;
}

Value Value::Object() {
    Value v;
    v.kind = Kind::kObject;
    return v;
}

const Value *Value::Find(const std::string &name) const {
    if (kind != Kind::kObject) return nullptr;
    for (const auto &m : members)
        if (m.first == name) return &m.second;
    return nullptr;
}

std::string Value::Display() const {
    switch (kind) {
        case Kind::kString:
            return text;
        case Kind::kInt:
            return std::to_string(integer);
        case Kind::kReal: {
            char buf[32];
            std::snprintf(buf, sizeof buf, "%g", real);
            return buf;
        }
        case Kind::kNull:
        case Kind::kBool:
        case Kind::kArray:
        case Kind::kObject:
            break;
    }
    return ToJson(*this);
}

bool ParsePpsObject(const std::string &text, PpsObject *out, std::string *error) {
    std::string buf = text;  // the decoder parses in place
    Decoder dec;
    if (pps_decoder_parse_pps_str(dec.get(), &buf[0]) != PPS_DECODER_OK) {
        *error = "not PPS text";
        return false;
    }
    pps_decoder_t *d = dec.get();
    const char *name = pps_decoder_name(d);
    if (pps_decoder_type(d, nullptr) != PPS_TYPE_OBJECT || name == nullptr || *name == '\0') {
        *error = "no object line";
        return false;
    }
    int flags = pps_decoder_flags(d, nullptr);
    out->name = name;
    out->purged = (flags & PPS_PURGED) != 0;
    out->truncated = (flags & PPS_TRUNCATED) != 0;
    out->attributes = Value::Object();
    pps_decoder_push(d, nullptr);
    ReadElements(d, &out->attributes);
    return true;
}

bool ParseResponse(const std::string &text, Response *out) {
    PpsObject obj;
    std::string error;
    if (!ParsePpsObject(text, &obj, &error)) return false;
    *out = Response();
    out->purged = obj.purged;
    if (const Value *v = obj.attributes.Find("res")) out->res = v->Display();
    if (const Value *v = obj.attributes.Find("id")) out->id = v->Display();
    // Any err that is not a number still says the request failed.
    if (const Value *v = obj.attributes.Find("err"))
        out->err = v->kind == Value::Kind::kInt ? v->integer : -1;
    return true;
}

std::string Printable(const std::string &s) {
    std::string out;
    unsigned cp = 0;
    for (std::size_t i = 0, n; i < s.size(); i += n ? n : 1) {
        n = Utf8At(s, i, &cp);
        if (n != 0 && cp >= 0x20 && !(cp >= 0x7F && cp <= 0x9F)) {
            out.append(s, i, n);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", static_cast<unsigned char>(s[i]));
            out += hex;
            n = 1;
        }
    }
    return out;
}

std::string ToJson(const Value &v) {
    rapidjson::StringBuffer sb;
    rapidjson::Writer<rapidjson::StringBuffer> w(sb);
    WriteJson(v, &w);
    return std::string(sb.GetString(), sb.GetSize());
}

}  // namespace diagctl

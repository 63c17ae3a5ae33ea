#include "PpsValue.h"

#include <sys/pps.h>

#include <algorithm>
#include <cstdio>

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
        case Value::Kind::kString:
            w->String(v.text.data(), static_cast<rapidjson::SizeType>(v.text.size()));
            break;
        case Value::Kind::kArray:
            w->StartArray();
            for (const auto &m : v.members) WriteJson(m.second, w);
            w->EndArray();
            break;
        case Value::Kind::kObject:
            w->StartObject();
            for (const auto &m : v.members) {
                w->Key(m.first.data(), static_cast<rapidjson::SizeType>(m.first.size()));
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

std::string ToJson(const Value &v) {
    rapidjson::StringBuffer sb;
    rapidjson::Writer<rapidjson::StringBuffer> w(sb);
    WriteJson(v, &w);
    return std::string(sb.GetString(), sb.GetSize());
}

}  // namespace diagctl

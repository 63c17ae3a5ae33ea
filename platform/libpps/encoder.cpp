// SPDX-License-Identifier: Apache-2.0
// The PPS encoder: builds PPS text (or one JSON object) in a growing buffer.
//
// PPS text has no nesting of its own: at the "attribute level" (the top, or
// inside an object started as "@name") every added value is one line
// name:encoding:value, and an object or array added there is written in JSON
// as name:json:{...} / name:json:[...] on one line. Inside such JSON values
// every element is JSON.
#include <sys/pps.h>

#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <rapidjson/reader.h>

#include "ppsparse_internal.h"

namespace {

enum LevelKind : unsigned char { kPpsObject = 0, kJsonObject = 1, kJsonArray = 2 };

bool ok(pps_encoder_t *e) {
    return e != nullptr && e->status == PPS_ENCODER_OK;
}

pps_encoder_error_t fail(pps_encoder_t *e, pps_encoder_error_t err) {
    if (e->status == PPS_ENCODER_OK) e->status = err;
    return e->status;
}

// One allocation holds a whole command's attributes (a few KiB); larger
// texts double from there.
constexpr size_t kFirstCapacity = 4096;

// Encoders are made for one write each, one after another (a publication,
// then the response to the request). The first-size buffers of the last two
// that were cleaned up on this thread are kept for the next ones, so a
// steady run of writes allocates nothing; larger buffers are freed.
struct BufferCache {
    char *slot[2] = {nullptr, nullptr};
    ~BufferCache() {
        for (char *&cached : slot) {
            free(cached);
            cached = nullptr;  // an encoder used later in this thread's exit allocates anew
        }
    }
};
thread_local BufferCache t_buffers;

// Makes room for n more bytes plus a terminating NUL and one closing brace
// (JSON mode closes its root object in place when the buffer is asked for).
bool reserve(pps_encoder_t *e, size_t n) {
    size_t need = e->length + n + 2;
    if (need <= e->capacity) return true;
    if (e->buffer == nullptr && need <= kFirstCapacity) {
        for (char *&cached : t_buffers.slot) {
            if (cached == nullptr) continue;
            e->buffer = cached;
            e->capacity = kFirstCapacity;
            cached = nullptr;
            return true;
        }
    }
    size_t cap = e->capacity < kFirstCapacity ? kFirstCapacity : e->capacity;
    while (cap < need) cap *= 2;
    char *p = static_cast<char *>(realloc(e->buffer, cap));
    if (p == nullptr) {
        fail(e, PPS_ENCODER_NO_MEM);
        return false;
    }
    e->buffer = p;
    e->capacity = cap;
    return true;
}

bool put(pps_encoder_t *e, const char *s, size_t n) {
    if (!reserve(e, n)) return false;
    memcpy(e->buffer + e->length, s, n);
    e->length += n;
    e->buffer[e->length] = '\0';
    return true;
}

bool put(pps_encoder_t *e, const char *s) {
    return put(e, s, strlen(s));
}

bool put_char(pps_encoder_t *e, char c) {
    return put(e, &c, 1);
}

bool at_attribute_level(const pps_encoder_t *e) {
    if (e->json_mode) return false;
    return e->depth == 0 || (e->depth == 1 && e->level_kind[0] == kPpsObject);
}

bool valid_attr_name(const char *s) {
    auto start = [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
    };
    if (!start(*s)) return false;
    for (; *s != '\0'; s++) {
        if (!start(*s) && !(*s >= '0' && *s <= '9') && *s != '.') return false;
    }
    return true;
}

bool valid_obj_name(const char *s) {
    if (*s == '\0') return false;
    return strpbrk(s, "@?/\n") == nullptr;
}

// Copies s, putting what escape(c, buf) returns in place of each character
// it escapes (nullptr: the character stands as it is).
template <class Escape>
bool put_escaped(pps_encoder_t *e, const char *s, Escape escape) {
    const char *run = s;
    for (; *s != '\0'; s++) {
        char buf[8];
        const char *esc = escape(static_cast<unsigned char>(*s), buf);
        if (esc != nullptr) {
            if (!put(e, run, static_cast<size_t>(s - run)) || !put(e, esc)) return false;
            run = s + 1;
        }
    }
    return put(e, run, static_cast<size_t>(s - run));
}

const char *json_escape(unsigned char c, char *buf) {
    switch (c) {
        case '"':
            return "\\\"";
        case '\\':
            return "\\\\";
        case '\n':
            return "\\n";
        case '\r':
            return "\\r";
        case '\t':
            return "\\t";
        case '\b':
            return "\\b";
        case '\f':
            return "\\f";
        default:
            if (c >= 0x20) return nullptr;
            snprintf(buf, 8, "\\u%04x", c);
            return buf;
    }
}

bool put_json_string(pps_encoder_t *e, const char *s) {
    return put_char(e, '"') && put_escaped(e, s, json_escape) && put_char(e, '"');
}

// The 'c' encoding: C escapes for the characters a PPS line cannot hold.
const char *c_escape(unsigned char c, char *buf) {
    switch (c) {
        case '\\':
            return "\\\\";
        case '\n':
            return "\\n";
        case '\r':
            return "\\r";
        case '\t':
            return "\\t";
        default:
            if (c >= 0x20 && c != 0x7f) return nullptr;
            snprintf(buf, 8, "\\%03o", c);
            return buf;
    }
}

bool put_c_escaped(pps_encoder_t *e, const char *s) {
    return put_escaped(e, s, c_escape);
}

// Writes what precedes a value: at the attribute level "name:enc:", inside
// JSON the separating comma and, in an object, "name":.
bool begin_element(pps_encoder_t *e, const char *name, const char *encoding) {
    if (at_attribute_level(e)) {
        if (name == nullptr || *name == '\0') {
            fail(e, PPS_ENCODER_MISSING_ATTRIBUTE_NAME);
            return false;
        }
        if (!valid_attr_name(name)) {
            fail(e, PPS_ENCODER_INVALID_VALUE);
            return false;
        }
        return put(e, name) && put_char(e, ':') && put(e, encoding) && put_char(e, ':');
    }
    int top = e->depth - 1;
    bool in_array = e->level_kind[top] == kJsonArray;
    if (in_array && name != nullptr) {
        fail(e, PPS_ENCODER_INVALID_VALUE);  // array elements have no names
        return false;
    }
    if (!in_array && name == nullptr) {
        fail(e, PPS_ENCODER_MISSING_ATTRIBUTE_NAME);
        return false;
    }
    if (e->level_used[top] && !put_char(e, ',')) return false;
    e->level_used[top] = 1;
    if (!in_array) return put_json_string(e, name) && put_char(e, ':');
    return true;
}

// Ends a value: a line end at the attribute level.
pps_encoder_error_t end_element(pps_encoder_t *e) {
    if (at_attribute_level(e)) put_char(e, '\n');
    return e->status;
}

pps_encoder_error_t add_scalar(pps_encoder_t *e, const char *name, const char *encoding,
                               const char *text) {
    if (!ok(e)) return e ? e->status : PPS_ENCODER_INVALID_VALUE;
    if (!begin_element(e, name, encoding) || !put(e, text)) return e->status;
    return end_element(e);
}

pps_encoder_error_t start_container(pps_encoder_t *e, const char *name, LevelKind kind) {
    if (!ok(e)) return e ? e->status : PPS_ENCODER_INVALID_VALUE;
    if (e->depth >= PPS_ENCODER_MAX_NESTING) return fail(e, PPS_ENCODER_BAD_NESTING);
    if (kind == kJsonObject && at_attribute_level(e) && name != nullptr && name[0] == '@') {
        // A PPS object line. PPS objects do not nest.
        if (e->depth != 0) return fail(e, PPS_ENCODER_BAD_NESTING);
        if (!valid_obj_name(name + 1)) return fail(e, PPS_ENCODER_INVALID_VALUE);
        if (!put(e, name) || !put_char(e, '\n')) return e->status;
        e->level_kind[e->depth] = kPpsObject;
        e->level_used[e->depth] = 0;
        e->depth++;
        return e->status;
    }
    if (!begin_element(e, name, "json")) return e->status;
    if (!put_char(e, kind == kJsonArray ? '[' : '{')) return e->status;
    e->level_kind[e->depth] = kind;
    e->level_used[e->depth] = 0;
    e->depth++;
    return e->status;
}

pps_encoder_error_t end_container(pps_encoder_t *e, LevelKind kind) {
    if (!ok(e)) return e ? e->status : PPS_ENCODER_INVALID_VALUE;
    // JSON mode's implicit root object (level 0) is closed by the buffer.
    int floor = e->json_mode ? 1 : 0;
    if (e->depth <= floor) return fail(e, PPS_ENCODER_BAD_NESTING);
    LevelKind top = static_cast<LevelKind>(e->level_kind[e->depth - 1]);
    if (kind == kJsonArray ? top != kJsonArray : top == kJsonArray)
        return fail(e, PPS_ENCODER_BAD_NESTING);
    e->depth--;
    if (top == kPpsObject) return e->status;  // an object line has no end line
    if (!put_char(e, top == kJsonArray ? ']' : '}')) return e->status;
    return end_element(e);
}

// Counts nesting while RapidJSON checks a JSON value; deeper than the decoder
// reads is refused.
class JsonChecker : public rapidjson::BaseReaderHandler<rapidjson::UTF8<>, JsonChecker> {
  public:
    bool StartObject() { return ++depth_ <= kPpsMaxJsonNesting; }
    bool EndObject(rapidjson::SizeType) { return depth_-- > 0; }
    bool StartArray() { return ++depth_ <= kPpsMaxJsonNesting; }
    bool EndArray(rapidjson::SizeType) { return depth_-- > 0; }

  private:
    size_t depth_ = 0;
};

// Whether text is one complete JSON value: PPS_ENCODER_OK,
// PPS_ENCODER_INVALID_VALUE or PPS_ENCODER_NO_MEM. A copy is parsed in place
// because the in-place reader keeps no stack of its own: RapidJSON 1.1.0's
// stack adds to a null pointer the first time it grows (undefined behaviour
// that clang's sanitizer stops on).
pps_encoder_error_t check_json(const char *text) {
    const size_t size = strlen(text) + 1;
    char *copy = static_cast<char *>(malloc(size));
    if (copy == nullptr) return PPS_ENCODER_NO_MEM;
    memcpy(copy, text, size);
    rapidjson::InsituStringStream in(copy);
    rapidjson::Reader reader;
    JsonChecker checker;
    const bool good = !reader.Parse<rapidjson::kParseInsituFlag>(in, checker).IsError();
    free(copy);
    return good ? PPS_ENCODER_OK : PPS_ENCODER_INVALID_VALUE;
}

}  // namespace

extern "C" {

void pps_encoder_initialize(pps_encoder_t *e, bool encode_json) {
    memset(e, 0, sizeof *e);
    e->json_mode = encode_json ? 1 : 0;
    pps_encoder_reset(e);
}

void pps_encoder_reset(pps_encoder_t *e) {
    e->length = 0;
    e->status = PPS_ENCODER_OK;
    e->depth = 0;
    if (e->buffer != nullptr) e->buffer[0] = '\0';
    if (e->json_mode) {
        e->level_kind[0] = kJsonObject;
        e->level_used[0] = 0;
        e->depth = 1;
        put_char(e, '{');
    }
}

void pps_encoder_cleanup(pps_encoder_t *e) {
    if (e == nullptr) return;
    char *spare = e->buffer;
    if (spare != nullptr && e->capacity == kFirstCapacity) {
        for (char *&cached : t_buffers.slot) {
            if (cached != nullptr) continue;
            cached = spare;
            spare = nullptr;
            break;
        }
    }
    free(spare);
    e->buffer = nullptr;
    e->length = 0;
    e->capacity = 0;
    e->depth = 0;
}

pps_encoder_error_t pps_encoder_start_object(pps_encoder_t *e, const char *name) {
    return start_container(e, name, kJsonObject);
}

pps_encoder_error_t pps_encoder_end_object(pps_encoder_t *e) {
    return end_container(e, kJsonObject);
}

pps_encoder_error_t pps_encoder_start_array(pps_encoder_t *e, const char *name) {
    return start_container(e, name, kJsonArray);
}

pps_encoder_error_t pps_encoder_end_array(pps_encoder_t *e) {
    return end_container(e, kJsonArray);
}

pps_encoder_error_t pps_encoder_add_string(pps_encoder_t *e, const char *name, const char *value) {
    if (!ok(e)) return e ? e->status : PPS_ENCODER_INVALID_VALUE;
    if (value == nullptr) return fail(e, PPS_ENCODER_INVALID_VALUE);
    if (at_attribute_level(e)) {
        bool needs_c = strchr(value, '\n') != nullptr;
        if (!begin_element(e, name, needs_c ? "c" : "")) return e->status;
        if (!(needs_c ? put_c_escaped(e, value) : put(e, value))) return e->status;
        return end_element(e);
    }
    if (!begin_element(e, name, nullptr) || !put_json_string(e, value)) return e->status;
    return end_element(e);
}

pps_encoder_error_t pps_encoder_add_int(pps_encoder_t *e, const char *name, int value) {
    char text[16];
    snprintf(text, sizeof text, "%d", value);
    return add_scalar(e, name, "n", text);
}

pps_encoder_error_t pps_encoder_add_int64(pps_encoder_t *e, const char *name, int64_t value) {
    char text[24];
    snprintf(text, sizeof text, "%lld", static_cast<long long>(value));
    return add_scalar(e, name, "n", text);
}

pps_encoder_error_t pps_encoder_add_double(pps_encoder_t *e, const char *name, double value) {
    if (!ok(e)) return e ? e->status : PPS_ENCODER_INVALID_VALUE;
    if (!isfinite(value)) return fail(e, PPS_ENCODER_INVALID_VALUE);  // not a JSON number
    // The shortest text that reads back as the same double.
    char text[32];
    for (int prec = 15; prec <= 17; prec++) {
        snprintf(text, sizeof text, "%.*g", prec, value);
        if (strtod(text, nullptr) == value) break;
    }
    return add_scalar(e, name, "n", text);
}

pps_encoder_error_t pps_encoder_add_bool(pps_encoder_t *e, const char *name, bool value) {
    return add_scalar(e, name, "b", value ? "true" : "false");
}

pps_encoder_error_t pps_encoder_add_null(pps_encoder_t *e, const char *name) {
    return add_scalar(e, name, "json", "null");
}

pps_encoder_error_t pps_encoder_add_json(pps_encoder_t *e, const char *name, const char *value) {
    if (!ok(e)) return e ? e->status : PPS_ENCODER_INVALID_VALUE;
    if (value == nullptr) return fail(e, PPS_ENCODER_INVALID_VALUE);
    // A PPS line cannot hold a line end, even as JSON white space.
    if (at_attribute_level(e) && strchr(value, '\n') != nullptr)
        return fail(e, PPS_ENCODER_INVALID_VALUE);
    const pps_encoder_error_t checked = check_json(value);
    if (checked != PPS_ENCODER_OK) return fail(e, checked);
    return add_scalar(e, name, "json", value);
}

pps_encoder_error_t pps_encoder_delete_attribute(pps_encoder_t *e, const char *name) {
    if (!ok(e)) return e ? e->status : PPS_ENCODER_INVALID_VALUE;
    // Deletion exists only as a PPS line; JSON has no way to say it.
    if (!at_attribute_level(e)) return fail(e, PPS_ENCODER_BAD_NESTING);
    if (name == nullptr || *name == '\0') return fail(e, PPS_ENCODER_MISSING_ATTRIBUTE_NAME);
    if (!valid_attr_name(name)) return fail(e, PPS_ENCODER_INVALID_VALUE);
    if (put_char(e, '-') && put(e, name)) put_char(e, '\n');
    return e->status;
}

const char *pps_encoder_buffer(pps_encoder_t *e) {
    if (!ok(e)) return nullptr;
    if (e->json_mode) {
        if (e->depth != 1) return nullptr;
        // Close the root object after the text without making the brace part
        // of it: a later add overwrites it.
        if (!reserve(e, 0)) return nullptr;
        e->buffer[e->length] = '}';
        e->buffer[e->length + 1] = '\0';
        return e->buffer;
    }
    bool json_open = e->depth > 1 || (e->depth == 1 && e->level_kind[0] != kPpsObject);
    if (json_open) return nullptr;
    if (e->buffer == nullptr && !reserve(e, 0)) return nullptr;
    e->buffer[e->length] = '\0';
    return e->buffer;
}

int pps_encoder_length(pps_encoder_t *e) {
    if (pps_encoder_buffer(e) == nullptr) return 0;
    return static_cast<int>(e->length + (e->json_mode ? 1 : 0));
}

pps_encoder_error_t pps_encoder_error(pps_encoder_t *e) {
    return e->status;
}

}  // extern "C"

// SPDX-License-Identifier: Apache-2.0
// The PPS decoder: parses PPS text (or JSON) in place into a tree of nodes
// and walks it. Strings in the tree point into the caller's buffer; the tree
// itself lives in the decoder and goes with pps_decoder_cleanup.
//
// The root is an object whose elements are the PPS objects of the text, in
// order, named after their object lines; an object's elements are its
// attributes. json attributes are parsed with RapidJSON's in-situ reader, so
// their strings are NUL-terminated in place too.
#include <sys/pps.h>

#include <errno.h>
#include <limits.h>
#include <math.h>
#include <stdlib.h>
#include <string.h>

#include <new>
#include <vector>

#include <rapidjson/reader.h>

#include "ppsparse_internal.h"

namespace {

struct Node {
    const char *name = nullptr;  // NULL for array elements and the root
    pps_node_type_t type = PPS_TYPE_NONE;
    int flags = 0;
    const char *str = nullptr;  // STRING (and UNKNOWN: the raw value)
    double num = 0;
    long long inum = 0;
    bool is_int = false;  // NUMBER: inum holds the exact value
    bool boolean = false;
    int first_child = -1;
    int last_child = -1;
    int next = -1;
    int count = 0;
};

struct Frame {
    int container;
    int current;  // -1: past the last element
};

struct Impl {
    std::vector<Node> nodes;
    std::vector<Frame> stack;
    char *owned = nullptr;  // the copy made by pps_decoder_initialize

    void reset() {
        nodes.clear();
        nodes.emplace_back();
        nodes[0].type = PPS_TYPE_OBJECT;
        stack.clear();
        stack.push_back({0, -1});
    }

    int add_child(int parent, const char *name, pps_node_type_t type) {
        int idx = static_cast<int>(nodes.size());
        nodes.emplace_back();
        Node &n = nodes[idx];
        n.name = name;
        n.type = type;
        Node &p = nodes[parent];
        if (p.last_child < 0)
            p.first_child = idx;
        else
            nodes[p.last_child].next = idx;
        p.last_child = idx;
        p.count++;
        return idx;
    }
};

Impl *impl_of(pps_decoder_t *d) {
    return d ? static_cast<Impl *>(d->impl) : nullptr;
}

pps_decoder_error_t note(pps_decoder_t *d, pps_decoder_error_t err) {
    if (err != PPS_DECODER_OK && d->status == PPS_DECODER_OK) d->status = err;
    return err;
}

// Builds nodes from RapidJSON's SAX events under a given parent. A value
// nested deeper than kPpsMaxJsonNesting stops the parse (a parse error).
class JsonBuilder : public rapidjson::BaseReaderHandler<rapidjson::UTF8<>, JsonBuilder> {
  public:
    JsonBuilder(Impl *impl, int parent, const char *first_name) : impl_(impl), key_(first_name) {
        parents_.push_back(parent);
    }

    bool Null() { return add(PPS_TYPE_NULL) >= 0; }
    bool Bool(bool b) {
        int i = add(PPS_TYPE_BOOL);
        impl_->nodes[i].boolean = b;
        return true;
    }
    bool Int(int v) { return Int64(v); }
    bool Uint(unsigned v) { return Int64(v); }
    bool Int64(int64_t v) {
        Node &n = impl_->nodes[add(PPS_TYPE_NUMBER)];
        n.inum = v;
        n.num = static_cast<double>(v);
        n.is_int = true;
        return true;
    }
    bool Uint64(uint64_t v) {
        if (v <= static_cast<uint64_t>(LLONG_MAX)) return Int64(static_cast<int64_t>(v));
        impl_->nodes[add(PPS_TYPE_NUMBER)].num = static_cast<double>(v);
        return true;
    }
    bool Double(double v) {
        impl_->nodes[add(PPS_TYPE_NUMBER)].num = v;
        return true;
    }
    bool String(const char *s, rapidjson::SizeType, bool) {
        int i = add(PPS_TYPE_STRING);
        impl_->nodes[i].str = s;
        return true;
    }
    bool Key(const char *s, rapidjson::SizeType, bool) {
        key_ = s;
        return true;
    }
    bool StartObject() { return start(PPS_TYPE_OBJECT); }
    bool EndObject(rapidjson::SizeType) { return end(); }
    bool StartArray() { return start(PPS_TYPE_ARRAY); }
    bool EndArray(rapidjson::SizeType) { return end(); }

  private:
    int add(pps_node_type_t type) {
        int parent = parents_.back();
        // Elements of arrays carry no name; members of objects carry their key.
        const char *name = impl_->nodes[parent].type == PPS_TYPE_ARRAY ? nullptr : key_;
        key_ = nullptr;
        return impl_->add_child(parent, name, type);
    }
    bool start(pps_node_type_t type) {
        // parents_: the value's parent, then one entry per open level.
        if (parents_.size() > kPpsMaxJsonNesting) return false;
        parents_.push_back(add(type));
        return true;
    }
    bool end() {
        parents_.pop_back();
        return true;
    }

    Impl *impl_;
    const char *key_;
    std::vector<int> parents_;
};

// Parses one JSON text in place as a child of parent named name.
bool parse_json_value(Impl *impl, int parent, const char *name, char *text) {
    JsonBuilder builder(impl, parent, name);
    rapidjson::InsituStringStream in(text);
    rapidjson::Reader reader;
    return !reader.Parse<rapidjson::kParseInsituFlag>(in, builder).IsError();
}

// Reads a whole decimal integer or floating-point number.
bool parse_number(const char *text, Node *n) {
    if (*text == '\0') return false;
    char *end;
    errno = 0;
    long long v = strtoll(text, &end, 10);
    if (*end == '\0' && errno == 0) {
        n->inum = v;
        n->num = static_cast<double>(v);
        n->is_int = true;
        return true;
    }
    double d = strtod(text, &end);
    if (*end != '\0' || !isfinite(d)) return false;
    n->num = d;
    return true;
}

bool add_attribute(Impl *impl, int obj, pps_attrib_t *info) {
    const char *enc = info->encoding;
    char *value = info->value;
    if (strcmp(enc, "json") == 0) return parse_json_value(impl, obj, info->attr_name, value);
    if (strcmp(enc, "c") == 0 && !pps_unescape_c(value)) return false;

    int idx = impl->add_child(obj, info->attr_name, PPS_TYPE_STRING);
    Node &n = impl->nodes[idx];
    n.str = value;
    if (enc[0] == '\0' || strcmp(enc, "c") == 0) return true;
    if (strcmp(enc, "n") == 0) {
        n.type = parse_number(value, &n) ? PPS_TYPE_NUMBER : PPS_TYPE_UNKNOWN;
    } else if (strcmp(enc, "b") == 0 &&
               (strcmp(value, "true") == 0 || strcmp(value, "false") == 0)) {
        n.type = PPS_TYPE_BOOL;
        n.boolean = value[0] == 't';
    } else {
        n.type = PPS_TYPE_UNKNOWN;  // an encoding left to the application
    }
    return true;
}

bool parse_pps(Impl *impl, char *str) {
    pps_attrib_t info;
    memset(&info, 0, sizeof info);
    info.obj_index = -1;
    int obj = -1;
    char *p = str;
    for (;;) {
        pps_status_t kind = pps_parse_line(&p, nullptr, nullptr, &info, true);
        switch (kind) {
            case PPS_END:
                return true;
            case PPS_ERROR:
                return false;
            case PPS_OBJECT:
            case PPS_OBJECT_CREATED:
            case PPS_OBJECT_DELETED:
            case PPS_OBJECT_TRUNCATED:
            case PPS_OBJECT_OVERFLOWED:
                obj = impl->add_child(0, info.obj_name, PPS_TYPE_OBJECT);
                impl->nodes[obj].flags = info.flags;
                break;
            case PPS_ATTRIBUTE:
            case PPS_ATTRIBUTE_DELETED:
                if (obj < 0) obj = impl->add_child(0, "", PPS_TYPE_OBJECT);
                if (kind == PPS_ATTRIBUTE_DELETED) {
                    int idx = impl->add_child(obj, info.attr_name, PPS_TYPE_DELETED);
                    impl->nodes[idx].flags = PPS_DELETED;
                } else if (!add_attribute(impl, obj, &info)) {
                    return false;
                }
                break;
        }
    }
}

// The element that name designates in the current container: NULL the
// current element, "." the container itself, else the first of that name.
pps_decoder_error_t find(Impl *impl, const char *name, int *out) {
    const Frame &f = impl->stack.back();
    if (name == nullptr) {
        if (f.current < 0) return PPS_DECODER_NO_MORE_ELEMENTS;
        *out = f.current;
        return PPS_DECODER_OK;
    }
    if (strcmp(name, ".") == 0) {
        *out = f.container;
        return PPS_DECODER_OK;
    }
    for (int i = impl->nodes[f.container].first_child; i >= 0; i = impl->nodes[i].next) {
        const char *n = impl->nodes[i].name;
        if (n != nullptr && strcmp(n, name) == 0) {
            *out = i;
            return PPS_DECODER_OK;
        }
    }
    return PPS_DECODER_NOT_FOUND;
}

// Looks up an element for a get_x: it must exist, not be deleted, and be of
// the wanted type.
pps_decoder_error_t lookup(pps_decoder_t *d, const char *name, pps_node_type_t want, Node **out,
                           int *idx) {
    Impl *impl = impl_of(d);
    if (impl == nullptr) return PPS_DECODER_NOT_FOUND;
    pps_decoder_error_t err = find(impl, name, idx);
    if (err != PPS_DECODER_OK) return note(d, err);
    Node &n = impl->nodes[*idx];
    if (n.type == PPS_TYPE_DELETED) return note(d, PPS_DECODER_DELETED);
    if (n.type != want) return note(d, PPS_DECODER_TYPE_MISMATCH);
    *out = &n;
    return PPS_DECODER_OK;
}

// After a successful read the position moves past the element read.
void advance_past(pps_decoder_t *d, int idx) {
    Impl *impl = impl_of(d);
    if (idx != impl->stack.back().container) impl->stack.back().current = impl->nodes[idx].next;
}

// Reads a number that must be integral and lie in [lo, hi].
pps_decoder_error_t get_integer(pps_decoder_t *d, const char *name, long long lo, long long hi,
                                int64_t *value) {
    Node *n;
    int idx;
    pps_decoder_error_t err = lookup(d, name, PPS_TYPE_NUMBER, &n, &idx);
    if (err != PPS_DECODER_OK) return err;
    long long v;
    if (n->is_int) {
        v = n->inum;
    } else if (n->num == floor(n->num) && n->num >= -9223372036854775808.0 &&
               n->num < 9223372036854775808.0) {
        v = static_cast<long long>(n->num);
    } else {
        return note(d, PPS_DECODER_CONVERSION_FAILED);
    }
    if (v < lo || v > hi) return note(d, PPS_DECODER_CONVERSION_FAILED);
    *value = v;
    advance_past(d, idx);
    return PPS_DECODER_OK;
}

pps_decoder_error_t start_parse(pps_decoder_t *d, char *str, bool json) {
    Impl *impl = impl_of(d);
    if (impl == nullptr || str == nullptr) return PPS_DECODER_PARSE_ERROR;
    bool good;
    try {
        impl->reset();
        good = json ? parse_json_value(impl, 0, nullptr, str) : parse_pps(impl, str);
    } catch (const std::bad_alloc &) {
        impl->reset();
        return note(d, PPS_DECODER_NO_MEM);
    }
    if (!good) {
        impl->reset();
        return note(d, PPS_DECODER_PARSE_ERROR);
    }
    impl->stack.back().current = impl->nodes[0].first_child;
    return PPS_DECODER_OK;
}

}  // namespace

extern "C" {

pps_decoder_error_t pps_decoder_initialize(pps_decoder_t *d, const char *str) {
    d->status = PPS_DECODER_OK;
    Impl *impl = new (std::nothrow) Impl;
    d->impl = impl;
    if (impl == nullptr) return PPS_DECODER_NO_MEM;
    try {
        impl->reset();
    } catch (const std::bad_alloc &) {
        return PPS_DECODER_NO_MEM;
    }
    if (str == nullptr) return PPS_DECODER_OK;
    impl->owned = strdup(str);
    if (impl->owned == nullptr) return note(d, PPS_DECODER_NO_MEM);
    return start_parse(d, impl->owned, true);
}

void pps_decoder_cleanup(pps_decoder_t *d) {
    Impl *impl = impl_of(d);
    if (impl == nullptr) return;
    free(impl->owned);
    delete impl;
    d->impl = nullptr;
}

pps_decoder_error_t pps_decoder_parse_pps_str(pps_decoder_t *d, char *str) {
    return start_parse(d, str, false);
}

pps_decoder_error_t pps_decoder_parse_json_str(pps_decoder_t *d, char *str) {
    return start_parse(d, str, true);
}

pps_decoder_error_t pps_decoder_push(pps_decoder_t *d, const char *name) {
    Impl *impl = impl_of(d);
    if (impl == nullptr) return PPS_DECODER_NOT_FOUND;
    int idx;
    pps_decoder_error_t err = find(impl, name, &idx);
    if (err != PPS_DECODER_OK) return note(d, err);
    const Node &n = impl->nodes[idx];
    if (n.type == PPS_TYPE_DELETED) return note(d, PPS_DECODER_DELETED);
    if (n.type != PPS_TYPE_OBJECT && n.type != PPS_TYPE_ARRAY) return note(d, PPS_DECODER_BAD_TYPE);
    if (idx == impl->stack.back().container) return note(d, PPS_DECODER_BAD_TYPE);
    try {
        impl->stack.back().current = idx;
        impl->stack.push_back({idx, n.first_child});
    } catch (const std::bad_alloc &) {
        return note(d, PPS_DECODER_NO_MEM);
    }
    return PPS_DECODER_OK;
}

pps_decoder_error_t pps_decoder_pop(pps_decoder_t *d) {
    Impl *impl = impl_of(d);
    if (impl == nullptr || impl->stack.size() <= 1) return note(d, PPS_DECODER_POP_AT_ROOT);
    int container = impl->stack.back().container;
    impl->stack.pop_back();
    impl->stack.back().current = impl->nodes[container].next;
    return PPS_DECODER_OK;
}

pps_decoder_error_t pps_decoder_next(pps_decoder_t *d) {
    Impl *impl = impl_of(d);
    if (impl == nullptr) return PPS_DECODER_NO_MORE_ELEMENTS;
    Frame &f = impl->stack.back();
    if (f.current < 0) return note(d, PPS_DECODER_NO_MORE_ELEMENTS);
    f.current = impl->nodes[f.current].next;
    return PPS_DECODER_OK;
}

pps_decoder_error_t pps_decoder_goto_index(pps_decoder_t *d, int index) {
    Impl *impl = impl_of(d);
    if (impl == nullptr) return PPS_DECODER_NOT_FOUND;
    Frame &f = impl->stack.back();
    int i = impl->nodes[f.container].first_child;
    for (int k = 0; k < index && i >= 0; k++) i = impl->nodes[i].next;
    if (index < 0 || i < 0) return note(d, PPS_DECODER_NOT_FOUND);
    f.current = i;
    return PPS_DECODER_OK;
}

pps_node_type_t pps_decoder_type(pps_decoder_t *d, const char *name) {
    Impl *impl = impl_of(d);
    int idx;
    if (impl == nullptr || find(impl, name, &idx) != PPS_DECODER_OK) return PPS_TYPE_NONE;
    return impl->nodes[idx].type;
}

int pps_decoder_flags(pps_decoder_t *d, const char *name) {
    Impl *impl = impl_of(d);
    int idx;
    if (impl == nullptr || find(impl, name, &idx) != PPS_DECODER_OK) return 0;
    return impl->nodes[idx].flags;
}

const char *pps_decoder_name(pps_decoder_t *d) {
    Impl *impl = impl_of(d);
    int idx;
    if (impl == nullptr || find(impl, nullptr, &idx) != PPS_DECODER_OK) return nullptr;
    return impl->nodes[idx].name;
}

int pps_decoder_length(pps_decoder_t *d) {
    Impl *impl = impl_of(d);
    if (impl == nullptr) return 0;
    return impl->nodes[impl->stack.back().container].count;
}

pps_decoder_error_t pps_decoder_get_string(pps_decoder_t *d, const char *name, const char **value) {
    Node *n;
    int idx;
    pps_decoder_error_t err = lookup(d, name, PPS_TYPE_STRING, &n, &idx);
    if (err != PPS_DECODER_OK) return err;
    *value = n->str;
    advance_past(d, idx);
    return PPS_DECODER_OK;
}

pps_decoder_error_t pps_decoder_get_int64(pps_decoder_t *d, const char *name, int64_t *value) {
    return get_integer(d, name, LLONG_MIN, LLONG_MAX, value);
}

pps_decoder_error_t pps_decoder_get_int(pps_decoder_t *d, const char *name, int *value) {
    int64_t v;
    pps_decoder_error_t err = get_integer(d, name, INT_MIN, INT_MAX, &v);
    if (err == PPS_DECODER_OK) *value = static_cast<int>(v);
    return err;
}

pps_decoder_error_t pps_decoder_get_double(pps_decoder_t *d, const char *name, double *value) {
    Node *n;
    int idx;
    pps_decoder_error_t err = lookup(d, name, PPS_TYPE_NUMBER, &n, &idx);
    if (err != PPS_DECODER_OK) return err;
    *value = n->num;
    advance_past(d, idx);
    return PPS_DECODER_OK;
}

pps_decoder_error_t pps_decoder_get_bool(pps_decoder_t *d, const char *name, bool *value) {
    Node *n;
    int idx;
    pps_decoder_error_t err = lookup(d, name, PPS_TYPE_BOOL, &n, &idx);
    if (err != PPS_DECODER_OK) return err;
    *value = n->boolean;
    advance_past(d, idx);
    return PPS_DECODER_OK;
}

pps_decoder_error_t pps_decoder_status(pps_decoder_t *d, bool clear) {
    pps_decoder_error_t s = d->status;
    if (clear) d->status = PPS_DECODER_OK;
    return s;
}

}  // extern "C"

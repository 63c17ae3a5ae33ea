// SPDX-License-Identifier: Apache-2.0
// Fuzz target: the libpps decoder on text up to its first NUL, parsed in
// place as PPS text and as JSON from exact-size heap copies (ASan sees any
// access past them), and walked as a reader would: a getter of a wrong type
// fails without moving, the element's own succeeds, names and strings lie in
// the buffer, the walk matches the length, pop at the root fails. The
// encoder accepts as JSON exactly what the decoder parses.
#include <stdint.h>
#include <string.h>
#include <sys/pps.h>

#include <memory>

#include "fuzz_check.h"

namespace {

void Expect(bool ok, const char *what, int detail) {
    fuzzcheck::Check(ok, "%s (%d)", what, detail);
}

// s is a text inside [begin, end]; the empty name of the object that holds
// attribute lines written before any object line is the one exception.
void CheckText(const char *begin, const char *end, const char *s, const char *what) {
    Expect(s != nullptr && (*s == '\0' || (s >= begin && s + strlen(s) <= end)), what, 0);
}

void Walk(pps_decoder_t *d, const char *begin, const char *end) {
    const int length = pps_decoder_length(d);
    int walked = 0;
    for (pps_node_type_t type; (type = pps_decoder_type(d, nullptr)) != PPS_TYPE_NONE; walked++) {
        const char *name = pps_decoder_name(d);
        if (name != nullptr) {
            CheckText(begin, end, name, "name outside the buffer");
            Expect(pps_decoder_type(d, name) != PPS_TYPE_NONE, "named lookup found nothing", 0);
        }
        pps_decoder_error_t err = PPS_DECODER_OK;
        const char *s = nullptr;
        if (type != PPS_TYPE_STRING && type != PPS_TYPE_OBJECT && type != PPS_TYPE_ARRAY) {
            err = pps_decoder_get_string(d, nullptr, &s);
            Expect(
                err == (type == PPS_TYPE_DELETED ? PPS_DECODER_DELETED : PPS_DECODER_TYPE_MISMATCH),
                "a getter of the wrong type", err);
            Expect(pps_decoder_name(d) == name && s == nullptr, "a failed getter moved", 0);
            pps_decoder_status(d, true);
            err = PPS_DECODER_OK;
        }
        int i;
        int64_t i64;
        double x;
        bool b;
        switch (type) {
            case PPS_TYPE_OBJECT:
            case PPS_TYPE_ARRAY:
                Expect(pps_decoder_push(d, nullptr) == PPS_DECODER_OK, "push", 0);
                Walk(d, begin, end);
                err = pps_decoder_pop(d);
                break;
            case PPS_TYPE_STRING:
                err = pps_decoder_get_string(d, nullptr, &s);
                CheckText(begin, end, s, "string outside the buffer");
                break;
            case PPS_TYPE_NUMBER:
                if (pps_decoder_get_int(d, nullptr, &i) == PPS_DECODER_OK) break;
                if (pps_decoder_get_int64(d, nullptr, &i64) == PPS_DECODER_OK) break;
                pps_decoder_status(d, true);
                err = pps_decoder_get_double(d, nullptr, &x);
                break;
            case PPS_TYPE_BOOL:
                err = pps_decoder_get_bool(d, nullptr, &b);
                break;
            default:
                err = pps_decoder_next(d);
                break;
        }
        Expect(err == PPS_DECODER_OK, "the getter of the element's type failed", type);
    }
    Expect(walked == length, "the walk and the length disagree", walked - length);
    Expect(length == 0 || pps_decoder_goto_index(d, length - 1) == PPS_DECODER_OK, "goto last", 0);
    Expect(pps_decoder_goto_index(d, length) == PPS_DECODER_NOT_FOUND, "goto_index past end", 0);
    pps_decoder_status(d, true);
}

void DecodeAndWalk(const uint8_t *data, size_t len, bool json) {
    std::unique_ptr<char[]> buffer(new char[len + 1]());  // the text and its NUL
    memcpy(buffer.get(), data, len);

    // Asked before the decoder parses (and so changes) the buffer.
    bool encodable = false;
    if (json) {
        pps_encoder_t e;
        pps_encoder_initialize(&e, true);
        encodable = pps_encoder_add_json(&e, "v", buffer.get()) == PPS_ENCODER_OK;
        pps_encoder_cleanup(&e);
    }
    pps_decoder_t d;
    Expect(pps_decoder_initialize(&d, nullptr) == PPS_DECODER_OK, "initialize", 0);
    const pps_decoder_error_t err = json ? pps_decoder_parse_json_str(&d, buffer.get())
                                         : pps_decoder_parse_pps_str(&d, buffer.get());
    // After a failed parse the decoder holds an empty tree; walk it all the same.
    Expect(err == PPS_DECODER_OK || err == PPS_DECODER_PARSE_ERROR, "parse result", err);
    Expect(!json || encodable == (err == PPS_DECODER_OK), "encoder and decoder disagree", err);
    pps_decoder_status(&d, true);
    Walk(&d, buffer.get(), buffer.get() + len);
    Expect(pps_decoder_pop(&d) == PPS_DECODER_POP_AT_ROOT, "pop at the root", 0);
    pps_decoder_cleanup(&d);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const size_t len = strnlen(reinterpret_cast<const char *>(data), size);
    DecodeAndWalk(data, len, false);
    DecodeAndWalk(data, len, true);
    return 0;
}

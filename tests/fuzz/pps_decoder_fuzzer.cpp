// SPDX-License-Identifier: Apache-2.0
// Fuzz target: the libpps decoder on arbitrary text.
//
// The input, up to its first NUL, is parsed in place as PPS text with
// pps_decoder_parse_pps_str and, from a second copy, as JSON with
// pps_decoder_parse_json_str; each copy is a heap buffer of exactly the
// text and its NUL, so ASan reports any access past it. Whatever parsed is
// then walked the way a reader would: every element of every container is
// looked at (type, name, flags), entered with push and left with pop, or read
// with the getter of its type after a getter of a wrong type.
//
// The JSON text is also given to pps_encoder_add_json, which must accept
// exactly what the decoder parses (same grammar, same nesting bound).
//
// Checked on the way: names and strings are NUL-terminated texts inside the
// parsed buffer (the decoder works in situ); a getter of the wrong type fails
// and does not move; the getter of the right type succeeds (numbers: as a
// double at least); a named lookup finds an element; the number of elements
// walked is the container's length; pop at the root fails.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/pps.h>

#include <memory>

#include "fuzz_check.h"

namespace {

struct Text {
    const char *begin;
    const char *end;  // the terminating NUL
};

[[noreturn]] void Fail(const char *what, int detail) {
    fuzzcheck::Fail("%s (%d)", what, detail);
}

void CheckText(const Text &t, const char *s, const char *what) {
    if (s == nullptr) Fail(what, 0);
    // The one text not in the buffer: the empty name of the object that holds
    // attribute lines written before any object line.
    if (*s == '\0') return;
    if (s < t.begin || s >= t.end) Fail(what, 1);
    if (s + strlen(s) > t.end) Fail(what, 2);
}

void Expect(bool ok, const char *what, int detail) {
    if (!ok) Fail(what, detail);
}

// Reads the current element with a getter of a type it does not have: must
// fail without moving the position. Clears the accumulated status after.
void WrongGetter(pps_decoder_t *d, pps_node_type_t type) {
    const char *before = pps_decoder_name(d);
    pps_decoder_error_t err;
    if (type == PPS_TYPE_BOOL) {
        const char *s = nullptr;
        err = pps_decoder_get_string(d, nullptr, &s);
    } else {
        bool b = false;
        err = pps_decoder_get_bool(d, nullptr, &b);
    }
    Expect(err == (type == PPS_TYPE_DELETED ? PPS_DECODER_DELETED : PPS_DECODER_TYPE_MISMATCH),
           "a getter of the wrong type did not fail as it should", err);
    Expect(pps_decoder_name(d) == before, "a failed getter moved the position", 0);
    Expect(pps_decoder_type(d, nullptr) == type, "a failed getter changed the element", 0);
    pps_decoder_status(d, true);
}

void Walk(pps_decoder_t *d, const Text &t, int depth) {
    const int length = pps_decoder_length(d);
    Expect(pps_decoder_push(d, ".") == PPS_DECODER_BAD_TYPE, "push of the container itself", 0);
    pps_decoder_status(d, true);
    int walked = 0;
    for (;;) {
        const pps_node_type_t type = pps_decoder_type(d, nullptr);
        if (type == PPS_TYPE_NONE) break;
        walked++;
        const char *name = pps_decoder_name(d);
        if (name != nullptr) {
            CheckText(t, name, "name outside the buffer");
            // The first element of that name exists (it may be an earlier one).
            Expect(pps_decoder_type(d, name) != PPS_TYPE_NONE, "named lookup found nothing", 0);
        }
        (void)pps_decoder_flags(d, nullptr);
        if (type != PPS_TYPE_STRING && type != PPS_TYPE_OBJECT && type != PPS_TYPE_ARRAY)
            WrongGetter(d, type);

        pps_decoder_error_t err = PPS_DECODER_OK;
        switch (type) {
            case PPS_TYPE_OBJECT:
            case PPS_TYPE_ARRAY:
                err = pps_decoder_push(d, nullptr);
                Expect(err == PPS_DECODER_OK, "push into a container failed", err);
                Walk(d, t, depth + 1);
                err = pps_decoder_pop(d);
                Expect(err == PPS_DECODER_OK, "pop out of a container failed", err);
                break;
            case PPS_TYPE_STRING: {
                const char *s = nullptr;
                err = pps_decoder_get_string(d, nullptr, &s);
                Expect(err == PPS_DECODER_OK, "get_string of a string failed", err);
                CheckText(t, s, "string outside the buffer");
                break;
            }
            case PPS_TYPE_NUMBER: {
                int i;
                int64_t i64;
                double x;
                if (pps_decoder_get_int(d, nullptr, &i) == PPS_DECODER_OK) break;
                if (pps_decoder_get_int64(d, nullptr, &i64) == PPS_DECODER_OK) break;
                pps_decoder_status(d, true);
                err = pps_decoder_get_double(d, nullptr, &x);
                Expect(err == PPS_DECODER_OK, "get_double of a number failed", err);
                break;
            }
            case PPS_TYPE_BOOL: {
                bool b;
                err = pps_decoder_get_bool(d, nullptr, &b);
                Expect(err == PPS_DECODER_OK, "get_bool of a bool failed", err);
                break;
            }
            case PPS_TYPE_NULL:
            case PPS_TYPE_DELETED:
            case PPS_TYPE_UNKNOWN:
            case PPS_TYPE_NONE:
                err = pps_decoder_next(d);
                Expect(err == PPS_DECODER_OK, "next failed", err);
                break;
        }
    }
    Expect(walked == length, "the walk and the length disagree", walked - length);
    if (length > 0) {
        // Back to the start and over the last element: the position is past the end.
        Expect(pps_decoder_goto_index(d, 0) == PPS_DECODER_OK, "goto_index 0 failed", depth);
        Expect(pps_decoder_goto_index(d, length - 1) == PPS_DECODER_OK, "goto_index last", depth);
        pps_decoder_next(d);
    }
    Expect(pps_decoder_goto_index(d, length) == PPS_DECODER_NOT_FOUND, "goto_index past end", 0);
    pps_decoder_status(d, true);
}

void DecodeAndWalk(const uint8_t *data, size_t len, bool json) {
    std::unique_ptr<char[]> buffer(new char[len + 1]);
    memcpy(buffer.get(), data, len);
    buffer[len] = '\0';
    const Text text{buffer.get(), buffer.get() + len};

    // Whether the encoder takes the text as a JSON value, asked before the
    // decoder parses (and so changes) the buffer.
    bool encodable = false;
    if (json) {
        pps_encoder_t e;
        pps_encoder_initialize(&e, true);
        encodable = pps_encoder_add_json(&e, "v", buffer.get()) == PPS_ENCODER_OK;
        pps_encoder_cleanup(&e);
    }

    pps_decoder_t d;
    Expect(pps_decoder_initialize(&d, nullptr) == PPS_DECODER_OK, "initialize", 0);
    pps_decoder_error_t err = json ? pps_decoder_parse_json_str(&d, buffer.get())
                                   : pps_decoder_parse_pps_str(&d, buffer.get());
    // After a failed parse the decoder holds an empty tree; walk it all the same.
    Expect(err == PPS_DECODER_OK || err == PPS_DECODER_PARSE_ERROR, "parse result", err);
    if (json)
        Expect(encodable == (err == PPS_DECODER_OK),
               "the encoder and the decoder disagree on a JSON value", encodable);
    pps_decoder_status(&d, true);
    Walk(&d, text, 0);
    Expect(pps_decoder_pop(&d) == PPS_DECODER_POP_AT_ROOT, "pop at the root", 0);
    pps_decoder_cleanup(&d);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzzcheck::KeepReportFd();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const void *nul = memchr(data, '\0', size);
    const size_t len =
        nul != nullptr ? static_cast<size_t>(static_cast<const uint8_t *>(nul) - data) : size;
    DecodeAndWalk(data, len, false);
    DecodeAndWalk(data, len, true);
    return 0;
}

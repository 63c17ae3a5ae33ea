// SPDX-License-Identifier: Apache-2.0
// The PPS encoder: exact PPS text and JSON output, escaping, sticky errors,
// buffer reuse.
#include <sys/pps.h>

#include <gtest/gtest.h>
#include <string.h>

#include <string>

namespace {

// An object line, then every kind of value as a top-level attribute and
// inside JSON.
TEST(Encoder, ValueEncodings) {
    const std::string big(100000, 'x');  // grows the buffer
    pps_encoder_t e;
    pps_encoder_initialize(&e, false);
    pps_encoder_start_object(&e, "@status_data");  // an object line has no end line
    pps_encoder_add_string(&e, "plain", "a:b\\c\t\"x\"");
    pps_encoder_add_string(&e, "long", big.c_str());
    pps_encoder_add_string(&e, "multi", "line1\nline2\\end\r\x01\x7f\t");
    pps_encoder_add_string(&e, "empty", "");
    pps_encoder_add_int64(&e, "big", 4294967296LL);
    pps_encoder_add_double(&e, "gps.speed", 65.412);
    pps_encoder_add_bool(&e, "on", true);
    pps_encoder_add_null(&e, "nothing");
    pps_encoder_delete_attribute(&e, "gone");
    pps_encoder_start_array(&e, "a");
    EXPECT_EQ(pps_encoder_buffer(&e), nullptr);  // unfinished, but no error
    pps_encoder_start_object(&e, nullptr);
    pps_encoder_add_string(&e, "q\"k", "\"\\\n\x1f\t\r\b\f");
    pps_encoder_add_double(&e, "d", 0.5);
    pps_encoder_add_bool(&e, "f", false);
    pps_encoder_end_object(&e);
    pps_encoder_add_json(&e, nullptr, "{\"a\": [1, 2]}");
    pps_encoder_end_array(&e);
    EXPECT_EQ(pps_encoder_end_object(&e), PPS_ENCODER_OK);
    ASSERT_NE(pps_encoder_buffer(&e), nullptr);
    EXPECT_EQ(pps_encoder_buffer(&e),
              "@status_data\nplain::a:b\\c\t\"x\"\nlong::" + big +
                  "\nmulti:c:line1\\nline2\\\\end\\r\\001\\177\\t\nempty::\nbig:n:4294967296\n"
                  "gps.speed:n:65.412\non:b:true\nnothing:json:null\n-gone\n"
                  "a:json:[{\"q\\\"k\":\"\\\"\\\\\\n\\u001f\\t\\r\\b\\f\",\"d\":0.5,\"f\":false},"
                  "{\"a\": [1, 2]}]\n");
    EXPECT_EQ(static_cast<size_t>(pps_encoder_length(&e)), strlen(pps_encoder_buffer(&e)));
    pps_encoder_cleanup(&e);
}

// Each error is sticky: it nulls the buffer and fails every later call,
// valid ones too, until pps_encoder_reset.
TEST(EncoderError, IsStickyAndNullsTheBuffer) {
    using E = pps_encoder_t *;
    const auto kNest = PPS_ENCODER_BAD_NESTING, kName = PPS_ENCODER_MISSING_ATTRIBUTE_NAME,
               kValue = PPS_ENCODER_INVALID_VALUE;
    const struct {
        pps_encoder_error_t err;
        void (*calls)(E);
    } cases[] = {
        {kNest, [](E e) { pps_encoder_end_object(e); }},
        {kNest, [](E e) { pps_encoder_start_array(e, "a"), pps_encoder_end_object(e); }},
        {kNest, [](E e) { pps_encoder_start_object(e, "o"), pps_encoder_end_array(e); }},
        {kNest, [](E e) { pps_encoder_start_object(e, "@a"), pps_encoder_start_object(e, "@b"); }},
        {kNest,
         [](E e) { pps_encoder_start_object(e, "o"), pps_encoder_delete_attribute(e, "x"); }},
        {kName, [](E e) { pps_encoder_add_string(e, nullptr, "v"); }},
        {kName, [](E e) { pps_encoder_add_int(e, "", 1); }},
        {kName, [](E e) { pps_encoder_start_object(e, "o"), pps_encoder_add_int(e, nullptr, 1); }},
        {kValue, [](E e) { pps_encoder_start_array(e, "a"), pps_encoder_add_int(e, "x", 1); }},
        {kValue, [](E e) { pps_encoder_add_string(e, "a b", "v"); }},
        {kValue, [](E e) { pps_encoder_delete_attribute(e, "a b"); }},
        {kValue, [](E e) { pps_encoder_start_object(e, "@a/b"); }},
        {kValue, [](E e) { pps_encoder_start_object(e, "@a?b"); }},
        {kValue, [](E e) { pps_encoder_add_json(e, "j", "{\"a\":}"); }},
        {kValue, [](E e) { pps_encoder_add_json(e, "j", "{\n}"); }},
        {kValue, [](E e) { pps_encoder_add_string(e, "s", nullptr); }},
        {kValue, [](E e) { pps_encoder_add_double(e, "d", 0.0 / 0.0); }},
        {kNest,
         [](E e) {
             for (int i = 0; i <= PPS_ENCODER_MAX_NESTING; i++)
                 pps_encoder_start_array(e, i ? nullptr : "a");
         }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(&c - cases);
        pps_encoder_t e;
        pps_encoder_initialize(&e, false);
        pps_encoder_add_string(&e, "before", "x");
        c.calls(&e);
        EXPECT_EQ(pps_encoder_error(&e), c.err);
        EXPECT_EQ(pps_encoder_buffer(&e), nullptr);
        EXPECT_EQ(pps_encoder_length(&e), 0);
        EXPECT_EQ(pps_encoder_add_string(&e, "after", "y"), c.err);
        pps_encoder_reset(&e);
        pps_encoder_add_string(&e, "after", "y");
        EXPECT_STREQ(pps_encoder_buffer(&e), "after::y\n");
        pps_encoder_cleanup(&e);
    }
}

// The buffers of the last encoders cleaned up are handed to the next ones:
// two alive at once, or a new one, must never show another one's text. A
// JSON-mode encoder is one object, complete after each member.
TEST(EncoderReuse, FreshTextAfterCleanupAndWhileAnotherIsOpen) {
    for (int round = 0; round < 3; round++) {
        pps_encoder_t status, response, json;
        pps_encoder_initialize(&status, false);
        pps_encoder_add_string(&status, "imei", "356938035643809");
        pps_encoder_initialize(&response, false);
        pps_encoder_add_int(&response, "err", round);
        EXPECT_STREQ(pps_encoder_buffer(&status), "imei::356938035643809\n");
        EXPECT_EQ(pps_encoder_buffer(&response), "err:n:" + std::to_string(round) + "\n");
        pps_encoder_cleanup(&status);
        pps_encoder_cleanup(&response);
        pps_encoder_initialize(&json, true);
        EXPECT_STREQ(pps_encoder_buffer(&json), "{}");
        pps_encoder_add_string(&json, "a", "x");
        pps_encoder_start_array(&json, "l");
        EXPECT_EQ(pps_encoder_buffer(&json), nullptr);  // unfinished
        pps_encoder_add_int(&json, nullptr, 1);
        pps_encoder_end_array(&json);
        pps_encoder_add_string(&json, "m", "two\nlines");
        EXPECT_STREQ(pps_encoder_buffer(&json), "{\"a\":\"x\",\"l\":[1],\"m\":\"two\\nlines\"}");
        EXPECT_EQ(pps_encoder_length(&json), 34);
        pps_encoder_cleanup(&json);
    }
}

}  // namespace

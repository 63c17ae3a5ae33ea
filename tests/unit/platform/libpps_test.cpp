// SPDX-License-Identifier: Apache-2.0
// libpps: ppsparse, the encoder (exact text, escaping, sticky errors, buffer
// reuse) and the decoder (values, navigation, type checks and errors).
#include <errno.h>
#include <gtest/gtest.h>
#include <string.h>
#include <sys/pps.h>

#include <string>
#include <tuple>
#include <vector>

namespace {

struct Parsed {
    pps_status_t kind;
    std::string obj{}, attr{}, enc{}, value{};
    int flags = 0, options = 0, mask = 0;
    auto Tie() const { return std::tie(kind, obj, attr, enc, value, flags, options, mask); }
    bool operator==(const Parsed &o) const { return Tie() == o.Tie(); }
};

// Parses the whole text and records what each call reported.
std::vector<Parsed> parse_all(std::string text) {
    char *p = &text[0];
    pps_attrib_t info{};
    info.obj_index = -1;
    std::vector<Parsed> out;
    auto str = [](const char *s) { return std::string(s ? s : ""); };
    for (pps_status_t k = PPS_OBJECT; k != PPS_END;) {
        k = ppsparse(&p, nullptr, nullptr, &info, 0);
        out.push_back({k, str(info.obj_name), str(info.attr_name), str(info.encoding),
                       str(info.value), info.flags, info.options, info.option_mask});
    }
    return out;
}

TEST(Ppsparse, ReportsEveryLineKindAndItsPieces) {
    const struct {
        const char *text;
        Parsed want;
    } cases[] = {
        {"@control.12\n", {PPS_OBJECT, "control.12"}},
        {"+@control.12.n0\n", {PPS_OBJECT_CREATED, "control.12.n0", "", "", "", PPS_CREATED}},
        {"-@control.12\n", {PPS_OBJECT_DELETED, "control.12", "", "", "", PPS_DELETED}},
        {"#@status\n", {PPS_OBJECT_TRUNCATED, "status", "", "", "", PPS_TRUNCATED}},
        {"*@status\n", {PPS_OBJECT, "status", "", "", "", PPS_PURGED}},
        {"|@status\n", {PPS_OBJECT_OVERFLOWED, "status", "", "", "", PPS_OVERFLOWED}},
        {"msg::identity\n", {PPS_ATTRIBUTE, "", "msg", "", "identity"}},
        {"err:n:-1\n", {PPS_ATTRIBUTE, "", "err", "n", "-1"}},
        {"url::http://a:b/c\n", {PPS_ATTRIBUTE, "", "url", "", "http://a:b/c"}},
        {"dat:json:{\"a\":1}\n", {PPS_ATTRIBUTE, "", "dat", "json", "{\"a\":1}"}},
        {"empty::\n", {PPS_ATTRIBUTE, "", "empty"}},
        {"\n\na::1\n\n", {PPS_ATTRIBUTE, "", "a", "", "1"}},  // empty lines skipped
        {"-url\n", {PPS_ATTRIBUTE_DELETED, "", "url", "", "", PPS_DELETED}},
        {"[n]url::a.b\n", {PPS_ATTRIBUTE, "", "url", "", "a.b", 0, PPS_NOPERSIST, PPS_NOPERSIST}},
        {"[-n]url::x\n", {PPS_ATTRIBUTE, "", "url", "", "x", 0, 0, PPS_NOPERSIST}},
        {"[i]tools::saw,\n", {PPS_ATTRIBUTE, "", "tools", "", "saw,", 0, PPS_ITEM, PPS_ITEM}},
        {"[n,-i]@o\n", {PPS_OBJECT, "o", "", "", "", 0, PPS_NOPERSIST, PPS_NOPERSIST | PPS_ITEM}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        auto r = parse_all(c.text);
        ASSERT_EQ(r.size(), 2u);
        EXPECT_EQ(r[0], c.want);
    }
}

// Every line is refused on its own; the walk goes on after each.
TEST(Ppsparse, RejectsLinesThatAreNotPpsText) {
    errno = 0;
    auto r = parse_all(
        "no colon here\nname:only-one-colon\n1abc::x\na b::x\n:enc:value\n@\n@a/b\n@a?b\n"
        "[x]a::b\n[n a::b\n-\n-a:b:c\n");
    ASSERT_EQ(r.size(), 13u);
    for (size_t i = 0; i < 12; i++) EXPECT_EQ(r[i].kind, PPS_ERROR) << "line " << i + 1;
    EXPECT_EQ(errno, EINVAL);
}

// An object line, then every kind of value as an attribute and inside JSON.
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
    pps_encoder_add_double(&e, "third", 0.1 + 0.2);  // needs 17 significant digits
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
    EXPECT_EQ(
        pps_encoder_buffer(&e),
        "@status_data\nplain::a:b\\c\t\"x\"\nlong::" + big +
            "\nmulti:c:line1\\nline2\\\\end\\r\\001\\177\\t\nempty::\nbig:n:4294967296\n"
            "gps.speed:n:65.412\nthird:n:0.30000000000000004\non:b:true\nnothing:json:null\n-gone\n"
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

class Decoder : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(pps_decoder_initialize(&d, nullptr), PPS_DECODER_OK); }
    void TearDown() override { pps_decoder_cleanup(&d); }
    pps_decoder_error_t parse(const std::string &text) {
        buf = text;  // the decoder keeps pointers into it
        return pps_decoder_parse_pps_str(&d, &buf[0]);
    }
    pps_decoder_t d;
    std::string buf;
};

// Object flags, deleted attributes, and the position after reads and pops.
TEST_F(Decoder, ObjectsFlagsDeletedAttributesAndPosition) {
    ASSERT_EQ(parse("+@control.5.n0.p1\n-@control.6\n@config\na:n:1\nb:json:{\"x\":1}\n-old\n"
                    "gsm_time_enable::1"),
              PPS_DECODER_OK);  // the last line needs no line end
    EXPECT_EQ(pps_decoder_length(&d), 3);
    EXPECT_STREQ(pps_decoder_name(&d), "control.5.n0.p1");
    EXPECT_EQ(pps_decoder_flags(&d, nullptr), PPS_CREATED);
    EXPECT_EQ(pps_decoder_flags(&d, "control.6"), PPS_DELETED);
    ASSERT_EQ(pps_decoder_push(&d, "config"), PPS_DECODER_OK);
    int i = 0;
    EXPECT_EQ(pps_decoder_get_int(&d, nullptr, &i), PPS_DECODER_OK);
    EXPECT_STREQ(pps_decoder_name(&d), "b");
    EXPECT_EQ(pps_decoder_push(&d, nullptr), PPS_DECODER_OK);
    EXPECT_EQ(pps_decoder_pop(&d), PPS_DECODER_OK);
    EXPECT_STREQ(pps_decoder_name(&d), "old");
    EXPECT_EQ(pps_decoder_type(&d, "old"), PPS_TYPE_DELETED);
    EXPECT_EQ(pps_decoder_push(&d, "old"), PPS_DECODER_DELETED);
    const char *v = "untouched";
    EXPECT_EQ(pps_decoder_get_string(&d, "old", &v), PPS_DECODER_DELETED);
    EXPECT_STREQ(v, "untouched");
    EXPECT_EQ(pps_decoder_get_string(&d, "gsm_time_enable", &v), PPS_DECODER_OK);
    EXPECT_STREQ(v, "1");
    EXPECT_EQ(pps_decoder_goto_index(&d, 0), PPS_DECODER_OK);
    EXPECT_STREQ(pps_decoder_name(&d), "a");
    EXPECT_EQ(pps_decoder_goto_index(&d, 4), PPS_DECODER_NOT_FOUND);
    EXPECT_EQ(pps_decoder_pop(&d), PPS_DECODER_OK);
    EXPECT_EQ(pps_decoder_pop(&d), PPS_DECODER_POP_AT_ROOT);
}

TEST_F(Decoder, EncodingsAndTypeMismatches) {
    ASSERT_EQ(parse("@o\ns::text\nc:c:a\\nb\\\\\\x4a\\101\nn:n:42\nf:n:2.5\nbig:n:4294967296\n"
                    "t:b:true\nu:b64:aGk=\nnul:json:null\ninf:n:inf\n"),
              PPS_DECODER_OK);
    ASSERT_EQ(pps_decoder_push(&d, nullptr), PPS_DECODER_OK);
    const char *s = nullptr;
    int i = -7;
    int64_t big = 0;
    double f = 0;
    bool t = false;
    EXPECT_EQ(pps_decoder_get_string(&d, "c", &s), PPS_DECODER_OK);
    EXPECT_STREQ(s, "a\nb\\JA");
    EXPECT_TRUE(pps_decoder_get_double(&d, "f", &f) == PPS_DECODER_OK && f == 2.5);
    EXPECT_TRUE(pps_decoder_get_int64(&d, "big", &big) == PPS_DECODER_OK && big == 4294967296LL);
    EXPECT_TRUE(pps_decoder_get_bool(&d, "t", &t) == PPS_DECODER_OK && t);
    EXPECT_EQ(pps_decoder_type(&d, "u"), PPS_TYPE_UNKNOWN);
    EXPECT_EQ(pps_decoder_type(&d, "nul"), PPS_TYPE_NULL);
    EXPECT_EQ(pps_decoder_status(&d, true), PPS_DECODER_OK);

    // A failed read leaves its output alone; the status keeps the first
    // error until cleared.
    const struct {
        char op;  // s: get_string, i: get_int, p: push
        const char *name;
        pps_decoder_error_t err;
    } cases[] = {
        {'s', "n", PPS_DECODER_TYPE_MISMATCH},     {'i', "s", PPS_DECODER_TYPE_MISMATCH},
        {'s', "u", PPS_DECODER_TYPE_MISMATCH},     {'i', "big", PPS_DECODER_CONVERSION_FAILED},
        {'i', "f", PPS_DECODER_CONVERSION_FAILED}, {'i', "missing", PPS_DECODER_NOT_FOUND},
        {'p', "s", PPS_DECODER_BAD_TYPE},          {'p', "missing", PPS_DECODER_NOT_FOUND},
        {'i', "inf", PPS_DECODER_TYPE_MISMATCH},  // not a number
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(1, c.op) + " " + c.name);
        s = "kept";
        i = -7;
        EXPECT_EQ(c.op == 's'   ? pps_decoder_get_string(&d, c.name, &s)
                  : c.op == 'i' ? pps_decoder_get_int(&d, c.name, &i)
                                : pps_decoder_push(&d, c.name),
                  c.err);
        EXPECT_STREQ(s, "kept");
        EXPECT_EQ(i, -7);
        pps_decoder_get_int(&d, "missing", &i);
        EXPECT_EQ(pps_decoder_status(&d, true), c.err);
        EXPECT_EQ(pps_decoder_status(&d, false), PPS_DECODER_OK);
    }
}

// JSON nested deeper than 256 levels is refused before it runs the stack out.
TEST_F(Decoder, ParseErrors) {
    const std::string bad[] = {
        "not pps text\n",   "@o\nj:json:{\"a\":\n",
        "@o\nc:c:bad\\q\n", "@o\nc:c:nul\\0\n",
        "@o\nc:c:\\400\n",  "@o\nj:json:" + std::string(257, '[') + std::string(257, ']') + "\n"};
    for (const std::string &text : bad) {
        SCOPED_TRACE(text);
        EXPECT_EQ(parse(text), PPS_DECODER_PARSE_ERROR);
        EXPECT_EQ(pps_decoder_status(&d, true), PPS_DECODER_PARSE_ERROR);
        EXPECT_EQ(pps_decoder_push(&d, nullptr), PPS_DECODER_NO_MORE_ELEMENTS);
        pps_decoder_status(&d, true);
    }
}

}  // namespace

// SPDX-License-Identifier: Apache-2.0
// The PPS decoder: exact values, navigation, type checks and errors, and
// encoder -> text -> decoder round trips. The fuzzer checks that strings
// stay in the caller's buffer and that failed reads do not move.
#include <sys/pps.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

class Decoder : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(pps_decoder_initialize(&d, nullptr), PPS_DECODER_OK); }
    void TearDown() override { pps_decoder_cleanup(&d); }
    pps_decoder_error_t parse(const std::string &text) {
        buf.assign(text.begin(), text.end());
        buf.push_back('\0');
        return pps_decoder_parse_pps_str(&d, buf.data());
    }
    pps_decoder_t d;
    std::vector<char> buf;
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
    EXPECT_EQ(pps_decoder_get_double(&d, "f", &f), PPS_DECODER_OK);
    EXPECT_EQ(f, 2.5);
    EXPECT_EQ(pps_decoder_get_int64(&d, "big", &big), PPS_DECODER_OK);
    EXPECT_EQ(big, 4294967296LL);
    EXPECT_EQ(pps_decoder_get_bool(&d, "t", &t), PPS_DECODER_OK);
    EXPECT_TRUE(t);
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

// JSON nested deeper than 256 levels is refused before it can run the
// stack out.
TEST_F(Decoder, ParseErrors) {
    const std::string bad[] = {
        "not pps text\n",   "@o\nj:json:{\"a\":\n",
        "@o\nc:c:bad\\q\n", "@o\nc:c:nul\\0\n",
        "@o\nc:c:\\400\n",  "@o\nj:json:" + std::string(257, '[') + std::string(257, ']') + "\n",
    };
    for (const std::string &text : bad) {
        SCOPED_TRACE(text);
        EXPECT_EQ(parse(text), PPS_DECODER_PARSE_ERROR);
        EXPECT_EQ(pps_decoder_status(&d, true), PPS_DECODER_PARSE_ERROR);
        EXPECT_EQ(pps_decoder_push(&d, nullptr), PPS_DECODER_NO_MORE_ELEMENTS);
        pps_decoder_status(&d, true);
    }
}

// What the encoder writes, in PPS text and inside JSON, the decoder reads
// back unchanged, doubles to the last bit.
TEST_F(Decoder, RoundTripThroughEncoder) {
    const std::string odd = "line1\nline2\t\\ \"q\" :x: \x7f\r end";
    const double third = 0.1 + 0.2;  // needs 17 significant digits
    pps_encoder_t e;
    pps_encoder_initialize(&e, false);
    pps_encoder_add_string(&e, "odd", odd.c_str());
    pps_encoder_add_double(&e, "third", third);
    pps_encoder_start_array(&e, "rab_3g");
    pps_encoder_add_string(&e, nullptr, odd.c_str());
    pps_encoder_end_array(&e);
    ASSERT_NE(pps_encoder_buffer(&e), nullptr);
    std::string text = pps_encoder_buffer(&e);
    pps_encoder_cleanup(&e);

    ASSERT_EQ(parse(text), PPS_DECODER_OK);
    ASSERT_EQ(pps_decoder_push(&d, nullptr), PPS_DECODER_OK);
    const char *s = nullptr;
    double x = 0;
    EXPECT_EQ(pps_decoder_get_string(&d, "odd", &s), PPS_DECODER_OK);
    EXPECT_EQ(std::string(s), odd);
    EXPECT_EQ(pps_decoder_get_double(&d, "third", &x), PPS_DECODER_OK);
    EXPECT_EQ(x, third);
    ASSERT_EQ(pps_decoder_push(&d, "rab_3g"), PPS_DECODER_OK);
    EXPECT_EQ(pps_decoder_get_string(&d, nullptr, &s), PPS_DECODER_OK);
    EXPECT_EQ(std::string(s), odd);
}

}  // namespace

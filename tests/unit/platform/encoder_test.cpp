// The PPS encoder: exact PPS text and JSON output, escaping, sticky errors.
#include <sys/pps.h>

#include <gtest/gtest.h>

#include <string>

namespace {

class Encoder : public ::testing::Test {
  protected:
    void SetUp() override { pps_encoder_initialize(&e, false); }
    void TearDown() override { pps_encoder_cleanup(&e); }
    std::string text() {
        const char *b = pps_encoder_buffer(&e);
        EXPECT_NE(b, nullptr);
        if (b == nullptr) return "<null>";
        EXPECT_EQ(static_cast<size_t>(pps_encoder_length(&e)), strlen(b));
        return b;
    }
    pps_encoder_t e;
};

TEST_F(Encoder, ResponseObjectLeftOpen) {
    pps_encoder_start_object(&e, "@control.4294967296");
    pps_encoder_add_string(&e, "res", "identity");
    pps_encoder_add_string(&e, "id", "7");
    pps_encoder_add_int(&e, "err", -1);
    EXPECT_EQ(text(), "@control.4294967296\nres::identity\nid::7\nerr:n:-1\n");
    // Closing the object line writes nothing more.
    EXPECT_EQ(pps_encoder_end_object(&e), PPS_ENCODER_OK);
    EXPECT_EQ(text(), "@control.4294967296\nres::identity\nid::7\nerr:n:-1\n");
}

TEST_F(Encoder, TopLevelAttributeLinesWithNestedJson) {
    pps_encoder_add_string(&e, "active_rat", "WCDMA");
    pps_encoder_delete_attribute(&e, "rab_2g");
    pps_encoder_start_array(&e, "rab_3g");
    for (int n = 1; n <= 2; n++) {
        pps_encoder_start_object(&e, nullptr);
        pps_encoder_add_int(&e, n == 1 ? "1 rab_id" : "2 rab_id", n * 5);
        pps_encoder_add_string(&e, n == 1 ? "1 domain" : "2 domain", "PS");
        pps_encoder_end_object(&e);
    }
    pps_encoder_end_array(&e);
    pps_encoder_start_object(&e, "rab_2g");
    pps_encoder_add_int(&e, "datarate_ul", 255);
    pps_encoder_start_array(&e, "list");
    pps_encoder_end_array(&e);
    pps_encoder_end_object(&e);
    pps_encoder_add_json(&e, "raw", "{\"a\": [1, 2]}");
    EXPECT_EQ(
        text(),
        "active_rat::WCDMA\n"
        "-rab_2g\n"
        "rab_3g:json:[{\"1 rab_id\":5,\"1 domain\":\"PS\"},{\"2 rab_id\":10,\"2 domain\":\"PS\"}]\n"
        "rab_2g:json:{\"datarate_ul\":255,\"list\":[]}\n"
        "raw:json:{\"a\": [1, 2]}\n");
}

TEST_F(Encoder, ValueEncodings) {
    pps_encoder_add_string(&e, "plain", "a:b\\c\t\"x\"");
    pps_encoder_add_string(&e, "multi", "line1\nline2\\end\r");
    pps_encoder_add_string(&e, "empty", "");
    pps_encoder_add_int64(&e, "big", 4294967296LL);
    pps_encoder_add_double(&e, "speed", 65.412);
    pps_encoder_add_bool(&e, "on", true);
    pps_encoder_add_null(&e, "nothing");
    pps_encoder_start_object(&e, "j");
    pps_encoder_add_string(&e, "q\"k", "\"\\\n\x01");
    pps_encoder_add_double(&e, "d", 0.5);
    pps_encoder_add_bool(&e, "f", false);
    pps_encoder_end_object(&e);
    EXPECT_EQ(text(),
              "plain::a:b\\c\t\"x\"\n"
              "multi:c:line1\\nline2\\\\end\\r\n"
              "empty::\n"
              "big:n:4294967296\n"
              "speed:n:65.412\n"
              "on:b:true\n"
              "nothing:json:null\n"
              "j:json:{\"q\\\"k\":\"\\\"\\\\\\n\\u0001\",\"d\":0.5,\"f\":false}\n");
}

TEST_F(Encoder, JsonMode) {
    pps_encoder_t j;
    pps_encoder_initialize(&j, true);
    EXPECT_STREQ(pps_encoder_buffer(&j), "{}");
    pps_encoder_add_string(&j, "a", "x");
    EXPECT_STREQ(pps_encoder_buffer(&j), "{\"a\":\"x\"}");
    pps_encoder_start_array(&j, "l");
    EXPECT_EQ(pps_encoder_buffer(&j), nullptr);  // unfinished
    pps_encoder_add_int(&j, nullptr, 1);
    pps_encoder_end_array(&j);
    pps_encoder_add_string(&j, "m", "two\nlines");
    EXPECT_STREQ(pps_encoder_buffer(&j), "{\"a\":\"x\",\"l\":[1],\"m\":\"two\\nlines\"}");
    EXPECT_EQ(pps_encoder_length(&j), 34);
    EXPECT_EQ(pps_encoder_end_object(&j), PPS_ENCODER_BAD_NESTING);  // the root is not closable
    pps_encoder_cleanup(&j);
}

struct ErrorCase {
    const char *what;
    void (*calls)(pps_encoder_t *);
    pps_encoder_error_t err;
};

class EncoderError : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(EncoderError, IsStickyAndNullsTheBuffer) {
    pps_encoder_t e;
    pps_encoder_initialize(&e, false);
    pps_encoder_add_string(&e, "before", "x");
    GetParam().calls(&e);
    EXPECT_EQ(pps_encoder_error(&e), GetParam().err);
    EXPECT_EQ(pps_encoder_buffer(&e), nullptr);
    EXPECT_EQ(pps_encoder_length(&e), 0);
    // Later calls fail with the same error, even valid ones.
    EXPECT_EQ(pps_encoder_add_string(&e, "after", "y"), GetParam().err);
    // reset clears it.
    pps_encoder_reset(&e);
    pps_encoder_add_string(&e, "after", "y");
    EXPECT_STREQ(pps_encoder_buffer(&e), "after::y\n");
    pps_encoder_cleanup(&e);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, EncoderError,
    ::testing::Values(
        ErrorCase{"end without start", [](pps_encoder_t *e) { pps_encoder_end_object(e); },
                  PPS_ENCODER_BAD_NESTING},
        ErrorCase{"array closed as object",
                  [](pps_encoder_t *e) {
                      pps_encoder_start_array(e, "a");
                      pps_encoder_end_object(e);
                  },
                  PPS_ENCODER_BAD_NESTING},
        ErrorCase{"object closed as array",
                  [](pps_encoder_t *e) {
                      pps_encoder_start_object(e, "o");
                      pps_encoder_end_array(e);
                  },
                  PPS_ENCODER_BAD_NESTING},
        ErrorCase{"nested object lines",
                  [](pps_encoder_t *e) {
                      pps_encoder_start_object(e, "@a");
                      pps_encoder_start_object(e, "@b");
                  },
                  PPS_ENCODER_BAD_NESTING},
        ErrorCase{"deletion inside json",
                  [](pps_encoder_t *e) {
                      pps_encoder_start_object(e, "o");
                      pps_encoder_delete_attribute(e, "x");
                  },
                  PPS_ENCODER_BAD_NESTING},
        ErrorCase{"string without name",
                  [](pps_encoder_t *e) { pps_encoder_add_string(e, nullptr, "v"); },
                  PPS_ENCODER_MISSING_ATTRIBUTE_NAME},
        ErrorCase{"empty name", [](pps_encoder_t *e) { pps_encoder_add_int(e, "", 1); },
                  PPS_ENCODER_MISSING_ATTRIBUTE_NAME},
        ErrorCase{"member without name",
                  [](pps_encoder_t *e) {
                      pps_encoder_start_object(e, "o");
                      pps_encoder_add_int(e, nullptr, 1);
                  },
                  PPS_ENCODER_MISSING_ATTRIBUTE_NAME},
        ErrorCase{"named array element",
                  [](pps_encoder_t *e) {
                      pps_encoder_start_array(e, "a");
                      pps_encoder_add_int(e, "x", 1);
                  },
                  PPS_ENCODER_INVALID_VALUE},
        ErrorCase{"attribute name with blank",
                  [](pps_encoder_t *e) { pps_encoder_add_string(e, "a b", "v"); },
                  PPS_ENCODER_INVALID_VALUE},
        ErrorCase{"bad object name", [](pps_encoder_t *e) { pps_encoder_start_object(e, "@a/b"); },
                  PPS_ENCODER_INVALID_VALUE},
        ErrorCase{"invalid json",
                  [](pps_encoder_t *e) { pps_encoder_add_json(e, "j", "{\"a\":}"); },
                  PPS_ENCODER_INVALID_VALUE},
        ErrorCase{"json with a line end",
                  [](pps_encoder_t *e) { pps_encoder_add_json(e, "j", "{\n}"); },
                  PPS_ENCODER_INVALID_VALUE},
        ErrorCase{"null string", [](pps_encoder_t *e) { pps_encoder_add_string(e, "s", nullptr); },
                  PPS_ENCODER_INVALID_VALUE},
        ErrorCase{"nan", [](pps_encoder_t *e) { pps_encoder_add_double(e, "d", 0.0 / 0.0); },
                  PPS_ENCODER_INVALID_VALUE},
        ErrorCase{"too deep",
                  [](pps_encoder_t *e) {
                      pps_encoder_start_array(e, "a");
                      for (int i = 0; i < PPS_ENCODER_MAX_NESTING; i++)
                          pps_encoder_start_array(e, nullptr);
                  },
                  PPS_ENCODER_BAD_NESTING}),
    [](const ::testing::TestParamInfo<ErrorCase> &info) {
        std::string n = info.param.what;
        for (char &c : n)
            if (c == ' ') c = '_';
        return n;
    });

TEST_F(Encoder, UnclosedJsonHasNoBufferButNoError) {
    pps_encoder_start_object(&e, "o");
    EXPECT_EQ(pps_encoder_buffer(&e), nullptr);
    EXPECT_EQ(pps_encoder_error(&e), PPS_ENCODER_OK);
    pps_encoder_end_object(&e);
    EXPECT_EQ(text(), "o:json:{}\n");
}

TEST_F(Encoder, GrowsForLargeOutput) {
    std::string big(100000, 'x');
    pps_encoder_add_string(&e, "big", big.c_str());
    EXPECT_EQ(text(), "big::" + big + "\n");
}

}  // namespace

// ppsparse: every line kind, qualifiers, in-place splitting, incomplete lines.
#include <sys/pps.h>

#include <errno.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Parsed {
    pps_status_t kind;
    std::string obj, attr, enc, value;
    int flags, options, mask;
};

// Parses the whole text and records what each call reported.
std::vector<Parsed> parse_all(std::string text) {
    std::vector<char> buf(text.begin(), text.end());
    buf.push_back('\0');
    char *p = buf.data();
    pps_attrib_t info{};
    info.obj_index = -1;
    std::vector<Parsed> out;
    for (;;) {
        pps_status_t k = ppsparse(&p, nullptr, nullptr, &info, 0);
        Parsed r{k,
                 info.obj_name ? info.obj_name : "",
                 info.attr_name ? info.attr_name : "",
                 info.encoding ? info.encoding : "",
                 info.value ? info.value : "",
                 info.flags,
                 info.options,
                 info.option_mask};
        out.push_back(r);
        if (k == PPS_END) break;
    }
    return out;
}

struct LineCase {
    const char *text;
    pps_status_t kind;
    const char *obj, *attr, *enc, *value;
    int flags, options, mask;
};

class PpsparseLine : public ::testing::TestWithParam<LineCase> {};

TEST_P(PpsparseLine, ReportsKindAndPieces) {
    const LineCase &c = GetParam();
    auto r = parse_all(c.text);
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].kind, c.kind);
    EXPECT_EQ(r[0].obj, c.obj);
    EXPECT_EQ(r[0].attr, c.attr);
    EXPECT_EQ(r[0].enc, c.enc);
    EXPECT_EQ(r[0].value, c.value);
    EXPECT_EQ(r[0].flags, c.flags);
    EXPECT_EQ(r[0].options, c.options);
    EXPECT_EQ(r[0].mask, c.mask);
    EXPECT_EQ(r[1].kind, PPS_END);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, PpsparseLine,
    ::testing::Values(
        LineCase{"@control.12\n", PPS_OBJECT, "control.12", "", "", "", 0, 0, 0},
        LineCase{"+@control.12.n0.p7.u0.g0\n", PPS_OBJECT_CREATED, "control.12.n0.p7.u0.g0", "", "",
                 "", PPS_CREATED, 0, 0},
        LineCase{"-@control.12\n", PPS_OBJECT_DELETED, "control.12", "", "", "", PPS_DELETED, 0, 0},
        LineCase{"#@status\n", PPS_OBJECT_TRUNCATED, "status", "", "", "", PPS_TRUNCATED, 0, 0},
        LineCase{"*@status\n", PPS_OBJECT, "status", "", "", "", PPS_PURGED, 0, 0},
        LineCase{"|@status\n", PPS_OBJECT_OVERFLOWED, "status", "", "", "", PPS_OVERFLOWED, 0, 0},
        LineCase{"msg::identity\n", PPS_ATTRIBUTE, "", "msg", "", "identity", 0, 0, 0},
        LineCase{"err:n:-1\n", PPS_ATTRIBUTE, "", "err", "n", "-1", 0, 0, 0},
        LineCase{"url::http://a:b/c\n", PPS_ATTRIBUTE, "", "url", "", "http://a:b/c", 0, 0, 0},
        LineCase{"dat:json:{\"a\":1}\n", PPS_ATTRIBUTE, "", "dat", "json", "{\"a\":1}", 0, 0, 0},
        LineCase{"empty::\n", PPS_ATTRIBUTE, "", "empty", "", "", 0, 0, 0},
        LineCase{"-url\n", PPS_ATTRIBUTE_DELETED, "", "url", "", "", PPS_DELETED, 0, 0},
        LineCase{"[n]url::www.qnx.com\n", PPS_ATTRIBUTE, "", "url", "", "www.qnx.com", 0,
                 PPS_NOPERSIST, PPS_NOPERSIST},
        LineCase{"[-n]url::x\n", PPS_ATTRIBUTE, "", "url", "", "x", 0, 0, PPS_NOPERSIST},
        LineCase{"[i]toolbox::hammer,\n", PPS_ATTRIBUTE, "", "toolbox", "", "hammer,", 0, PPS_ITEM,
                 PPS_ITEM},
        LineCase{"[n,-i]@obj\n", PPS_OBJECT, "obj", "", "", "", 0, PPS_NOPERSIST,
                 PPS_NOPERSIST | PPS_ITEM}));

TEST(Ppsparse, RejectsLinesThatAreNotPpsText) {
    const char *bad[] = {"no colon here\n",
                         "name:only-one-colon\n",
                         "1abc::x\n",
                         "a b::x\n",
                         ":enc:value\n",
                         "@\n",
                         "@a/b\n",
                         "@a?b\n",
                         "[x]a::b\n",
                         "[n a::b\n",
                         "-\n",
                         "-a:b:c\n"};
    for (const char *text : bad) {
        SCOPED_TRACE(text);
        errno = 0;
        auto r = parse_all(text);
        ASSERT_GE(r.size(), 2u);
        EXPECT_EQ(r[0].kind, PPS_ERROR);
        EXPECT_EQ(errno, EINVAL);
        EXPECT_EQ(r.back().kind, PPS_END);  // the walk can go on after the bad line
    }
}

TEST(Ppsparse, SplitsInPlaceAndKeepsObjectNameAcrossAttributes) {
    char buf[] = "@control.12\nmsg::identity\nid::7\n";
    char *p = buf;
    pps_attrib_t info{};
    info.obj_index = -1;
    ASSERT_EQ(ppsparse(&p, nullptr, nullptr, &info, 0), PPS_OBJECT);
    ASSERT_EQ(ppsparse(&p, nullptr, nullptr, &info, 0), PPS_ATTRIBUTE);
    EXPECT_STREQ(info.obj_name, "control.12");
    EXPECT_EQ(info.attr_name, buf + 12);  // points into the buffer
    EXPECT_EQ(info.value, buf + 17);
    EXPECT_EQ(buf[15], '\0');  // separators overwritten
    EXPECT_EQ(buf[16], '\0');
    EXPECT_EQ(buf[25], '\0');  // line end overwritten
    ASSERT_EQ(ppsparse(&p, nullptr, nullptr, &info, 0), PPS_ATTRIBUTE);
    EXPECT_STREQ(info.value, "7");
    EXPECT_EQ(info.line, buf + 26);
    EXPECT_EQ(ppsparse(&p, nullptr, nullptr, &info, 0), PPS_END);
    EXPECT_EQ(info.flags, 0);
}

TEST(Ppsparse, IncompleteLastLineIsLeftInPlace) {
    char buf[] = "a::1\nb::2";
    char *p = buf;
    pps_attrib_t info{};
    ASSERT_EQ(ppsparse(&p, nullptr, nullptr, &info, 0), PPS_ATTRIBUTE);
    EXPECT_EQ(ppsparse(&p, nullptr, nullptr, &info, 0), PPS_END);
    EXPECT_EQ(info.flags, PPS_INCOMPLETE);
    EXPECT_STREQ(p, "b::2");  // untouched, ready for the rest
}

TEST(Ppsparse, ReportsIndicesInNameLists) {
    const char *objs[] = {"status", "control", nullptr};
    const char *attrs[] = {"msg", "id", "dat", nullptr};
    char buf[] = "@control\nid::1\nother::2\n";
    char *p = buf;
    pps_attrib_t info{};
    info.obj_index = -1;
    ppsparse(&p, objs, attrs, &info, 0);
    EXPECT_EQ(info.obj_index, 1);
    ppsparse(&p, objs, attrs, &info, 0);
    EXPECT_EQ(info.attr_index, 1);
    EXPECT_EQ(info.obj_index, 1);
    ppsparse(&p, objs, attrs, &info, 0);
    EXPECT_EQ(info.attr_index, -1);
}

TEST(Ppsparse, SkipsEmptyLinesAndHandlesEmptyData) {
    auto r = parse_all("\n\na::1\n\n");
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].attr, "a");
    EXPECT_EQ(parse_all("")[0].kind, PPS_END);
}

}  // namespace

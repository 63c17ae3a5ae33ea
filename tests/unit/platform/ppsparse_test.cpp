// SPDX-License-Identifier: Apache-2.0
// ppsparse: every line kind, qualifiers, name lookups, incomplete lines.
#include <sys/pps.h>

#include <errno.h>
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

namespace {

struct Parsed {
    pps_status_t kind;
    std::string obj, attr, enc, value;
    int flags, options, mask;
    bool operator==(const Parsed &o) const {
        return std::tie(kind, obj, attr, enc, value, flags, options, mask) ==
               std::tie(o.kind, o.obj, o.attr, o.enc, o.value, o.flags, o.options, o.mask);
    }
};
void PrintTo(const Parsed &p, std::ostream *os) {
    *os << p.kind << " obj '" << p.obj << "' attr '" << p.attr << "' enc '" << p.enc << "' value '"
        << p.value << "' flags " << p.flags << " options " << p.options << " mask " << p.mask;
}

// Parses the whole text and records what each call reported.
std::vector<Parsed> parse_all(std::string text) {
    std::vector<char> buf(text.begin(), text.end());
    buf.push_back('\0');
    char *p = buf.data();
    pps_attrib_t info{};
    info.obj_index = -1;
    std::vector<Parsed> out;
    for (pps_status_t k = PPS_OBJECT; k != PPS_END;) {
        k = ppsparse(&p, nullptr, nullptr, &info, 0);
        auto str = [](const char *s) { return std::string(s ? s : ""); };
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
        {"@control.12\n", {PPS_OBJECT, "control.12", "", "", "", 0, 0, 0}},
        {"+@control.12.n0.p7.u0.g0\n",
         {PPS_OBJECT_CREATED, "control.12.n0.p7.u0.g0", "", "", "", PPS_CREATED, 0, 0}},
        {"-@control.12\n", {PPS_OBJECT_DELETED, "control.12", "", "", "", PPS_DELETED, 0, 0}},
        {"#@status\n", {PPS_OBJECT_TRUNCATED, "status", "", "", "", PPS_TRUNCATED, 0, 0}},
        {"*@status\n", {PPS_OBJECT, "status", "", "", "", PPS_PURGED, 0, 0}},
        {"|@status\n", {PPS_OBJECT_OVERFLOWED, "status", "", "", "", PPS_OVERFLOWED, 0, 0}},
        {"msg::identity\n", {PPS_ATTRIBUTE, "", "msg", "", "identity", 0, 0, 0}},
        {"err:n:-1\n", {PPS_ATTRIBUTE, "", "err", "n", "-1", 0, 0, 0}},
        {"url::http://a:b/c\n", {PPS_ATTRIBUTE, "", "url", "", "http://a:b/c", 0, 0, 0}},
        {"dat:json:{\"a\":1}\n", {PPS_ATTRIBUTE, "", "dat", "json", "{\"a\":1}", 0, 0, 0}},
        {"empty::\n", {PPS_ATTRIBUTE, "", "empty", "", "", 0, 0, 0}},
        {"\n\na::1\n\n", {PPS_ATTRIBUTE, "", "a", "", "1", 0, 0, 0}},  // empty lines skipped
        {"-url\n", {PPS_ATTRIBUTE_DELETED, "", "url", "", "", PPS_DELETED, 0, 0}},
        {"[n]url::example.org\n",
         {PPS_ATTRIBUTE, "", "url", "", "example.org", 0, PPS_NOPERSIST, PPS_NOPERSIST}},
        {"[-n]url::x\n", {PPS_ATTRIBUTE, "", "url", "", "x", 0, 0, PPS_NOPERSIST}},
        {"[i]toolbox::hammer,\n",
         {PPS_ATTRIBUTE, "", "toolbox", "", "hammer,", 0, PPS_ITEM, PPS_ITEM}},
        {"[n,-i]@obj\n",
         {PPS_OBJECT, "obj", "", "", "", 0, PPS_NOPERSIST, PPS_NOPERSIST | PPS_ITEM}},
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

}  // namespace

// SPDX-License-Identifier: Apache-2.0
// slogf: exact text and severity reach the capture hook; bad calls fail.
#include <sys/slog.h>
#include <sys/slogcodes.h>

#include <errno.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "slog_capture.h"

namespace {

struct Line {
    int code, severity;
    std::string text;
};

void capture(void *ctx, int code, int severity, const char *text) {
    static_cast<std::vector<Line> *>(ctx)->push_back({code, severity, text});
}

// Texts longer than the stack buffer, and exactly its size, come whole.
TEST(Slogf, CapturesFormattedLinesWithCodeAndSeverity) {
    std::vector<Line> lines;
    slog_set_capture(capture, &lines);
    const std::string longer(2000, 'z'), edge(512, 'e');
    EXPECT_EQ(slogf(0x0640000A, _SLOG_CRITICAL, "Invalid user/group specified [%s]", "abc"), 34);
    EXPECT_EQ(slogf(_SLOG_SETCODE(_SLOGC_TEST, 3), _SLOG_DEBUG1, "%s", longer.c_str()), 2000);
    EXPECT_EQ(slogf(7, _SLOG_DEBUG2, "%s", edge.c_str()), 512);
    errno = 0;
    EXPECT_EQ(slogf(1, 8, "x"), -1);
    EXPECT_EQ(errno, EINVAL);
    slog_set_capture(nullptr, nullptr);
    EXPECT_EQ(slogf(0x0640000A, _SLOG_DEBUG1, "exiting %s", "test"), 12);  // to syslog

    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].code, 0x0640000A);
    EXPECT_EQ(lines[0].severity, _SLOG_CRITICAL);
    EXPECT_EQ(lines[0].text, "Invalid user/group specified [abc]");
    EXPECT_EQ(lines[1].text, longer);
    EXPECT_EQ(_SLOG_GETMAJOR(lines[1].code), _SLOGC_TEST);
    EXPECT_EQ(_SLOG_GETMINOR(lines[1].code), 3);
    EXPECT_EQ(lines[2].severity, _SLOG_DEBUG2);
    EXPECT_EQ(lines[2].text, edge);
}

}  // namespace

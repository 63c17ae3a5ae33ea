// SPDX-License-Identifier: Apache-2.0
// slogf: exact text, code and severity reach the capture hook; bad calls fail.
#include <sys/slog.h>
#include <sys/slogcodes.h>

#include <errno.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "slog_capture.h"

namespace {

void capture(void *ctx, int code, int severity, const char *text) {
    static_cast<std::vector<std::string> *>(ctx)->push_back(std::to_string(code) + " " +
                                                            std::to_string(severity) + " " + text);
}

// Texts longer than the stack buffer, and exactly its size, come whole.
TEST(Slogf, CapturesFormattedLinesWithCodeAndSeverity) {
    std::vector<std::string> lines;
    slog_set_capture(capture, &lines);
    const std::string longer(2000, 'z'), edge(512, 'e');
    const int code = _SLOG_SETCODE(_SLOGC_TEST, 3);
    EXPECT_EQ(slogf(0x0640000A, _SLOG_CRITICAL, "Invalid user/group specified [%s]", "abc"), 34);
    EXPECT_EQ(slogf(code, _SLOG_DEBUG1, "%s", longer.c_str()), 2000);
    EXPECT_EQ(slogf(7, _SLOG_DEBUG2, "%s", edge.c_str()), 512);
    errno = 0;
    EXPECT_EQ(slogf(1, 8, "x"), -1);
    EXPECT_EQ(errno, EINVAL);
    slog_set_capture(nullptr, nullptr);
    EXPECT_EQ(slogf(0x0640000A, _SLOG_DEBUG1, "exiting %s", "test"), 12);  // to syslog
    EXPECT_EQ(lines, (std::vector<std::string>{
                         std::to_string(0x0640000A) + " 1 Invalid user/group specified [abc]",
                         std::to_string(code) + " 6 " + longer, "7 7 " + edge}));
}

}  // namespace

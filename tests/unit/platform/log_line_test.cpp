// SPDX-License-Identifier: Apache-2.0
// The shared log line: its exact form for a terminal or file and for the
// journal; control characters cannot forge a line; a long text is cut but
// still ends the line.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <regex>
#include <string>

#include "log_line.h"

namespace {

std::string Format(int journal, int priority, const std::string &text, size_t size = 2048) {
    std::string buf(size, '#');
    size_t n = log_line_format(&buf[0], size, journal, priority, text.c_str());
    EXPECT_LT(n, size);
    EXPECT_EQ(buf[n], '\0');
    return buf.substr(0, n);
}

TEST(LogLine, Forms) {
    const std::string stamp = R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d)";
    const std::string who = "log_line_test\\[" + std::to_string(getpid()) + "\\]: ";
    const struct {
        int journal, priority;
        std::string text, line;  // line: a regular expression, but for the journal
    } cases[] = {
        {0, LOG_ERR, "cannot mount", stamp + " " + who + "error: cannot mount\n"},
        {0, LOG_WARNING, "one line end\n", stamp + " " + who + "warning: one line end\n"},
        {0, LOG_DEBUG, "a\nb\x1b[2J\x7f",
         stamp + " " + who + R"(debug: a\\x0Ab\\x1B\[2J\\x7F)" + "\n"},
        {0, 42, "out of range", stamp + " " + who + "debug: out of range\n"},
        {1, LOG_NOTICE, "scenario replaced", "<5>scenario replaced\n"},
        {1, LOG_CRIT, "x\ty", "<2>x\\x09y\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        const std::string line = Format(c.journal, c.priority, c.text);
        if (c.journal)
            EXPECT_EQ(line, c.line);
        else
            EXPECT_TRUE(std::regex_match(line, std::regex(c.line))) << line;
    }
}

TEST(LogLine, LongTextIsCutAndStillEndsTheLine) {
    const std::string text(5000, 'x');
    for (size_t size : {2u, 10u, 64u, 2048u}) {
        SCOPED_TRACE(size);
        const std::string line = Format(1, LOG_INFO, text, size);
        EXPECT_EQ(line.size(), size - 1);
        EXPECT_EQ(line.back(), '\n');
        EXPECT_EQ(line.find('#'), std::string::npos);
    }
    // An escape never cut in half.
    const std::string esc = Format(1, LOG_INFO, std::string(100, '\x01'), 20);
    EXPECT_EQ(esc, "<6>\\x01\\x01\\x01\n");
}

TEST(LogLine, LevelNamesRoundTrip) {
    for (int p = LOG_EMERG; p <= LOG_DEBUG; p++)
        EXPECT_EQ(log_line_parse_level(log_line_level_name(p)), p) << p;
    for (const char *bad : {"warn", ""}) EXPECT_EQ(log_line_parse_level(bad), -1) << bad;
}

// The journal's form only where JOURNAL_STREAM names this very file, not
// another one on the same device.
TEST(LogLine, JournalIsTheStreamJournalStreamNames) {
    FILE *file = tmpfile(), *other = tmpfile();
    ASSERT_TRUE(file != nullptr && other != nullptr);
    struct stat st;
    ASSERT_EQ(fstat(fileno(file), &st), 0);
    const std::string named = std::to_string(st.st_dev) + ":" +
                              std::to_string(static_cast<unsigned long long>(st.st_ino));
    const struct {
        const char *env;  // "": unset
        FILE *stream;
        int journal;
    } cases[] = {
        {"", file, 0}, {named.c_str(), file, 1}, {named.c_str(), other, 0}, {"garbage", file, 0}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.env);
        *c.env ? setenv("JOURNAL_STREAM", c.env, 1) : unsetenv("JOURNAL_STREAM");
        EXPECT_EQ(log_line_is_journal(fileno(c.stream)), c.journal);
    }
    unsetenv("JOURNAL_STREAM");
    fclose(file);
    fclose(other);
}

}  // namespace

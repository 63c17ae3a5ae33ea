/* SPDX-License-Identifier: Apache-2.0 */
#include "log_line.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

extern char *program_invocation_short_name;

static const char *const level_names[8] = {
    "emergency", "alert", "critical", "error", "warning", "notice", "info", "debug",
};

const char *log_line_level_name(int priority) {
    return priority >= 0 && priority < 8 ? level_names[priority] : "debug";
}

int log_line_parse_level(const char *name) {
    for (int i = 0; i < 8; i++)
        if (strcmp(name, level_names[i]) == 0) return i;
    return -1;
}

int log_line_is_journal(int fd) {
    const char *stream = getenv("JOURNAL_STREAM");
    unsigned long long dev, ino;
    struct stat st;
    if (stream == NULL || sscanf(stream, "%llu:%llu", &dev, &ino) != 2) return 0;
    if (fstat(fd, &st) != 0) return 0;
    return (unsigned long long)st.st_dev == dev && (unsigned long long)st.st_ino == ino;
}

/* "2025-01-31T12:00:00.123+01:00" */
static size_t format_time(char *buf, size_t size) {
    struct timespec now;
    struct tm tm;
    char zone[8];
    clock_gettime(CLOCK_REALTIME, &now);
    localtime_r(&now.tv_sec, &tm);
    size_t n = strftime(buf, size, "%Y-%m-%dT%H:%M:%S", &tm);
    if (strftime(zone, sizeof zone, "%z", &tm) != 5) strcpy(zone, "+0000");
    int m = snprintf(buf + n, size - n, ".%03ld%.3s:%s", now.tv_nsec / 1000000, zone, zone + 3);
    return m > 0 && (size_t)m < size - n ? n + (size_t)m : n;
}

size_t log_line_format(char *buf, size_t size, int journal, int priority, const char *text) {
    int head;
    if (journal) {
        /* The journal keeps the priority as a field of its own (journalctl
         * -p filters on it): a level word in the text would say it twice,
         * and the daemon's syslog(3) lines have none. */
        head = snprintf(buf, size, "<%d>", priority < 0 || priority > 7 ? 7 : priority);
    } else {
        char stamp[40];
        format_time(stamp, sizeof stamp);
        head = snprintf(buf, size, "%s %s[%d]: %s: ", stamp, program_invocation_short_name,
                        (int)getpid(), log_line_level_name(priority));
    }
    /* Room for the line end and the NUL after the text. */
    const size_t end = size - 2;
    if (head < 0) head = 0;
    size_t n = (size_t)head < end ? (size_t)head : end;
    size_t len = strlen(text);
    if (len > 0 && text[len - 1] == '\n') len--; /* a text's own line end */
    for (size_t i = 0; i < len && n < end; i++) {
        unsigned char c = (unsigned char)text[i];
        if (c < 0x20 || c == 0x7f) {
            if (n + 4 > end) break;
            snprintf(buf + n, 5, "\\x%02X", c);
            n += 4;
        } else {
            buf[n++] = (char)c;
        }
    }
    buf[n++] = '\n';
    buf[n] = '\0';
    return n;
}

void log_line_write(int fd, int priority, const char *text) {
    char line[2048];
    size_t n = log_line_format(line, sizeof line, log_line_is_journal(fd), priority, text);
    int saved = errno; /* logging never changes what a caller reports */
    ssize_t ignored = write(fd, line, n);
    (void)ignored;
    errno = saved;
}

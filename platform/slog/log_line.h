/* SPDX-License-Identifier: Apache-2.0 */
/*
 * The one log line format of this system's Linux programs: the slogf
 * stand-in's lines on standard error and every tool's log.
 *
 *   2025-01-31T12:00:00.123+01:00 ppsfs[1234]: warning: TEXT
 *
 * local time to the millisecond with its offset, the program's name and
 * pid, the level (the syslog priority's name), the text. Control characters
 * in TEXT (a line end, an escape sequence a client put in an object) are
 * written as \xNN, so no caller can forge a second line or move a
 * terminal's cursor. When the file descriptor is the systemd journal's
 * stream (JOURNAL_STREAM names it), the line is "<4>TEXT": the journal
 * adds time, name and pid itself and takes the priority from <N>, so its
 * entries read as the daemon's syslog(3) lines do.
 */
#ifndef PLATFORM_SLOG_LOG_LINE_H
#define PLATFORM_SLOG_LOG_LINE_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The level names, most severe first; index = syslog priority (LOG_EMERG 0
 * to LOG_DEBUG 7). A priority outside 0..7 is named "debug". */
const char *log_line_level_name(int priority);

/* The priority of a level name ("error", "warning", ...), or -1. */
int log_line_parse_level(const char *name);

/* Formats one line, ending with a line end, into buf (size at least 2; a longer
 * line is cut and still ends with a line end). journal selects the
 * journal's form. Returns the length written, without a terminating NUL
 * counted (one is written). */
size_t log_line_format(char *buf, size_t size, int journal, int priority, const char *text);

/* Non-zero when fd is the journal's stream named by JOURNAL_STREAM. */
int log_line_is_journal(int fd);

/* Formats and writes one line to fd with a single write(), so the lines of
 * several processes or threads never run together. */
void log_line_write(int fd, int priority, const char *text);

#ifdef __cplusplus
}
#endif

#endif /* PLATFORM_SLOG_LOG_LINE_H */

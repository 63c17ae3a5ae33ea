/* SPDX-License-Identifier: Apache-2.0 */
/*
 * <sys/slog.h> for Linux: the QNX system-logger call slogf. Each call becomes
 * one syslog(3) line (ident = program name), with the QNX severity mapped to
 * the syslog priority and the code written at the start of the line; with no
 * syslog socket, one line on standard error instead.
 */
#ifndef PLATFORM_SYS_SLOG_H
#define PLATFORM_SYS_SLOG_H

#include <stdarg.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Severities: 0 is the most severe, 7 the least. */
#define _SLOG_SHUTDOWN 0
#define _SLOG_CRITICAL 1
#define _SLOG_ERROR 2
#define _SLOG_WARNING 3
#define _SLOG_NOTICE 4
#define _SLOG_INFO 5
#define _SLOG_DEBUG1 6
#define _SLOG_DEBUG2 7

/* A log code: major number in the upper 16 bits, minor in the lower 16. */
#define _SLOG_SETCODE(major, minor) \
    ((int)((((unsigned)(major)) << 16) | ((unsigned)(minor)&0xffffu)))
#define _SLOG_GETMAJOR(code) ((int)(((unsigned)(code) >> 16) & 0xffffu))
#define _SLOG_GETMINOR(code) ((int)((unsigned)(code)&0xffffu))

/* Formats one line and logs it. Returns the length of the formatted text, or
 * -1 with errno EINVAL for a severity outside 0..7 or a NULL format. */
int slogf(int opcode, int severity, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
int vslogf(int opcode, int severity, const char *fmt, va_list arg);

#ifdef __cplusplus
}
#endif

#endif /* PLATFORM_SYS_SLOG_H */

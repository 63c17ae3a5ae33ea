/*
 * slogf for Linux: one syslog(3) line per call. The line is the code in hex
 * followed by the formatted text; the QNX severity picks the priority. When
 * the environment variable SLOGF_STDERR is set the line is also copied to
 * standard error (syslog's LOG_PERROR), so a log can be watched without a
 * syslog daemon. Tests install a capture hook instead (slog_capture.h).
 */
#include <sys/slog.h>

#include <errno.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <syslog.h>

#include "slog_capture.h"

static slog_capture_fn capture_fn;
static void *capture_ctx;
static pthread_once_t open_once = PTHREAD_ONCE_INIT;

void slog_set_capture(slog_capture_fn fn, void *ctx)
{
    capture_fn = fn;
    capture_ctx = ctx;
}

static void open_log(void)
{
    int options = LOG_PID | LOG_NDELAY;
    if (getenv("SLOGF_STDERR") != NULL)
        options |= LOG_PERROR;
    /* ident NULL: syslog uses the program name */
    openlog(NULL, options, LOG_DAEMON);
}

static int priority_of(int severity)
{
    static const int map[8] = {
        LOG_EMERG,   /* _SLOG_SHUTDOWN */
        LOG_CRIT,    /* _SLOG_CRITICAL */
        LOG_ERR,     /* _SLOG_ERROR */
        LOG_WARNING, /* _SLOG_WARNING */
        LOG_NOTICE,  /* _SLOG_NOTICE */
        LOG_INFO,    /* _SLOG_INFO */
        LOG_DEBUG,   /* _SLOG_DEBUG1 */
        LOG_DEBUG,   /* _SLOG_DEBUG2 */
    };
    return map[severity];
}

int vslogf(int opcode, int severity, const char *fmt, va_list arg)
{
    if (fmt == NULL || severity < _SLOG_SHUTDOWN || severity > _SLOG_DEBUG2) {
        errno = EINVAL;
        return -1;
    }
    char small[512];
    char *text = small;
    char *big = NULL;
    va_list copy;
    va_copy(copy, arg);
    int len = vsnprintf(small, sizeof small, fmt, copy);
    va_end(copy);
    if (len < 0)
        return -1;
    if ((size_t)len >= sizeof small) {
        big = malloc((size_t)len + 1);
        if (big == NULL) {
            errno = ENOMEM;
            return -1;
        }
        vsnprintf(big, (size_t)len + 1, fmt, arg);
        text = big;
    }

    if (capture_fn != NULL) {
        capture_fn(capture_ctx, opcode, severity, text);
    } else {
        pthread_once(&open_once, open_log);
        syslog(priority_of(severity), "0x%08X %s", (unsigned)opcode, text);
    }
    free(big);
    return len;
}

int slogf(int opcode, int severity, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int r = vslogf(opcode, severity, fmt, ap);
    va_end(ap);
    return r;
}

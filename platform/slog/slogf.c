/* SPDX-License-Identifier: Apache-2.0 */
/*
 * slogf for Linux: one syslog(3) line per call. The line is the code in hex
 * followed by the formatted text; the QNX severity picks the priority. When
 * there is no syslog socket the line goes to standard error instead, in the
 * log format of every program here (log_line.h), so a program that fails
 * at start says why even where no syslog daemon runs. SLOGF_STDERR set in
 * the environment copies every line to standard error also when there is a
 * socket; SLOGF_QUIET set writes nothing to standard error. Tests install a
 * capture hook instead (slog_capture.h).
 *
 * Logging sits on the daemon's request path, so it stays cheap: when no
 * syslog socket exists (no syslog daemon, as in a test namespace) syslog(3)
 * is not called at all -- glibc would try to reconnect on every line -- and
 * the socket's presence is checked again at most every few seconds.
 */
#include <sys/slog.h>

#include <errno.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include "log_line.h"
#include "slog_capture.h"

static slog_capture_fn capture_fn;
static void *capture_ctx;
static pthread_once_t open_once = PTHREAD_ONCE_INIT;

void slog_set_capture(slog_capture_fn fn, void *ctx) {
    capture_fn = fn;
    capture_ctx = ctx;
}

static int stderr_copy, stderr_quiet;
static pthread_mutex_t check_lock = PTHREAD_MUTEX_INITIALIZER;
static time_t syslog_checked;
static int syslog_present;

static void open_log(void) {
    stderr_copy = getenv("SLOGF_STDERR") != NULL;
    stderr_quiet = getenv("SLOGF_QUIET") != NULL;
    /* ident NULL: syslog uses the program name */
    openlog(NULL, LOG_PID, LOG_DAEMON);
}

static int syslog_available(void) {
    time_t now = time(NULL);
    pthread_mutex_lock(&check_lock);
    if (syslog_checked == 0 || now - syslog_checked >= 5) {
        syslog_checked = now;
        syslog_present = access("/dev/log", W_OK) == 0;
    }
    int present = syslog_present;
    pthread_mutex_unlock(&check_lock);
    return present;
}

static int priority_of(int severity) {
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

int vslogf(int opcode, int severity, const char *fmt, va_list arg) {
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
    if (len < 0) return -1;
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
        const int to_syslog = syslog_available();
        if (to_syslog) syslog(priority_of(severity), "0x%08X %s", (unsigned)opcode, text);
        if (!stderr_quiet && (stderr_copy || !to_syslog)) {
            char line[1024];
            snprintf(line, sizeof line, "0x%08X %s", (unsigned)opcode, text);
            log_line_write(STDERR_FILENO, priority_of(severity), line);
        }
    }
    free(big);
    return len;
}

int slogf(int opcode, int severity, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    int r = vslogf(opcode, severity, fmt, ap);
    va_end(ap);
    return r;
}

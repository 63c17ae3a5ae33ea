/* SPDX-License-Identifier: Apache-2.0 */
/*
 * Test-only hook of the Linux slogf: while a capture function is installed,
 * every slogf line goes to it (code, severity, the formatted text) instead of
 * syslog. Not part of the QNX API; only tests and benchmarks include it.
 */
#ifndef PLATFORM_SLOG_CAPTURE_H
#define PLATFORM_SLOG_CAPTURE_H

#ifdef __cplusplus
extern "C" {
#endif

typedef void (*slog_capture_fn)(void *ctx, int code, int severity, const char *text);

/* Installs fn (NULL restores syslog). Not thread-safe: call it while no
 * other thread logs. */
void slog_set_capture(slog_capture_fn fn, void *ctx);

#ifdef __cplusplus
}
#endif

#endif /* PLATFORM_SLOG_CAPTURE_H */

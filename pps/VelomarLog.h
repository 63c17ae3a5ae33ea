/* SPDX-License-Identifier: Apache-2.0 */
// The system-logger code under which every line of the diagnostic service is
// written with slogf, shared by pps/, diag/ and service/ so that the value is
// defined in one place. Severities are the <sys/slog.h> constants:
// _SLOG_CRITICAL (1), _SLOG_ERROR (2), _SLOG_WARNING (3), _SLOG_DEBUG1 (6).
#ifndef PPS_VELOMARLOG_H
#define PPS_VELOMARLOG_H

#include <sys/slog.h>

constexpr int kVelomarLogCode = 0x0640000A;

#endif  // PPS_VELOMARLOG_H

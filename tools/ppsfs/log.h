/* SPDX-License-Identifier: Apache-2.0 */
// The log of ppsfs: what it rejects (writes that are not PPS text, bad
// qualifiers, a second server), at level notice, and what goes wrong with
// saved state, at warning or error. One line per event in the tools' shared
// format (ToolLog.h), to standard error, a file or syslog.
#ifndef TOOLS_PPSFS_LOG_H
#define TOOLS_PPSFS_LOG_H

#include <syslog.h>

#include <string>

namespace ppsfs {

// "" or "-": standard error; "syslog": syslog(3); anything else: a file
// opened for append (toollog::SetTarget). Returns false with the reason in
// *error (and keeps standard error) when the file cannot be opened.
bool OpenLog(const std::string &target, std::string *error = nullptr);

// A refusal: what a client asked for and was refused (level notice).
void Logf(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// Anything else, at a syslog priority (LOG_ERR, LOG_WARNING, LOG_INFO, ...).
void LogAt(int priority, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

}  // namespace ppsfs

#endif

/* SPDX-License-Identifier: Apache-2.0 */
// The log of a tool (ppsfs, techmode-sim, diagctl): one line per event, in
// the format every program here shares (platform/slog/log_line.h: time,
// program and pid, level, text), to standard error, a file or syslog.
// Lines less severe than the level set with --log-level are dropped.
// Safe to call from several threads once set up; SetTarget and SetLevel
// are for main(), before other threads start.
#ifndef TOOLS_COMMON_TOOLLOG_H
#define TOOLS_COMMON_TOOLLOG_H

#include <syslog.h>

#include <cstdarg>
#include <string>

namespace toollog {

// What --log-level takes, most severe first, and its help text.
extern const char *const kLevelNames[5];
extern const char kLevelHelp[];

// "" or "-": standard error (the default); "syslog": syslog(3) with the
// program's name; anything else: a file opened for append as
// toolfile::OpenForWriting opens it (never through a link, never another
// user's file that was planted for us). False with the reason in *error
// when the file cannot be opened or is refused (the target is kept). A
// file set before is closed.
bool SetTarget(const std::string &target, std::string *error = nullptr);

// Drops lines less severe than priority (LOG_ERR .. LOG_DEBUG). Default
// LOG_INFO.
void SetLevel(int priority);

// A level's name to its priority; false for a name not in kLevelNames.
bool ParseLevel(const std::string &name, int *priority);

// True when a line at priority would be written.
bool Enabled(int priority);

void Log(int priority, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void VLog(int priority, const char *fmt, va_list ap);

}  // namespace toollog

#endif

// SPDX-License-Identifier: Apache-2.0
#include "ToolLog.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>

#include "OwnFile.h"
#include "log_line.h"

namespace toollog {

const char *const kLevelNames[5] = {"error", "warning", "notice", "info", "debug"};
const char kLevelHelp[] =
    "Log only lines at least this severe: error, warning, notice, info (default) or debug";

namespace {
int g_fd = STDERR_FILENO;  // where lines go unless g_syslog
bool g_syslog = false;
std::atomic<int> g_level{LOG_INFO};
}  // namespace

bool SetTarget(const std::string &target, std::string *error) {
    int fd = STDERR_FILENO;
    if (target == "syslog") {
        openlog(nullptr, LOG_PID, LOG_DAEMON);  // ident: the program's name
    } else if (!target.empty() && target != "-") {
        std::string why;
        fd = toolfile::OpenForWriting(target, O_WRONLY | O_CREAT | O_APPEND, 0666, &why);
        if (fd < 0) {
            if (error != nullptr) *error = why;
            return false;
        }
    }
    // A file is kept open until another target replaces it.
    if (g_fd != STDERR_FILENO) close(g_fd);
    g_fd = fd;
    g_syslog = target == "syslog";
    return true;
}

void SetLevel(int priority) {
    g_level = priority;
}

bool ParseLevel(const std::string &name, int *priority) {
    for (const char *n : kLevelNames) {
        if (name == n) {
            *priority = log_line_parse_level(n);
            return true;
        }
    }
    return false;
}

bool Enabled(int priority) {
    return priority <= g_level;
}

void VLog(int priority, const char *fmt, va_list ap) {
    if (!Enabled(priority)) return;
    char text[1024];
    std::vsnprintf(text, sizeof text, fmt, ap);
    if (g_syslog) {
        syslog(priority, "%s", text);
    } else {
        log_line_write(g_fd, priority, text);
    }
}

void Log(int priority, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    VLog(priority, fmt, ap);
    va_end(ap);
}

}  // namespace toollog

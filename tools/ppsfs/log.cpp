#include "log.h"

#include <cstdarg>
#include <cstdio>
#include <syslog.h>

namespace ppsfs {

namespace {
FILE *g_file = nullptr;  // nullptr with g_syslog false: standard error
bool g_syslog = false;
}  // namespace

bool OpenLog(const std::string &target) {
    if (target.empty() || target == "-") return true;
    if (target == "syslog") {
        openlog("ppsfs", LOG_PID, LOG_DAEMON);
        g_syslog = true;
        return true;
    }
    FILE *f = std::fopen(target.c_str(), "ae");
    if (f == nullptr) return false;
    setvbuf(f, nullptr, _IOLBF, 0);
    g_file = f;
    return true;
}

void Logf(const char *fmt, ...) {
    char line[1024];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    if (g_syslog) {
        syslog(LOG_NOTICE, "%s", line);
    } else {
        std::fprintf(g_file != nullptr ? g_file : stderr, "ppsfs: %s\n", line);
    }
}

}  // namespace ppsfs

// SPDX-License-Identifier: Apache-2.0
#include "log.h"

#include <cstdarg>

#include "ToolLog.h"

namespace ppsfs {

bool OpenLog(const std::string &target, std::string *error) {
    return toollog::SetTarget(target, error);
}

void Logf(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    toollog::VLog(LOG_NOTICE, fmt, ap);
    va_end(ap);
}

void LogAt(int priority, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    toollog::VLog(priority, fmt, ap);
    va_end(ap);
}

}  // namespace ppsfs

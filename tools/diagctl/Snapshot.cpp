// SPDX-License-Identifier: Apache-2.0
#include "Snapshot.h"

#include <cstdio>

namespace diagctl {

namespace {

double Since(const struct timespec &start) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec - start.tv_sec) * 1e3 +
           static_cast<double>(now.tv_nsec - start.tv_nsec) / 1e6;
}

}  // namespace

std::string UtcTime(const struct timespec &ts) {
    struct tm tm;
    gmtime_r(&ts.tv_sec, &tm);
    char buf[96];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03ldZ", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                  static_cast<long>(ts.tv_nsec / 1000000 % 1000));
    return buf;
}

Snapshot Take(const Screen &screen, const Paths &paths, int timeout_ms, bool mask,
              const volatile sig_atomic_t *interrupted) {
    Snapshot s;
    struct timespec wall, start;
    clock_gettime(CLOCK_REALTIME, &wall);
    clock_gettime(CLOCK_MONOTONIC, &start);
    s.timing.time = UtcTime(wall);
    if (screen.request) {
        Outcome o = Exchange(paths, screen.command, timeout_ms, interrupted, &s.result.response);
        s.timing.latency_ms = Since(start);
        if (!o.ok()) {
            s.status = o.status;
            s.error = o.message;
            return s;
        }
        s.result.present = true;
    }
    const std::string path = paths.Status(screen.object);
    std::string text;
    Outcome o = ReadObject(path, &text);
    if (!screen.request) s.timing.latency_ms = Since(start);
    if (!o.ok()) {
        s.status = o.status;
        s.error = o.message;
        return s;
    }
    PpsObject object;
    std::string why;
    if (!ParsePpsObject(text, &object, &why)) {
        s.status = kExitError;
        s.error = path + ": " + why;
        return s;
    }
    s.own = OwnAttributes(screen, object.attributes);
    if (mask) MaskSecrets(screen, &s.own);
    if (s.result.present) {
        const int64_t err = s.result.response.err;
        s.status = err == 0 ? kExitSuccess : kExitFailure;
        s.heading = err == 0 ? "SUCCESS" : "FAILURE (err " + std::to_string(err) + ")";
    } else if (s.own.members.empty()) {
        s.status = kExitFailure;
        s.heading = "nothing published yet";
    }
    return s;
}

std::string RecordLine(const Screen &screen, const Snapshot &snapshot) {
    if (!snapshot.shown())
        return RenderErrorJson(screen, snapshot.timing, snapshot.status, snapshot.error);
    return RenderJson(screen, snapshot.own, snapshot.result, snapshot.timing);
}

}  // namespace diagctl

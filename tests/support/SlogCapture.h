/* SPDX-License-Identifier: Apache-2.0 */
// Test support: slogf lines are dropped while a SlogCapture lives, so that
// the warnings a test provokes on purpose stay out of the log.
#ifndef TESTS_SUPPORT_SLOGCAPTURE_H
#define TESTS_SUPPORT_SLOGCAPTURE_H

#include "slog_capture.h"

namespace testsupport {

class SlogCapture {
  public:
    SlogCapture() {
        slog_set_capture([](void *, int, int, const char *) {}, nullptr);
    }
    ~SlogCapture() { slog_set_capture(nullptr, nullptr); }
    SlogCapture(const SlogCapture &) = delete;
    SlogCapture &operator=(const SlogCapture &) = delete;
};

}  // namespace testsupport

#endif  // TESTS_SUPPORT_SLOGCAPTURE_H

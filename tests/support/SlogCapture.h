/* SPDX-License-Identifier: Apache-2.0 */
// Test support: every slogf line while a SlogCapture lives, as
// "<severity> <text>", with the code each was logged under.
#ifndef TESTS_SUPPORT_SLOGCAPTURE_H
#define TESTS_SUPPORT_SLOGCAPTURE_H

#include <algorithm>
#include <string>
#include <vector>

#include "slog_capture.h"

namespace testsupport {

class SlogCapture {
  public:
    SlogCapture() { slog_set_capture(&SlogCapture::Add, this); }
    ~SlogCapture() { slog_set_capture(nullptr, nullptr); }
    SlogCapture(const SlogCapture &) = delete;
    SlogCapture &operator=(const SlogCapture &) = delete;

    bool Has(const std::string &line) const {
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }
    // Whether every line was logged under code.
    bool AllCode(int code) const {
        return std::all_of(codes.begin(), codes.end(), [code](int c) { return c == code; });
    }

    std::vector<std::string> lines;
    std::vector<int> codes;  // one per line

  private:
    static void Add(void *ctx, int code, int severity, const char *text) {
        auto *self = static_cast<SlogCapture *>(ctx);
        self->lines.push_back(std::to_string(severity) + " " + text);
        self->codes.push_back(code);
    }
};

}  // namespace testsupport

#endif  // TESTS_SUPPORT_SLOGCAPTURE_H

/* SPDX-License-Identifier: Apache-2.0 */
// What the fuzz targets share: a failed check prints why and aborts, which
// libFuzzer reports as a crash with the input that caused it. The message
// goes to a copy of standard error taken at start-up, so it is seen even when
// libFuzzer closes the target's own output (-close_fd_mask).
#ifndef TESTS_FUZZ_FUZZ_CHECK_H
#define TESTS_FUZZ_FUZZ_CHECK_H

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

namespace fuzzcheck {

inline int &ReportFd() {
    static int fd = 2;
    return fd;
}

// Call from LLVMFuzzerInitialize, which runs before libFuzzer closes anything.
inline void KeepReportFd() {
    const int fd = dup(2);
    if (fd >= 0) ReportFd() = fd;
}

// Aborts, saying why, unless ok.
inline void Check(bool ok, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
inline void Check(bool ok, const char *fmt, ...) {
    if (ok) return;
    va_list ap;
    va_start(ap, fmt);
    dprintf(ReportFd(), "fuzz check failed: ");
    vdprintf(ReportFd(), fmt, ap);
    dprintf(ReportFd(), "\n");
    va_end(ap);
    abort();
}

}  // namespace fuzzcheck

#endif  // TESTS_FUZZ_FUZZ_CHECK_H

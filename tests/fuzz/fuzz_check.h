/* SPDX-License-Identifier: Apache-2.0 */
// What the fuzz targets share: a failed check prints why and aborts, which
// libFuzzer reports as a crash with the input that caused it.
#ifndef TESTS_FUZZ_FUZZ_CHECK_H
#define TESTS_FUZZ_FUZZ_CHECK_H

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

namespace fuzzcheck {

// A copy of standard error taken at start-up, before libFuzzer may close the
// target's own output (-close_fd_mask): the message is seen all the same.
inline const int kReportFd = dup(2);

// Aborts, saying why, unless ok.
inline void Check(bool ok, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
inline void Check(bool ok, const char *fmt, ...) {
    if (ok) return;
    va_list ap;
    va_start(ap, fmt);
    dprintf(kReportFd, "fuzz check failed: ");
    vdprintf(kReportFd, fmt, ap);
    dprintf(kReportFd, "\n");
    va_end(ap);
    abort();
}

}  // namespace fuzzcheck

#endif  // TESTS_FUZZ_FUZZ_CHECK_H

// SPDX-License-Identifier: Apache-2.0
#include "fake_techmode.h"

#include <errno.h>
#include <stdarg.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

FakeTechMode g_fakeTechMode;

extern "C" int ioctl(int fd, unsigned long request, ...) {
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    if (fd != kFakeTechModeFd) return static_cast<int>(syscall(SYS_ioctl, fd, request, arg));
    if (request != DEVCTL_IOC_XFER) {
        errno = ENOTTY;
        return -1;
    }
    auto *x = static_cast<devctl_xfer *>(arg);
    FakeTechMode &dev = g_fakeTechMode;
    dev.calls++;
    dev.request = *x;
    const size_t n = dev.reply.size() < DEVCTL_XFER_MAX ? dev.reply.size() : DEVCTL_XFER_MAX;
    if (n > 0) memcpy(x->data, dev.reply.data(), n);
    x->recv_len = static_cast<uint32_t>(n);
    x->status = dev.status;
    x->info = 0;
    return 0;
}

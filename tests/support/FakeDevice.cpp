// SPDX-License-Identifier: Apache-2.0
#include "FakeDevice.h"

#include <stdarg.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>

testsupport::FakeDevice &testsupport::Device() {
    static FakeDevice device;
    return device;
}

extern "C" int ioctl(int fd, unsigned long request, ...) {
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    if (fd != testsupport::kFakeDeviceFd)
        return static_cast<int>(syscall(SYS_ioctl, fd, request, arg));
    if (request != DEVCTL_IOC_XFER) {
        errno = ENOTTY;
        return -1;
    }
    auto *x = static_cast<devctl_xfer *>(arg);
    testsupport::FakeDevice &dev = testsupport::Device();
    dev.calls++;
    dev.request = *x;
    if (dev.answer) {
        dev.answer(*x);
        return 0;
    }
    const size_t n = std::min<size_t>(dev.reply.size(), DEVCTL_XFER_MAX);
    if (n > 0) memcpy(x->data, dev.reply.data(), n);
    x->recv_len = dev.claimedLen.value_or(static_cast<uint32_t>(n));
    x->status = dev.status;
    x->info = dev.info;
    return 0;
}

/* SPDX-License-Identifier: Apache-2.0 */
/*
 * devctlv for Linux: gathers the send parts into one devctl_xfer, issues one
 * DEVCTL_IOC_XFER ioctl and scatters the reply. Like devctl on QNX it returns
 * the error as its value instead of -1 and errno.
 */
#include <devctl.h>

#include <errno.h>
#include <string.h>
#include <sys/ioctl.h>

#include "devctl_xfer.h"

static size_t total_len(int parts, const iov_t *iov) {
    size_t total = 0;
    for (int i = 0; i < parts; i++) {
        size_t len = iov[i].iov_len;
        if (total + len < total) return (size_t)-1;
        total += len;
    }
    return total;
}

int devctlv(int fd, int dcmd, int sparts, int rparts, const iov_t *sv, const iov_t *rv,
            int *dev_info_ptr) {
    if (sparts < 0 || rparts < 0 || (sparts > 0 && sv == NULL) || (rparts > 0 && rv == NULL))
        return EINVAL;

    size_t send_len = total_len(sparts, sv);
    size_t room = total_len(rparts, rv);
    if (send_len > DEVCTL_XFER_MAX) return E2BIG;

    /* All zero, so that nothing of this stack reaches the device past the
     * request. One transfer carries at most DEVCTL_XFER_MAX reply bytes, so
     * that is the room a larger caller's buffer offers the device. */
    struct devctl_xfer xfer;
    memset(&xfer, 0, sizeof xfer);
    xfer.dcmd = (uint32_t)dcmd;
    xfer.send_len = (uint32_t)send_len;
    xfer.recv_len = (uint32_t)(room < DEVCTL_XFER_MAX ? room : DEVCTL_XFER_MAX);

    size_t off = 0;
    for (int i = 0; i < sparts; i++) {
        if (sv[i].iov_len > 0) memcpy(xfer.data + off, sv[i].iov_base, sv[i].iov_len);
        off += sv[i].iov_len;
    }

    if (ioctl(fd, DEVCTL_IOC_XFER, &xfer) == -1) return errno;

    if (dev_info_ptr != NULL) *dev_info_ptr = xfer.info;

    /* A device that claims more than the caller's room (or than the transfer
     * holds) gets truncated: the caller never receives more than it asked. */
    size_t got = xfer.recv_len;
    if (got > room) got = room;
    if (got > DEVCTL_XFER_MAX) got = DEVCTL_XFER_MAX;
    off = 0;
    for (int i = 0; i < rparts && off < got; i++) {
        size_t n = rv[i].iov_len;
        if (n > got - off) n = got - off;
        if (n > 0) memcpy(rv[i].iov_base, xfer.data + off, n);
        off += n;
    }
    return xfer.status;
}

int devctl(int fd, int dcmd, void *data, size_t nbytes, int *dev_info_ptr) {
    iov_t iov;
    SETIOV(&iov, data, nbytes);
    return devctlv(fd, dcmd, 1, 1, &iov, &iov, dev_info_ptr);
}

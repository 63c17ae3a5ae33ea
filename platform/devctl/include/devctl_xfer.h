/* SPDX-License-Identifier: Apache-2.0 */
/*
 * The wire format of devctl on Linux: one ioctl that carries a whole devctl
 * exchange. Shared by devctlv and by every tech-mode device (the simulator,
 * or a bridge to a real modem), which must implement DEVCTL_IOC_XFER exactly.
 *
 * The caller fills dcmd, send_len, recv_len (the room it has) and data; the
 * device answers in place: status (EOK or its errno value), info (what
 * devctl returns through dev_info_ptr), recv_len (bytes of reply at data[0]).
 */
#ifndef PLATFORM_DEVCTL_XFER_H
#define PLATFORM_DEVCTL_XFER_H

#include <stdint.h>
#include <sys/ioctl.h>

#define DEVCTL_XFER_MAX 4096

struct devctl_xfer {
    uint32_t dcmd;     /* the QNX command number, e.g. 0x1000 */
    uint32_t send_len; /* bytes of request at data[0] */
    uint32_t recv_len; /* in: room the caller has; out: bytes of reply at data[0] */
    int32_t status;    /* out: EOK or the device's errno value */
    int32_t info;      /* out: what devctl would return in *dev_info_ptr */
    uint32_t reserved; /* 0 */
    uint8_t data[DEVCTL_XFER_MAX];
};

#define DEVCTL_IOC_XFER _IOWR('Q', 0x01, struct devctl_xfer)

#endif /* PLATFORM_DEVCTL_XFER_H */

/* SPDX-License-Identifier: Apache-2.0 */
/*
 * <devctl.h> for Linux: devctlv, the IOV form of QNX devctl, with the dcmd
 * macros and iov_t. On Linux a devctlv is one ioctl (DEVCTL_IOC_XFER, see
 * devctl_xfer.h) to a device that implements it, such as a FUSE file system.
 */
#ifndef PLATFORM_DEVCTL_H
#define PLATFORM_DEVCTL_H

#include <stddef.h>
#include <stdint.h>
#include <errno.h>

#ifdef __cplusplus
extern "C" {
#endif

#ifndef EOK
#define EOK 0
#endif

typedef struct {
    void *iov_base;
    size_t iov_len;
} iov_t;

#define SETIOV(_iov, _addr, _len) \
    ((_iov)->iov_base = (void *)(_addr), (_iov)->iov_len = (size_t)(_len))
#define GETIOVBASE(_iov) ((_iov)->iov_base)
#define GETIOVLEN(_iov) ((_iov)->iov_len)

/* Direction bits and the command layout: class in bits 8..15, command in
 * bits 0..7, size of the data (a hint only) in bits 16..29. */
#define _POSIX_DEVDIR_NONE 0
#define _POSIX_DEVDIR_TO 0x80000000u
#define _POSIX_DEVDIR_FROM 0x40000000u
#define _POSIX_DEVDIR_TOFROM (_POSIX_DEVDIR_TO | _POSIX_DEVDIR_FROM)
#define _DEVCTL_DATA(msg) ((void *)(&(msg) + 1))

#define _DCMD_ALL 0x01
#define _DCMD_FSYS 0x02
#define _DCMD_BLK _DCMD_FSYS
#define _DCMD_CHR 0x03
#define _DCMD_NET 0x04
#define _DCMD_MISC 0x05

#define __DIOF(class, cmd, data) \
    ((int)((sizeof(data) << 16) + ((class) << 8) + (cmd) + _POSIX_DEVDIR_FROM))
#define __DIOT(class, cmd, data) \
    ((int)((sizeof(data) << 16) + ((class) << 8) + (cmd) + _POSIX_DEVDIR_TO))
#define __DIOTF(class, cmd, data) \
    ((int)((sizeof(data) << 16) + ((class) << 8) + (cmd) + _POSIX_DEVDIR_TOFROM))
#define __DION(class, cmd) ((int)(((class) << 8) + (cmd)))

/*
 * Sends the sparts parts of sv, as one request, to the device behind fd with
 * the command dcmd, and scatters the reply into the rparts parts of rv (at
 * most their total room, and at most DEVCTL_XFER_MAX bytes). When
 * dev_info_ptr is not NULL it receives the device's extra status value.
 *
 * Returns EOK, or an errno value (never -1): E2BIG, before anything is sent,
 * when the request is larger than the transfer allows;
 * EINVAL for negative part counts or NULL parts; the ioctl's errno when the
 * ioctl fails (ENOTTY for a file that is not a devctl device); otherwise the
 * device's own status.
 */
int devctlv(int fd, int dcmd, int sparts, int rparts, const iov_t *sv, const iov_t *rv,
            int *dev_info_ptr);

/* The single-buffer form: data is both the request and the reply room. */
int devctl(int fd, int dcmd, void *data, size_t nbytes, int *dev_info_ptr);

#ifdef __cplusplus
}
#endif

#endif /* PLATFORM_DEVCTL_H */

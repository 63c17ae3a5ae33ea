/* SPDX-License-Identifier: Apache-2.0 */
// FUSE over io_uring. With it, Linux (6.14 and later, when the fuse
// module's enable_uring parameter is on) hands each request to the ring of
// the CPU its caller runs on, and ppsfs serves it on a thread pinned to that
// CPU: a request and its reply stay on one CPU, and a reply and the fetch
// of the next request are one system call. /dev/fuse stays open beside the
// rings for what the kernel still sends there (INIT, interrupts, forgets)
// and for poll notifications.
//
// Requests then reach the filesystem from several threads; FuseGlue's lock
// serializes them. A request whose reply is deferred (a parked read) keeps
// its ring entry until the reply, so each queue registers a new entry
// whenever one is kept, and always has spare ones with the kernel. The
// kernel takes no entry back, but the entries that serve no request give
// their payload pages back: a crowd of waiting readers costs little memory
// while it waits and leaves none behind.
#ifndef TOOLS_PPSFS_FUSE_RING_H
#define TOOLS_PPSFS_FUSE_RING_H

#include "fuse_glue.h"

#include <cstdio>
#include <string>

namespace ppsfs {

namespace ring {

// Takes over the session's device I/O (after fuse_session_mount): the INIT
// reply offers io_uring when the kernel does, and if it is taken the rings
// start then. Without the kernel's offer ppsfs serves /dev/fuse as before.
// False (and why) when the hooks cannot be installed. While the rings
// serve, `glue`'s parked reads are looked at for lost interrupts every
// 200 ms.
bool Install(struct fuse_session *se, FuseGlue *glue, const std::string &mountpoint,
             std::string *why);

// Whether the rings serve requests (after INIT).
bool Serving();

// Sends what is pending and ends the ring threads. Call once the session
// loop has ended and parked requests were answered.
void Stop();

// "Ring..." lines for --stats: requests served through the rings, entries
// registered, pumps (see fuse_ring.cpp).
void WriteStats(std::FILE *out);

}  // namespace ring

}  // namespace ppsfs

#endif

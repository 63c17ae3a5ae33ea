/* SPDX-License-Identifier: Apache-2.0 */
// What the tech-mode devices (techmode-sim, techmode-mm) share around their
// FUSE file: the --owner, --group and --mode options, and the guard that
// keeps exceptions out of libfuse. Not for anything that is not a FUSE
// callback.
#ifndef TOOLS_COMMON_DEVICEFILE_H
#define TOOLS_COMMON_DEVICEFILE_H

#include <errno.h>
#include <sys/types.h>

#include <exception>
#include <new>
#include <string>

#include "ToolLog.h"

struct fuse;
struct fuse_operations;

namespace devicefile {

// The device file's owner, group and mode from --owner, --group and --mode
// (an empty owner or group: the user starting it, and that user's group).
// False, with the reason on standard error as "program: --owner x: ...",
// for a user, group or mode there is not.
bool ParseAccess(const char *program, const std::string &owner, const std::string &group,
                 const std::string &mode, uid_t *uid, gid_t *gid, mode_t *bits);

// Mounts a tech-mode device's file system (fsname program; other users may
// reach a device mounted by root, modes enforced) at mountpoint and, unless
// foreground, daemonizes once it is mounted, so that whoever started it can
// use the device at once; standard error is kept (refused scenarios and
// -v lines still reach them). The fuse object, or nullptr (logged).
struct fuse *Mount(const char *argv0, const char *program, const std::string &mountpoint,
                   const struct fuse_operations &ops, bool foreground);

// Runs a FUSE callback so that no exception reaches libfuse, which is C and
// cannot unwind it (the program would end): the request fails with ENOMEM
// or EIO, the log says why, and the device serves on.
template <typename Sig, Sig *Fn>
struct Guard;
template <typename... Args, int (*Fn)(const char *, Args...)>
struct Guard<int(const char *, Args...), Fn> {
    static int Call(const char *path, Args... args) {
        try {
            return Fn(path, args...);
        } catch (const std::bad_alloc &) {
            toollog::Log(LOG_ERR, "%s: out of memory; the request fails with ENOMEM", path);
            return -ENOMEM;
        } catch (const std::exception &e) {
            toollog::Log(LOG_ERR, "%s: %s; the request fails with EIO", path, e.what());
        } catch (...) {
            toollog::Log(LOG_ERR, "%s: an unknown exception; the request fails with EIO", path);
        }
        return -EIO;
    }
};

}  // namespace devicefile

#endif

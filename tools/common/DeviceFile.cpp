// SPDX-License-Identifier: Apache-2.0
#define FUSE_USE_VERSION 35
// --owner, --group and --mode of the tech-mode devices (DeviceFile.h).
#include "DeviceFile.h"

#include <fuse.h>
#include <unistd.h>

#include <grp.h>
#include <pwd.h>
#include <stdlib.h>

#include <cstdio>

namespace devicefile {

namespace {

// A user or group id written as a decimal number: true and *id set, or
// false when text is not all digits or too large for an id.
bool ParseId(const std::string &text, unsigned long *id) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return false;
    errno = 0;
    unsigned long n = strtoul(text.c_str(), nullptr, 10);
    // (uid_t)-1 means "no change" to chown and is nobody's id.
    if (errno != 0 || n >= static_cast<unsigned long>(static_cast<uid_t>(-1))) return false;
    *id = n;
    return true;
}

// A user by name or number; false if there is no such user (or the number
// is no one's id, as (uid_t)-1).
bool ParseUser(const std::string &text, uid_t *uid) {
    unsigned long n;
    if (text.find_first_not_of("0123456789") == std::string::npos) {
        if (!ParseId(text, &n)) return false;
        *uid = static_cast<uid_t>(n);
        return true;
    }
    struct passwd *pw = getpwnam(text.c_str());
    if (pw == nullptr) return false;
    *uid = pw->pw_uid;
    return true;
}

// A group by name or number; false if there is no such group.
bool ParseGroup(const std::string &text, gid_t *gid) {
    unsigned long n;
    if (text.find_first_not_of("0123456789") == std::string::npos) {
        if (!ParseId(text, &n)) return false;
        *gid = static_cast<gid_t>(n);
        return true;
    }
    struct group *gr = getgrnam(text.c_str());
    if (gr == nullptr) return false;
    *gid = gr->gr_gid;
    return true;
}

// Permission bits in octal (0660); false for anything else, set-id and
// sticky bits included, which mean nothing for a device.
bool ParseMode(const std::string &text, mode_t *mode) {
    if (text.empty() || text.size() > 4 || text.find_first_not_of("01234567") != std::string::npos)
        return false;
    unsigned long n = strtoul(text.c_str(), nullptr, 8);
    if (n > 0777) return false;
    *mode = static_cast<mode_t>(n);
    return true;
}

}  // namespace

bool ParseAccess(const char *program, const std::string &owner, const std::string &group,
                 const std::string &mode, uid_t *uid, gid_t *gid, mode_t *bits) {
    *uid = geteuid();
    *gid = getegid();
    if (!owner.empty() && !ParseUser(owner, uid)) {
        fprintf(stderr, "%s: --owner %s: no such user\n", program, owner.c_str());
        return false;
    }
    if (!group.empty() && !ParseGroup(group, gid)) {
        fprintf(stderr, "%s: --group %s: no such group\n", program, group.c_str());
        return false;
    }
    if (!ParseMode(mode, bits)) {
        fprintf(stderr, "%s: --mode %s: must be permission bits in octal, 0 to 0777 (e.g. 0660)\n",
                program, mode.c_str());
        return false;
    }
    return true;
}

struct fuse *Mount(const char *argv0, const char *program, const std::string &mountpoint,
                   const struct fuse_operations &ops, bool foreground) {
    const std::string options =
        std::string("fsname=") + program +
        (getuid() == 0 ? ",default_permissions,allow_other" : ",default_permissions");
    struct fuse_args args = FUSE_ARGS_INIT(0, nullptr);
    fuse_opt_add_arg(&args, argv0);
    fuse_opt_add_arg(&args, "-o");
    fuse_opt_add_arg(&args, options.c_str());
    struct fuse *fuse = fuse_new(&args, &ops, sizeof ops, nullptr);
    fuse_opt_free_args(&args);
    if (fuse == nullptr) {
        toollog::Log(LOG_ERR, "cannot set up FUSE");
        return nullptr;
    }
    if (fuse_mount(fuse, mountpoint.c_str()) != 0) {
        toollog::Log(LOG_ERR, "cannot mount at %s", mountpoint.c_str());
        fuse_destroy(fuse);
        return nullptr;
    }
    const int saved_stderr = dup(STDERR_FILENO);  // daemonizing sends it to /dev/null
    if (fuse_daemonize(foreground ? 1 : 0) != 0) {
        fuse_unmount(fuse);
        fuse_destroy(fuse);
        return nullptr;
    }
    if (saved_stderr >= 0) {
        dup2(saved_stderr, STDERR_FILENO);
        close(saved_stderr);
    }
    return fuse;
}

}  // namespace devicefile

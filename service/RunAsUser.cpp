// SPDX-License-Identifier: Apache-2.0
#include "RunAsUser.h"

#include <ctype.h>
#include <errno.h>
#include <grp.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/types.h>
#include <unistd.h>

namespace {

int RunAsNumericUser(const char *spec) {
    char *end;
    uid_t uid = static_cast<uid_t>(strtol(spec, &end, 0));
    if (*end == ':') {
        long max = sysconf(_SC_NGROUPS_MAX);
        if (max < 0) max = 0;
        // Room for the system's maximum, so a long list is cut there rather
        // than refused.
        gid_t *groups = static_cast<gid_t *>(malloc(sizeof(gid_t) * static_cast<size_t>(max + 1)));
        if (groups == nullptr) return -1;
        gid_t gid = static_cast<gid_t>(strtol(end + 1, &end, 0));
        if (setgid(gid) == -1) {
            free(groups);
            return -1;
        }
        long n = 0;
        while (n < max && *end == ',') groups[n++] = static_cast<gid_t>(strtol(end + 1, &end, 0));
        int rc = setgroups(static_cast<size_t>(n), groups);
        free(groups);
        if (rc == -1) return -1;
    }
    return setuid(uid) == -1 ? -1 : 0;
}

int RunAsNamedUser(const char *name) {
    struct passwd *pw = getpwnam(name);
    if (pw == nullptr) {
        errno = EINVAL;
        return -1;
    }
    uid_t uid = pw->pw_uid;
    gid_t gid = pw->pw_gid;
    if (setgid(gid) == -1) return -1;
    if (initgroups(name, gid) == -1) return -1;
    return setuid(uid) == -1 ? -1 : 0;
}

}  // namespace

int RunAsUser(const char *spec) {
    if (isdigit(static_cast<unsigned char>(spec[0]))) return RunAsNumericUser(spec);
    return RunAsNamedUser(spec);
}

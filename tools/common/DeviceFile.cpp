// SPDX-License-Identifier: Apache-2.0
// --owner, --group and --mode of the tech-mode devices (DeviceFile.h).
#include "DeviceFile.h"

#include <grp.h>
#include <pwd.h>
#include <stdlib.h>

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

}  // namespace

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

bool ParseMode(const std::string &text, mode_t *mode) {
    if (text.empty() || text.size() > 4 || text.find_first_not_of("01234567") != std::string::npos)
        return false;
    unsigned long n = strtoul(text.c_str(), nullptr, 8);
    if (n > 0777) return false;
    *mode = static_cast<mode_t>(n);
    return true;
}

}  // namespace devicefile

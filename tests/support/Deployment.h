/* SPDX-License-Identifier: Apache-2.0 */
// The deployment layout that scripts/system.sh makes, for the tests that
// run the whole system as it is deployed: the daemon as its own user
// (-U velomar, started with umask 0), the tech-mode device 0660 to that
// user's group, the diag directory 0750 to the diagnostics group
// (velomar-diag). scripts/setup.sh creates the accounts; a test without
// them is skipped, saying so.
#ifndef TESTS_SUPPORT_DEPLOYMENT_H
#define TESTS_SUPPORT_DEPLOYMENT_H

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace testsupport {

struct Deployment {
    static constexpr const char *kDaemonUser = "velomar";
    static constexpr const char *kDiagGroup = "velomar-diag";
    static constexpr const char *kDiag = "/pps/services/radioctrl/modem0/diag";
    static constexpr const char *kNetworkTime = "/pps/services/network-time";
    static constexpr uid_t kNobody = 65534;  // an unprivileged user outside both groups

    uid_t daemon_uid = 0;
    gid_t daemon_gid = 0;  // the daemon user's group: the device's group
    gid_t diag_gid = 0;

    // Looks the accounts up; "" or why not (for GTEST_SKIP).
    std::string LookUp() {
        struct passwd *pw = getpwnam(kDaemonUser);
        struct group *gr = getgrnam(kDiagGroup);
        if (pw == nullptr || gr == nullptr)
            return std::string("no user ") + kDaemonUser + " or group " + kDiagGroup +
                   ": scripts/setup.sh creates them";
        daemon_uid = pw->pw_uid;
        daemon_gid = pw->pw_gid;
        diag_gid = gr->gr_gid;
        return "";
    }

    // On a mounted /pps: the diag directory (root, the diagnostics group,
    // 0750) and the network-time service's objects (0644). "" or what
    // failed.
    std::string MakeLayout() const {
        for (std::string dir : {"/pps/services", "/pps/services/radioctrl",
                                "/pps/services/radioctrl/modem0", kDiag, kNetworkTime})
            if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST)
                return "mkdir " + dir + ": " + strerror(errno);
        if (chown(kDiag, 0, diag_gid) != 0 || chmod(kDiag, 0750) != 0)
            return std::string("chown/chmod ") + kDiag + ": " + strerror(errno);
        for (const char *name : {"/control", "/status"}) {
            std::string path = std::string(kNetworkTime) + name;
            int fd = open(path.c_str(), O_WRONLY | O_CREAT, 0644);
            if (fd < 0) return "create " + path + ": " + strerror(errno);
            close(fd);
        }
        return "";
    }

    // techmode-sim's options for the device's owner, group and mode.
    std::vector<std::string> DeviceOptions() const {
        return {"--owner", "root", "--group", std::to_string(daemon_gid), "--mode", "0660"};
    }
};

}  // namespace testsupport

#endif

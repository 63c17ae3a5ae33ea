/* SPDX-License-Identifier: Apache-2.0 */
// The whole system as a diagctl user meets it, in the test's private mount
// namespace and in the layout scripts/system.sh deploys: ppsfs at /pps with
// the diag directory 0750 to the diagnostics group (velomar-diag),
// techmode-sim at /dev/radio/cellular 0660 to the daemon user's group,
// qrx_velomar_server as its own user (-U velomar, umask 0), and diagctl run
// as an unprivileged user, by default in the diagnostics group.
// scripts/setup.sh creates the accounts; a test without them is skipped.
#ifndef TESTS_SUPPORT_SYSTEMFIXTURE_H
#define TESTS_SUPPORT_SYSTEMFIXTURE_H

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/Fd.h"
#include "support/Sandbox.h"

namespace systemtest {

using testsupport::Child;
using testsupport::ReadFile;

struct Deployment {
    static constexpr const char *kDaemonUser = "velomar";
    static constexpr const char *kDiagGroup = "velomar-diag";
    static constexpr const char *kDiag = "/pps/services/radioctrl/modem0/diag";
    static constexpr const char *kNetworkTime = "/pps/services/network-time";
    static constexpr uid_t kNobody = 65534;  // an unprivileged user outside both groups
    uid_t daemon_uid = 0;
    gid_t daemon_gid = 0;  // the daemon user's group: the device's group
    gid_t diag_gid = 0;
};

inline const std::string kDiag = Deployment::kDiag;
inline const std::string kNetworkTime = Deployment::kNetworkTime;
inline const std::string kDrives = TECHMODE_SIM_DRIVES;

struct Ran {
    int status;  // exit status, or -1 when it did not exit normally
    std::string out, err;
};

// Appends text to an object (a plain write, as `>>` would).
inline bool Publish(const std::string &path, const std::string &text) {
    const testsupport::Fd fd(open(path.c_str(), O_WRONLY));
    return write(fd.get(), text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

// Waits until the object's text contains want; the object's text either way.
inline std::string WaitForText(const std::string &path, const std::string &want) {
    std::string text;
    for (int i = 0; i < 500 && (text = ReadFile(path)).find(want) == std::string::npos; i++)
        usleep(10000);
    return text;
}

class DiagctlSystem : public ::testing::Test {
  protected:
    void SetUp() override {
        struct passwd *pw = getpwnam(Deployment::kDaemonUser);
        struct group *gr = getgrnam(Deployment::kDiagGroup);
        if (pw == nullptr || gr == nullptr)
            GTEST_SKIP() << "no user " << Deployment::kDaemonUser << " or group "
                         << Deployment::kDiagGroup << ": scripts/setup.sh creates them";
        dep_ = {pw->pw_uid, pw->pw_gid, gr->gr_gid};
        std::string why = testsupport::EnterPrivateDev();
        if (!why.empty()) GTEST_SKIP() << why;
        tmp_ = testsupport::MakeTempDir("diagctl");
        mkdir("/pps", 0755);
        // A small total unread limit: a server that stops reading is soon
        // refused to every client, whoever left its requests unread.
        ASSERT_TRUE(ppsfs_.Start({PPSFS_BIN, "--foreground", "--total-limit", "1", "/pps"}, "",
                                 tmp_ + "/ppsfs.err"));
        ASSERT_TRUE(testsupport::WaitForMount("/pps")) << ReadFile(tmp_ + "/ppsfs.err");
        // The network-time service's objects are 0644, the diag directory
        // root's and the diagnostics group's, 0750.
        ASSERT_EQ(system(("umask 022 && mkdir -p " + kDiag + " " + kNetworkTime + " && touch " +
                          kNetworkTime + "/control " + kNetworkTime + "/status")
                             .c_str()),
                  0);
        ASSERT_EQ(chown(Deployment::kDiag, 0, dep_.diag_gid), 0);
        ASSERT_EQ(chmod(Deployment::kDiag, 0750), 0);
    }

    void TearDown() override {
        daemon_.Stop(SIGTERM);
        sim_.Stop(SIGTERM);
        umount2("/dev/radio/cellular", MNT_DETACH);
        ppsfs_.Stop(SIGTERM);
        umount2("/pps", MNT_DETACH);
    }

    // extra: techmode-sim options (a scenario, a replay).
    void StartSimulator(const std::vector<std::string> &extra = {}) {
        ASSERT_EQ(system("mkdir -p /dev/radio/cellular"), 0);
        std::vector<std::string> args = {
            TECHMODE_SIM_BIN, "-f",   "--owner", "root",
            "--mode",         "0660", "--group", std::to_string(dep_.daemon_gid)};
        args.insert(args.end(), extra.begin(), extra.end());
        args.push_back("/dev/radio/cellular");
        ASSERT_TRUE(sim_.Start(args, "", tmp_ + "/sim.err"));
        ASSERT_TRUE(testsupport::WaitForMount("/dev/radio/cellular"))
            << ReadFile(tmp_ + "/sim.err");
    }

    void StartDaemon() {
        setenv("SLOGF_STDERR", "1", 1);
        const std::string err = tmp_ + "/daemon.err";
        // With no umask, as deployed: the diagnostics group may write config.
        mode_t mask = umask(0);
        bool started = daemon_.Start({QRX_VELOMAR_SERVER_BIN, "-U", Deployment::kDaemonUser},
                                     tmp_ + "/daemon.out", err);
        umask(mask);
        ASSERT_TRUE(started);
        for (int i = 0; i < 500; i++, usleep(10000)) {
            if (ReadFile(err).find("Now Start the Velomar PPS Server") != std::string::npos) return;
            ASSERT_TRUE(daemon_.running()) << ReadFile(err);
        }
        FAIL() << "the daemon did not start\n" << ReadFile(err);
    }

    // Runs diagctl as a diagctl user: unprivileged, in the diagnostics
    // group unless an outsider.
    void AsDiagctlUser(Child *c, bool outsider = false) const {
        c->RunAs(Deployment::kNobody, Deployment::kNobody,
                 outsider ? std::vector<gid_t>{} : std::vector<gid_t>{dep_.diag_gid});
    }

    // A directory of the diagctl user's own, for the files it writes.
    std::string UserDir() {
        const std::string dir = tmp_ + "/user";
        EXPECT_EQ(chmod(tmp_.c_str(), 0711), 0);
        mkdir(dir.c_str(), 0700);
        EXPECT_EQ(chown(dir.c_str(), Deployment::kNobody, Deployment::kNobody), 0);
        return dir;
    }

    Ran Diagctl(std::vector<std::string> args, bool outsider = false) {
        args.insert(args.begin(), DIAGCTL_BIN);
        Child c;
        AsDiagctlUser(&c, outsider);
        c.Start(args, tmp_ + "/out", tmp_ + "/err");
        int status = c.Wait(30000);
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadFile(tmp_ + "/out"),
                ReadFile(tmp_ + "/err")};
    }

    // Starts diagctl serve as a diagctl user on a free loopback port, with
    // these options beside --listen; the port it serves (and in *token the
    // API's token its URL gave), or 0 and a failure.
    int StartServe(Child *serve, const std::vector<std::string> &options,
                   std::string *token = nullptr) {
        std::vector<std::string> args = {DIAGCTL_BIN, "serve", "--listen", "127.0.0.1:0"};
        args.insert(args.end(), options.begin(), options.end());
        AsDiagctlUser(serve);
        EXPECT_TRUE(serve->Start(args, tmp_ + "/serve.out", tmp_ + "/serve.err"));
        for (int i = 0; i < 1000 && serve->running(); i++, usleep(10000)) {
            const std::string out = ReadFile(tmp_ + "/serve.out");
            const std::size_t at = out.find("http://127.0.0.1:");
            const std::size_t mark = out.find("#token=", at), nl = out.find('\n', at);
            if (at == std::string::npos || mark == std::string::npos || nl == std::string::npos)
                continue;
            if (token) *token = out.substr(mark + 7, nl - mark - 7);
            return atoi(out.c_str() + at + 17);
        }
        ADD_FAILURE() << "diagctl serve gave no URL: " << ReadFile(tmp_ + "/serve.err");
        return 0;
    }

    std::string tmp_;
    Deployment dep_;
    Child ppsfs_, sim_, daemon_;
};

}  // namespace systemtest

#endif  // TESTS_SUPPORT_SYSTEMFIXTURE_H

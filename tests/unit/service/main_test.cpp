// SPDX-License-Identifier: Apache-2.0
// The daemon's entry point, run as a real process in a private mount
// namespace: /pps is a tmpfs there, the control and configuration objects
// are FIFOs (so the poll loop waits, as on PPS), the status objects plain
// files.
#include <errno.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "support/Sandbox.h"

namespace {

using testsupport::Child;
using testsupport::ReadFile;

const std::string kDiag = "/pps/services/radioctrl/modem0/diag";

class Daemon : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string why = testsupport::EnterPrivateMountNamespace();
        if (!why.empty()) GTEST_SKIP() << why;
        // The mount point itself must exist; what is mounted on it stays
        // inside this process's namespace.
        mkdir("/pps", 0755);
        ASSERT_EQ(mount("tmpfs", "/pps", "tmpfs", 0, "mode=0755"), 0) << strerror(errno);
        out = testsupport::MakeTempDir("daemon");
        setenv("SLOGF_STDERR", "1", 1);
    }
    void TearDown() override { umount2("/pps", MNT_DETACH); }

    void MakeObjects() {
        ASSERT_EQ(system(("mkdir -p " + kDiag).c_str()), 0);
        ASSERT_EQ(mkfifo((kDiag + "/control?server").c_str(), 0666), 0);
        ASSERT_EQ(mkfifo((kDiag + "/config?delta").c_str(), 0666), 0);
    }
    // Starts the daemon and waits for its start-up line; false if it ended.
    bool Start(std::vector<std::string> args = {}) {
        args.insert(args.begin(), QRX_VELOMAR_SERVER_BIN);
        unlink((out + "/stderr").c_str());  // never read an earlier run's lines
        daemon.Start(args, out + "/stdout", out + "/stderr");
        for (int i = 0; i < 500; i++) {
            if (Err().find("Now Start the Velomar PPS Server") != std::string::npos) return true;
            if (!daemon.running()) return false;
            usleep(10000);
        }
        return false;
    }
    std::string Err() { return ReadFile(out + "/stderr"); }
    std::string Out() { return ReadFile(out + "/stdout"); }

    std::string out;
    Child daemon;
};

// What the system test does not reach: -U is read only after Init, a bad
// -U ends the daemon with status 1, and unknown options are skipped.
TEST_F(Daemon, OptionsAreReadAfterInit) {
    const struct {
        bool objects;
        const char *has, *lacks;
    } cases[] = {
        {false, "Velomar PPS: Velomar Init Failure....", "Invalid user/group"},
        {true, "Invalid user/group specified [no_such_user]", "Init Failure"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.has);
        if (c.objects) MakeObjects();
        daemon.Start({QRX_VELOMAR_SERVER_BIN, "-U", "no_such_user"}, out + "/stdout",
                     out + "/stderr");
        int status = daemon.Wait(5000);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 1);
        EXPECT_NE(Err().find(c.has), std::string::npos) << Err();
        EXPECT_EQ(Err().find(c.lacks), std::string::npos) << Err();
    }
    ASSERT_TRUE(Start({"-x"})) << Err();
    int status = daemon.Stop(SIGTERM);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// Without SLOGF_STDERR the daemon's log goes to syslog when there is a
// socket, else to standard error in the programs' shared format: a start
// that fails says why either way, and only once.
TEST_F(Daemon, LogGoesToStandardErrorWhenThereIsNoSyslog) {
    std::string why = testsupport::EnterPrivateDev();
    if (!why.empty()) GTEST_SKIP() << why;
    unsetenv("SLOGF_STDERR");
    const std::string failure = "0x0640000A Velomar PPS: Velomar Init Failure....";
    for (bool syslog : {false, true}) {
        SCOPED_TRACE(syslog ? "with a syslog socket" : "without a syslog socket");
        testsupport::SyslogSink sink;
        if (syslog)
            ASSERT_EQ(sink.Start(), "");
        else
            unlink("/dev/log");
        daemon.Start({QRX_VELOMAR_SERVER_BIN}, out + "/stdout", out + "/stderr");  // no objects
        int status = daemon.Wait(5000);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
        const std::string err = testsupport::WithoutLogStamps(Err());
        if (syslog) {
            EXPECT_EQ(Err(), "");
            EXPECT_NE(sink.Text().find(failure), std::string::npos) << sink.Text();
        } else {
            const std::string last = "qrx_velomar_server: critical: " + failure + "\n";
            ASSERT_GE(err.size(), last.size()) << err;
            EXPECT_EQ(err.substr(err.size() - last.size()), last) << err;
            EXPECT_EQ(err.find("unformatted"), std::string::npos) << err;
        }
    }
    setenv("SLOGF_STDERR", "1", 1);
}

}  // namespace

// SPDX-License-Identifier: Apache-2.0
// The whole system as it runs on a handset, in a private mount namespace:
// ppsfs at /pps, techmode-sim at /dev/radio/cellular and qrx_velomar_server,
// all as built, reached only through PPS objects as a client would. The
// daemon's log lines are read from a syslog socket at /dev/log, on a /dev of
// the namespace's own.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "support/ExpectedText.h"
#include "support/PpsfsMount.h"
#include "support/Sandbox.h"

namespace {

using namespace ppsfs_test;
using testsupport::Child;
using testsupport::ReadFile;

const std::string kDiag = "/pps/services/radioctrl/modem0/diag";
const std::string kControl = kDiag + "/control";
const std::string kNetworkTime = "/pps/services/network-time";
const char kDevice[] = "/dev/radio/cellular";

// Every command and the status object it writes. What each writes is the
// diag unit tests' to decide; here the chain from the device to a client is.
const struct Command {
    const char *msg, *object;
} kCommands[] = {{"identity", "status_data"},   {"tchtxpower", "status_utra"},
                 {"bearer", "status_data"},     {"gsmopinfo", "status_geran"},
                 {"umtsopinfo", "status_utra"}, {"radionwinfo", "status_utra"}};

// identity's whole text, as the simulator's built-in scenario gives it
// (identities do not drift) and without a device.
std::string IdentityText(bool device) {
    using testsupport::NA;
    return "@status_data\n" + testsupport::NS({"TLLI", "SRNTI", "CRNTI", "HRNTI"}) +
           (device ? "TMSI::01AB00FF\nPTMSI::C0FFEE01\nIMEI::3538070512345601f\n"
                     "IMSI::310150123456789fff\nSRNCID:n:1234\n"
                   : NA({"TMSI", "PTMSI", "SRNCID", "IMEI", "IMSI"}));
}

// What one read of fd returns once it is readable; "" if nothing comes
// within timeout_ms.
std::string Read(const Fd &fd, int timeout_ms = 5000) {
    return PollIn(fd.get(), timeout_ms) ? ReadOnce(fd.get()).text : "";
}

std::string Request(const std::string &msg, const std::string &id) {
    return "msg::" + msg + "\nid::" + id + "\n";
}
std::string Response(const std::string &msg, const std::string &id, bool success) {
    return "@control\nres::" + msg + "\nid::" + id + "\n" + (success ? "" : "err:n:-1\n");
}

class System : public ::testing::Test {
  protected:
    void TearDown() override {
        daemon_.Stop(SIGTERM);
        sim_.Stop(SIGTERM);
        ppsfs_.Stop(SIGTERM);
        // Were a child killed, its mount would stay behind in this namespace.
        umount2(kDevice, MNT_DETACH);
        umount2("/pps", MNT_DETACH);
        if (!dir_.empty()) (void)!system(("rm -rf " + dir_).c_str());
    }

    // Mounts ppsfs with the objects the service expects to find, and the
    // tech-mode device.
    void SetUp() override {
        std::string why = testsupport::EnterPrivateDev();
        if (!why.empty()) GTEST_SKIP() << why;
        // The daemon's log lines reach syslog's socket in the namespace.
        ASSERT_EQ(syslog_.Start(), "");
        dir_ = testsupport::MakeTempDir("e2e");
        ASSERT_FALSE(dir_.empty());
        ASSERT_EQ(system((std::string("mkdir -p /pps ") + kDevice).c_str()), 0);
        ASSERT_TRUE(ppsfs_.Start({PPSFS_BIN, "-f", "/pps"}, "", dir_ + "/ppsfs.err"));
        ASSERT_TRUE(testsupport::WaitForMount("/pps")) << ReadFile(dir_ + "/ppsfs.err");
        ASSERT_EQ(system(("mkdir -p " + kDiag + " " + kNetworkTime + " && cd " + kNetworkTime +
                          " && touch control status")
                             .c_str()),
                  0);
        ASSERT_TRUE(sim_.Start({TECHMODE_SIM_BIN, "-f", kDevice}, "", dir_ + "/sim.err"));
        ASSERT_TRUE(testsupport::WaitForMount(kDevice)) << ReadFile(dir_ + "/sim.err");
    }

    // Starts the daemon and waits for its start-up line; false if it ended.
    bool StartDaemon(std::vector<std::string> args = {}) {
        args.insert(args.begin(), QRX_VELOMAR_SERVER_BIN);
        syslog_.Clear();  // never read an earlier run's lines
        daemon_.Start(args, dir_ + "/stdout", dir_ + "/stderr");
        for (int i = 0; i < 1000 && daemon_.running(); i++, usleep(10000))
            if (Log().find("Now Start the Velomar PPS Server") != std::string::npos) return true;
        return false;
    }
    // What the daemon logged through slogf since it was started.
    std::string Log() { return syslog_.Text(); }

    std::string dir_;
    testsupport::SyslogSink syslog_;
    Child ppsfs_, sim_, daemon_;
};

// Every command, with the device and, once the device is gone, without it.
TEST_F(System, EveryCommandPublishesAndAnswers) {
    for (const bool device : {true, false}) {
        SCOPED_TRACE(device ? "with the device" : "without the device");
        if (!device) {
            daemon_.Stop(SIGTERM);
            sim_.Stop(SIGTERM);
            umount2(kDevice, MNT_DETACH);  // if it left its mount behind
        }
        ASSERT_TRUE(StartDaemon()) << Log();
        EXPECT_EQ(Log().find("Cannot Initiate Tech Mode Interface") == std::string::npos, device);
        std::map<std::string, Fd> status;
        for (const std::string name : {"status_data", "status_utra", "status_geran"}) {
            status[name] = Fd(open((kDiag + "/" + name + "?delta").c_str(), O_RDONLY));
            ASSERT_EQ(Read(status[name]), "@" + name + "\n");  // emptied at start
        }
        Fd client(open(kControl.c_str(), O_RDWR));
        int id = 10;
        for (const Command &c : kCommands) {
            SCOPED_TRACE(c.msg);
            std::string n = std::to_string(id++);
            ASSERT_EQ(WriteText(client.get(), Request(c.msg, n)), 0);
            EXPECT_EQ(Read(client), Response(c.msg, n, device));
            const std::string text = Read(status[c.object]),
                              head = "@" + std::string(c.object) + "\n";
            EXPECT_TRUE(text.rfind(head, 0) == 0 && text.size() > head.size()) << text;
            EXPECT_TRUE(c.msg != std::string("identity") || text == IdentityText(device)) << text;
        }
        for (auto &s : status) EXPECT_EQ(Read(s.second, 0), "") << s.first;  // nothing else
    }
}

// A termination signal ends a serving daemon with status 0; its objects
// let their readers know that it is gone. -U switches identity after the
// objects are open, so the daemon still serves; an unknown option is skipped.
// Two clients' requests interleaved: each reads its own response only.
TEST_F(System, TerminationSignalsAndRunAsUser) {
    for (int sig : {SIGHUP, SIGINT, SIGTERM}) {
        SCOPED_TRACE(strsignal(sig));
        const bool as_user = sig == SIGTERM;
        ASSERT_TRUE(StartDaemon(as_user ? std::vector<std::string>{"-x", "-U", "1000:1001,20,30"}
                                        : std::vector<std::string>{}))
            << Log();
        const std::string st = ReadFile("/proc/" + std::to_string(daemon_.pid()) + "/status");
        for (const char *id : {"\nUid:\t1000\t1000\t1000\t1000\n",
                               "\nGid:\t1001\t1001\t1001\t1001\n", "\nGroups:\t20 30 \n"})
            EXPECT_EQ(st.find(id) != std::string::npos, as_user) << st;
        Fd client(open(kControl.c_str(), O_RDWR)), other(open(kControl.c_str(), O_RDWR));
        Fd data(open((kDiag + "/status_data?delta").c_str(), O_RDONLY));
        EXPECT_NE(Read(data), "");
        ASSERT_EQ(WriteText(client.get(), Request("identity", "1")), 0);
        ASSERT_EQ(WriteText(other.get(), Request("tchtxpower", "2")), 0);
        EXPECT_EQ(Read(other), Response("tchtxpower", "2", true));  // answered after client's
        EXPECT_EQ(Read(client), Response("identity", "1", true));
        EXPECT_EQ(Read(client, 0) + Read(other, 0), "");
        EXPECT_NE(Read(data), "");
        const int status = daemon_.Stop(sig);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        EXPECT_THAT(ReadFile(dir_ + "/stdout"),
                    testing::EndsWith("velomar_pps_main is terminated.\n"));
        EXPECT_EQ(Read(client), "*@control\n");
        EXPECT_EQ(Read(data), "*@status_data\n");  // nonpersistent: emptied
    }
}

// A start that fails ends with status 1 and says why: the control object
// cannot be opened (a directory is in its place, which ppsfs will neither
// serve nor unlink), a status object cannot (no diag directory), or -U names
// no user (read once the objects are open). The log goes to standard error
// too, in the shared format, without a syslog socket or with SLOGF_STDERR.
TEST_F(System, StartFailures) {
    const std::string init = "Velomar PPS: Velomar Init Failure....",
                      user = "Invalid user/group specified [no_such_user]";
    const struct {
        std::string setup;
        bool init, syslog, copy;  // Init's failure (else -U's), logged to syslog, copied
        const char *line;
    } cases[] = {
        {"mkdir " + kControl, true, true, false,
         "Velomar PPS Init: Cannot Initialize Velomar control message"},
        {"rmdir " + kControl, false, true, true, ""},
        {"rm -r " + kDiag, true, true, false,
         "Velomar PPS Init: PPS Object Initialized Failed, Return"},
        {"rm /dev/log", true, false, false, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.setup);
        ASSERT_EQ(system(c.setup.c_str()), 0);
        if (c.copy) setenv("SLOGF_STDERR", "1", 1);
        EXPECT_FALSE(StartDaemon({"-U", "no_such_user"}));
        unsetenv("SLOGF_STDERR");
        const int status = daemon_.Wait(5000);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
        const std::string err = testsupport::WithoutLogStamps(ReadFile(dir_ + "/stderr")),
                          log = c.syslog ? Log() : err;
        EXPECT_THAT(log, testing::HasSubstr(c.line));
        EXPECT_EQ(log.find(init) != std::string::npos, c.init) << log;
        EXPECT_EQ(log.find(user) != std::string::npos, !c.init) << log;
        const std::string last =
            "qrx_velomar_server: critical: 0x0640000A " + (c.init ? init : user) + "\n";
        EXPECT_EQ(err.substr(err.size() - std::min(err.size(), last.size())),
                  c.copy || !c.syslog ? last : "");
        EXPECT_EQ(err.find("unformatted"), std::string::npos) << err;
    }
}

}  // namespace

// A hostile local user against the system as it is deployed: every case
// runs its attack as an unprivileged uid (nobody, no groups) in the test's
// own mount namespace and checks that it takes no file, no memory, no other
// client's answer and no server it does not own. One case per way in.
//
// DeployedSystem starts the whole system in the deployment layout that
// scripts/system.sh makes: the daemon as its own user (-U velomar), the
// tech-mode device 0660 to that user's group, the diag directory 0750 to
// the diagnostics group (velomar-diag). scripts/setup.sh creates the
// accounts; without them the cases are skipped.
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/PpsfsMount.h"

namespace ppsfs_test {
namespace {

using HostileTest = PpsfsTest;

const char kDaemonUser[] = "velomar";
const char kDiagGroup[] = "velomar-diag";
const std::string kDiag = "/pps/services/radioctrl/modem0/diag";
const std::string kNetworkTime = "/pps/services/network-time";
const std::string kDeviceDir = "/dev/radio/cellular";
const uid_t kNobody = 65534;

class DeployedSystem : public ::testing::Test {
  protected:
    void SetUp() override {
        struct passwd *pw = getpwnam(kDaemonUser);
        struct group *diag = getgrnam(kDiagGroup);
        if (pw == nullptr || diag == nullptr)
            GTEST_SKIP() << "no user " << kDaemonUser << " or group " << kDiagGroup
                         << ": scripts/setup.sh creates them";
        daemon_uid_ = pw->pw_uid;
        daemon_gid_ = pw->pw_gid;
        diag_gid_ = diag->gr_gid;
        std::string why = testsupport::EnterPrivateDev();
        if (!why.empty()) GTEST_SKIP() << why;
        alarm(120);  // a hung test is killed, and its children with it
        dir_ = testsupport::MakeTempDir("hostile");
        ASSERT_FALSE(dir_.empty());
        ASSERT_EQ(system(("mkdir -p /pps " + kDeviceDir).c_str()), 0);
        ASSERT_TRUE(ppsfs_.Start({PPSFS_BIN, "-f", "/pps"}, "", dir_ + "/ppsfs.err"));
        ASSERT_TRUE(testsupport::WaitForMount("/pps"))
            << testsupport::ReadFile(dir_ + "/ppsfs.err");
        // The layout, as scripts/system.sh makes it.
        ASSERT_EQ(system(("mkdir -p " + kDiag + " " + kNetworkTime).c_str()), 0);
        ASSERT_EQ(chown(kDiag.c_str(), 0, diag_gid_), 0);
        ASSERT_EQ(chmod(kDiag.c_str(), 0750), 0);
        for (const char *name : {"/control", "/status"}) {
            int fd = open((kNetworkTime + name).c_str(), O_WRONLY | O_CREAT, 0644);
            ASSERT_GE(fd, 0) << strerror(errno);
            close(fd);
        }
        ASSERT_TRUE(sim_.Start({TECHMODE_SIM_BIN, "-f", "--owner", "root", "--group",
                                std::to_string(daemon_gid_), "--mode", "0660", kDeviceDir},
                               "", dir_ + "/sim.err"));
        ASSERT_TRUE(testsupport::WaitForMount(kDeviceDir))
            << testsupport::ReadFile(dir_ + "/sim.err");
        // Started with no umask, as deployed: its objects get the 0666 it asks for.
        mode_t mask = umask(0);
        bool started = daemon_.Start({QRX_VELOMAR_SERVER_BIN, "-U", kDaemonUser},
                                     dir_ + "/daemon.out", dir_ + "/daemon.err");
        umask(mask);
        ASSERT_TRUE(started);
        bool answers = false;
        for (int i = 0; i < 500 && !answers && daemon_.running(); i++) {
            answers = Answers();
            if (!answers) usleep(10000);
        }
        ASSERT_TRUE(answers) << "the daemon does not answer";
    }

    void TearDown() override {
        daemon_.Stop(SIGTERM);
        sim_.Stop(SIGTERM);
        ppsfs_.Stop(SIGTERM);
        umount2(kDeviceDir.c_str(), MNT_DETACH);
        umount2("/pps", MNT_DETACH);
        if (!dir_.empty()) (void)!system(("rm -rf " + dir_).c_str());
        alarm(0);
    }

    // Whether the daemon answers an identity request (as root).
    bool Answers() const {
        Fd fd(open((kDiag + "/control").c_str(), O_RDWR | O_NONBLOCK));
        if (fd.get() < 0 || WriteText(fd.get(), "msg::identity\nid::1\n") != 0) return false;
        return PollIn(fd.get(), 5000) &&
               ReadOnce(fd.get()).text.rfind("@control\nres::identity\nid::1\n", 0) == 0;
    }

    // Runs diagctl with args as uid kNobody with the groups given; its exit
    // status, and its standard output and error in *out.
    int DiagctlAs(const std::vector<gid_t> &groups, std::vector<std::string> args,
                  std::string *out) const {
        const std::string path = dir_ + "/diagctl.out";
        Fd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
        int status = AsUser(
            kNobody, kNobody,
            [&] {
                dup2(fd.get(), STDOUT_FILENO);
                dup2(fd.get(), STDERR_FILENO);
                std::vector<char *> argv = {const_cast<char *>(DIAGCTL_BIN)};
                for (std::string &a : args) argv.push_back(&a[0]);
                argv.push_back(nullptr);
                execv(DIAGCTL_BIN, argv.data());
                return 127;
            },
            groups);
        *out = testsupport::ReadFile(path);
        return status;
    }

    std::string dir_;
    uid_t daemon_uid_ = 0;
    gid_t daemon_gid_ = 0, diag_gid_ = 0;
    testsupport::Child ppsfs_, sim_, daemon_;
};

// The tech-mode device gives out the subscriber's identities: only root
// and the daemon's group open it. The scenario, which holds them too, is
// read by that group and replaced by root alone.
TEST_F(DeployedSystem, OnlyTheDaemonsGroupOpensTheDevice) {
    const std::string device = kDeviceDir + "/techmode", scenario = kDeviceDir + "/scenario";
    struct {
        const char *who;
        std::vector<gid_t> groups;
        std::string path;
        int flags, err;
    } cases[] = {
        {"outsider", {}, device, O_RDWR, EACCES},
        {"outsider", {}, device, O_RDONLY, EACCES},
        {"outsider", {}, scenario, O_RDONLY, EACCES},
        {"outsider", {}, scenario, O_WRONLY | O_TRUNC, EACCES},
        {"diagnostics group", {diag_gid_}, device, O_RDWR, EACCES},
        {"daemon's group", {daemon_gid_}, device, O_RDWR, 0},
        {"daemon's group", {daemon_gid_}, scenario, O_RDONLY, 0},
        {"daemon's group", {daemon_gid_}, scenario, O_WRONLY | O_TRUNC, EACCES},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.who) + " " + c.path + " flags " + std::to_string(c.flags));
        EXPECT_EQ(AsUser(
                      kNobody, kNobody,
                      [&] {
                          int fd = open(c.path.c_str(), c.flags);
                          if (fd < 0) return errno;
                          close(fd);
                          return 0;
                      },
                      c.groups),
                  c.err);
    }
}

// The diag objects (identities, cell data) and the control object are for
// root and the diagnostics group: an outsider reaches none of them, not
// even through diagctl, which says why; a member uses diagctl as root does,
// gsm-time (a write to config) included.
TEST_F(DeployedSystem, OnlyTheDiagnosticsGroupReachesTheDiagObjects) {
    struct {
        std::string path;
        int flags;
    } cases[] = {
        {kDiag + "/status_data", O_RDONLY}, {kDiag + "/status_utra?delta", O_RDONLY},
        {kDiag + "/control", O_RDWR},       {kDiag + "/control?server", O_RDWR},
        {kDiag + "/config", O_WRONLY},      {kDiag + "/planted", O_WRONLY | O_CREAT},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(AsNobody([&] {
                      int fd = open(c.path.c_str(), c.flags, 0666);
                      if (fd < 0) return errno;
                      close(fd);
                      return 0;
                  }),
                  EACCES);
    }

    std::string out;
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{"identity"}, std::vector<std::string>{"gsm-time", "on"}}) {
        SCOPED_TRACE(args.back());
        EXPECT_EQ(DiagctlAs({}, args, &out), 5) << out;
        EXPECT_NE(out.find("Permission denied (" + kDiag +
                           " is open to root and members of group " + kDiagGroup + " only"),
                  std::string::npos)
            << out;
    }
    EXPECT_EQ(DiagctlAs({diag_gid_}, {"identity"}, &out), 0) << out;
    EXPECT_NE(out.find("IMSI    310150123456789fff"), std::string::npos) << out;
    EXPECT_EQ(DiagctlAs({diag_gid_}, {"gsm-time", "on"}, &out), 0) << out;
    EXPECT_NE(testsupport::ReadFile(kDiag + "/config").find("gsm_time_enable::1"),
              std::string::npos);
}

// The daemon runs as its own user, so no other user's process may signal
// it: not nobody's (which it used to run as), not a diagctl user's. The
// stand-ins run as root.
TEST_F(DeployedSystem, NoOtherUserSignalsTheDaemon) {
    std::string status =
        testsupport::ReadFile("/proc/" + std::to_string(daemon_.pid()) + "/status");
    const std::string uid = std::to_string(daemon_uid_);
    ASSERT_NE(status.find("\nUid:\t" + uid + "\t" + uid + "\t" + uid + "\t" + uid + "\n"),
              std::string::npos)
        << status;
    struct {
        const char *who;
        std::vector<gid_t> groups;
        pid_t pid;
    } cases[] = {
        {"nobody: daemon", {}, daemon_.pid()},
        {"diagnostics group: daemon", {diag_gid_}, daemon_.pid()},
        {"daemon's group: daemon", {daemon_gid_}, daemon_.pid()},
        {"nobody: ppsfs", {}, ppsfs_.pid()},
        {"nobody: techmode-sim", {}, sim_.pid()},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.who);
        for (int sig : {SIGTERM, SIGKILL, SIGSTOP, 0}) {
            SCOPED_TRACE(sig);
            EXPECT_EQ(
                AsUser(
                    kNobody, kNobody, [&] { return kill(c.pid, sig) == 0 ? 0 : errno; }, c.groups),
                EPERM);
        }
    }
    EXPECT_TRUE(daemon_.running());
    EXPECT_TRUE(Answers());
}

}  // namespace
}  // namespace ppsfs_test

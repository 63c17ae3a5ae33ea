// A hostile local user against the system as it is deployed: every case
// runs its attack as an unprivileged uid (nobody, no groups) in the test's
// own mount namespace and checks that it takes no file, no memory, no other
// client's answer and no server it does not own. One case per way in.
//
// DeployedSystem starts the whole system in the deployment layout
// (support/Deployment.h), as scripts/system.sh does.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/Deployment.h"
#include "support/PpsfsMount.h"

namespace ppsfs_test {
namespace {

using HostileTest = PpsfsTest;
using testsupport::Deployment;

const std::string kDiag = Deployment::kDiag;
const std::string kDeviceDir = "/dev/radio/cellular";
const uid_t kNobody = Deployment::kNobody;

class DeployedSystem : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string why = dep_.LookUp();
        if (!why.empty()) GTEST_SKIP() << why;
        why = testsupport::EnterPrivateDev();
        if (!why.empty()) GTEST_SKIP() << why;
        alarm(120);  // a hung test is killed, and its children with it
        dir_ = testsupport::MakeTempDir("hostile");
        ASSERT_FALSE(dir_.empty());
        ASSERT_EQ(system(("mkdir -p /pps " + kDeviceDir).c_str()), 0);
        ASSERT_TRUE(ppsfs_.Start({PPSFS_BIN, "-f", "/pps"}, "", dir_ + "/ppsfs.err"));
        ASSERT_TRUE(testsupport::WaitForMount("/pps"))
            << testsupport::ReadFile(dir_ + "/ppsfs.err");
        ASSERT_EQ(dep_.MakeLayout(), "");
        std::vector<std::string> sim = {TECHMODE_SIM_BIN, "-f"};
        for (const std::string &o : dep_.DeviceOptions()) sim.push_back(o);
        sim.push_back(kDeviceDir);
        ASSERT_TRUE(sim_.Start(sim, "", dir_ + "/sim.err"));
        ASSERT_TRUE(testsupport::WaitForMount(kDeviceDir))
            << testsupport::ReadFile(dir_ + "/sim.err");
        // Started with no umask, as deployed: its objects get the 0666 it asks for.
        mode_t mask = umask(0);
        bool started = daemon_.Start({QRX_VELOMAR_SERVER_BIN, "-U", Deployment::kDaemonUser},
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
    int DiagctlAs(const std::vector<gid_t> &groups, const std::vector<std::string> &args,
                  std::string *out) const {
        std::vector<std::string> argv = {DIAGCTL_BIN};
        argv.insert(argv.end(), args.begin(), args.end());
        testsupport::Child c;
        c.RunAs(kNobody, kNobody, groups);
        c.Start(argv, dir_ + "/diagctl.out", dir_ + "/diagctl.err");
        int status = c.Wait(30000);
        *out = testsupport::ReadFile(dir_ + "/diagctl.out") +
               testsupport::ReadFile(dir_ + "/diagctl.err");
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    std::string dir_;
    Deployment dep_;
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
        {"diagnostics group", {dep_.diag_gid}, device, O_RDWR, EACCES},
        {"daemon's group", {dep_.daemon_gid}, device, O_RDWR, 0},
        {"daemon's group", {dep_.daemon_gid}, scenario, O_RDONLY, 0},
        {"daemon's group", {dep_.daemon_gid}, scenario, O_WRONLY | O_TRUNC, EACCES},
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
        EXPECT_NE(
            out.find("Permission denied (" + kDiag + " is open to root and members of group " +
                     Deployment::kDiagGroup + " only"),
            std::string::npos)
            << out;
    }
    EXPECT_EQ(DiagctlAs({dep_.diag_gid}, {"identity"}, &out), 0) << out;
    EXPECT_NE(out.find("IMSI    310150123456789fff"), std::string::npos) << out;
    EXPECT_EQ(DiagctlAs({dep_.diag_gid}, {"gsm-time", "on"}, &out), 0) << out;
    EXPECT_NE(testsupport::ReadFile(kDiag + "/config").find("gsm_time_enable::1"),
              std::string::npos);
}

// The daemon runs as its own user, so no other user's process may signal
// it: not nobody's (which it used to run as), not a diagctl user's. The
// stand-ins run as root.
TEST_F(DeployedSystem, NoOtherUserSignalsTheDaemon) {
    std::string status =
        testsupport::ReadFile("/proc/" + std::to_string(daemon_.pid()) + "/status");
    const std::string uid = std::to_string(dep_.daemon_uid);
    ASSERT_NE(status.find("\nUid:\t" + uid + "\t" + uid + "\t" + uid + "\t" + uid + "\n"),
              std::string::npos)
        << status;
    struct {
        const char *who;
        std::vector<gid_t> groups;
        pid_t pid;
    } cases[] = {
        {"nobody: daemon", {}, daemon_.pid()},
        {"diagnostics group: daemon", {dep_.diag_gid}, daemon_.pid()},
        {"daemon's group: daemon", {dep_.daemon_gid}, daemon_.pid()},
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

// RunAsUser, for real: each case switches identity in a forked child (the
// tests run as root) and reports the identity it ended with.
#include "RunAsUser.h"

#include <errno.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

struct Outcome {
    int rc = 0, err = 0;
    uid_t ruid = 0, euid = 0;
    gid_t rgid = 0, egid = 0;
    std::vector<gid_t> groups;
};

Outcome RunInChild(const std::string &spec) {
    int fds[2];
    EXPECT_EQ(pipe(fds), 0);
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        // A known starting point: root with two supplementary groups.
        gid_t start[] = {4, 5};
        setgroups(2, start);
        int rc = RunAsUser(spec.c_str());
        int err = errno;
        std::vector<long> out = {
            rc, err, (long)getuid(), (long)geteuid(), (long)getgid(), (long)getegid()};
        gid_t gl[70000];
        int n = getgroups(70000, gl);
        for (int i = 0; i < n; i++) out.push_back(gl[i]);
        ssize_t w = write(fds[1], out.data(), out.size() * sizeof(long));
        _exit(w > 0 ? 0 : 1);
    }
    close(fds[1]);
    std::vector<long> in;
    long buf[4096];
    ssize_t r;
    while ((r = read(fds[0], buf, sizeof buf)) > 0)
        in.insert(in.end(), buf, buf + r / sizeof(long));
    close(fds[0]);
    int status;
    waitpid(pid, &status, 0);
    Outcome o;
    if (in.size() < 6) {
        ADD_FAILURE() << "child reported nothing";
        return o;
    }
    o.rc = (int)in[0];
    o.err = (int)in[1];
    o.ruid = in[2];
    o.euid = in[3];
    o.rgid = in[4];
    o.egid = in[5];
    o.groups.assign(in.begin() + 6, in.end());
    return o;
}

class RunAsUserTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "needs root to change identity";
    }
};

struct NumericCase {
    const char *spec;
    uid_t uid;
    gid_t gid;
    std::vector<gid_t> groups;
};

TEST_F(RunAsUserTest, NumericForms) {
    const NumericCase cases[] = {
        {"0", 0, 0, {4, 5}},  // no group changed
        {"1000", 1000, 0, {4, 5}},
        {"1000:1000", 1000, 1000, {}},  // supplementary groups cleared
        {"1000:1000,20,30", 1000, 1000, {20, 30}},
        {"0x3e8", 1000, 0, {4, 5}},         // base 0: hexadecimal
        {"01750:010", 1000, 8, {}},         // base 0: octal
        {"1000abc", 1000, 0, {4, 5}},       // trailing text ignored
        {"1000:100;5", 1000, 100, {}},      // list ends at the ';'
        {"1000:100,7x,9", 1000, 100, {7}},  // and at any other character
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.spec);
        Outcome o = RunInChild(c.spec);
        EXPECT_EQ(o.rc, 0);
        EXPECT_EQ(o.ruid, c.uid);
        EXPECT_EQ(o.euid, c.uid);
        EXPECT_EQ(o.rgid, c.gid);
        EXPECT_EQ(o.egid, c.gid);
        EXPECT_EQ(o.groups, c.groups);
    }
}

TEST_F(RunAsUserTest, SupplementaryListIsCutAtTheSystemMaximum) {
    long max = sysconf(_SC_NGROUPS_MAX);
    ASSERT_GT(max, 0);
    std::string spec = "1000:1000";
    for (long i = 0; i < max + 3; i++) spec += "," + std::to_string(100 + i);
    Outcome o = RunInChild(spec);
    EXPECT_EQ(o.rc, 0);
    EXPECT_EQ(o.euid, 1000u);
    ASSERT_EQ(o.groups.size(), static_cast<size_t>(max));
    EXPECT_EQ(o.groups.front(), 100u);
    EXPECT_EQ(o.groups.back(), static_cast<gid_t>(100 + max - 1));
}

TEST_F(RunAsUserTest, NameForm) {
    struct passwd *pw = getpwnam("nobody");
    if (pw == nullptr) GTEST_SKIP() << "no user nobody";
    uid_t uid = pw->pw_uid;
    gid_t gid = pw->pw_gid;
    Outcome o = RunInChild("nobody");
    EXPECT_EQ(o.rc, 0);
    EXPECT_EQ(o.euid, uid);
    EXPECT_EQ(o.egid, gid);
    for (gid_t g : o.groups) EXPECT_NE(g, 4u);  // root's groups are gone
}

TEST_F(RunAsUserTest, Failures) {
    struct {
        const char *spec;
        int err;
    } cases[] = {
        {"no_such_user_xyz", EINVAL},
        {"nobody:nogroup", EINVAL},  // a name is never split at ':'
        {"", EINVAL},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.spec);
        Outcome o = RunInChild(c.spec);
        EXPECT_EQ(o.rc, -1);
        EXPECT_EQ(o.err, c.err);
        EXPECT_EQ(o.euid, 0u);  // nothing changed
    }
}

}  // namespace

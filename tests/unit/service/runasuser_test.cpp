// SPDX-License-Identifier: Apache-2.0
// RunAsUser, for real: each case switches identity in a forked child (the
// tests run as root) and reports the identity it ended with.
#include "RunAsUser.h"

#include <errno.h>
#include <grp.h>
#include <pwd.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

// "rc errno ruid euid rgid egid: groups..." as the child saw it after the
// switch, starting as root with the supplementary groups 4 and 5.
std::string RunInChild(const std::string &spec) {
    int fds[2];
    EXPECT_EQ(pipe(fds), 0);
    if (fork() == 0) {
        gid_t start[] = {4, 5};
        setgroups(2, start);
        int rc = RunAsUser(spec.c_str());
        std::string out = std::to_string(rc) + " " + std::to_string(rc == 0 ? 0 : errno);
        for (long id : {(long)getuid(), (long)geteuid(), (long)getgid(), (long)getegid()})
            out += " " + std::to_string(id);
        out += ":";
        std::vector<gid_t> groups(70000);
        int n = getgroups(static_cast<int>(groups.size()), groups.data());
        for (int i = 0; i < n; i++) out += " " + std::to_string(groups[i]);
        _exit(write(fds[1], out.data(), out.size()) == static_cast<ssize_t>(out.size()) ? 0 : 1);
    }
    close(fds[1]);
    std::string in;
    char buf[4096];
    for (ssize_t r; (r = read(fds[0], buf, sizeof buf)) > 0;) in.append(buf, size_t(r));
    close(fds[0]);
    wait(nullptr);
    return in;
}

TEST(RunAsUser, NumericAndNamedFormsAndFailures) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to change identity";
    std::vector<std::pair<std::string, std::string>> cases = {
        {"1000", "0 0 1000 1000 0 0: 4 5"},         // no group changed
        {"1000:1000", "0 0 1000 1000 1000 1000:"},  // supplementary groups cleared
        {"1000:1000,20,30", "0 0 1000 1000 1000 1000: 20 30"},
        {"0x3e8", "0 0 1000 1000 0 0: 4 5"},            // base 0: hexadecimal
        {"01750:010", "0 0 1000 1000 8 8:"},            // base 0: octal
        {"1000abc", "0 0 1000 1000 0 0: 4 5"},          // trailing text ignored
        {"1000:100;5", "0 0 1000 1000 100 100:"},       // list ends at the ';'
        {"1000:100,7x,9", "0 0 1000 1000 100 100: 7"},  // and at any other character
        {"no_such_user_xyz", "-1 22 0 0 0 0: 4 5"},     // nothing changed
        {"nobody:nogroup", "-1 22 0 0 0 0: 4 5"},       // a name is never split at ':'
        {"", "-1 22 0 0 0 0: 4 5"},
        {"1000:1000", "0 0 1000 1000 1000 1000:"},  // a list longer than allowed: cut below
    };
    const long max = sysconf(_SC_NGROUPS_MAX);
    ASSERT_GT(max, 0);
    for (long i = 0; i < max + 3; i++) {
        cases.back().first += "," + std::to_string(100 + i);
        if (i < max) cases.back().second += " " + std::to_string(100 + i);
    }
    // A name takes the user's ids and its groups in the group database.
    const struct passwd *pw = getpwnam("nobody");
    ASSERT_NE(pw, nullptr);
    std::vector<gid_t> groups(256);
    int count = static_cast<int>(groups.size());
    ASSERT_GE(getgrouplist("nobody", pw->pw_gid, groups.data(), &count), 0);
    std::sort(groups.begin(), groups.begin() + count);
    const std::string u = std::to_string(pw->pw_uid), g = std::to_string(pw->pw_gid);
    cases.push_back({"nobody", "0 0 " + u + " " + u + " " + g + " " + g + ":"});
    for (int i = 0; i < count; i++) cases.back().second += " " + std::to_string(groups[i]);
    for (const auto &[spec, want] : cases) {
        SCOPED_TRACE(spec.substr(0, 40));
        EXPECT_EQ(RunInChild(spec), want);
    }
}

}  // namespace

// SPDX-License-Identifier: Apache-2.0
// ppsfs and techmode-sim as a service manager starts them (Type=notify):
// READY=1 arrives only once the mount is in place, so nothing ordered after
// the unit finds an empty directory; STOPPING=1 when they are told to end.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/Sandbox.h"

namespace {

// The next datagram on fd within timeout_ms, or "" (the bound only keeps a
// broken program from hanging the test).
std::string Receive(int fd, int timeout_ms) {
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) != 1) return "";
    char buf[256];
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
}

TEST(Notify, ReadyOnceMountedStoppingAtTheEnd) {
    std::string why = testsupport::EnterPrivateMountNamespace();
    if (!why.empty()) GTEST_SKIP() << why;
    const struct {
        const char *name;
        std::vector<std::string> argv;  // the mount point is added
    } tools[] = {
        {"ppsfs", {PPSFS_BIN, "-f"}},
        {"techmode-sim", {TECHMODE_SIM_BIN, "-f"}},
    };
    for (const auto &t : tools) {
        SCOPED_TRACE(t.name);
        const std::string dir = testsupport::MakeTempDir("notify"), mnt = dir + "/mnt";
        ASSERT_EQ(mkdir(mnt.c_str(), 0755), 0);
        int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        ASSERT_GE(fd, 0);
        struct sockaddr_un addr = {};
        addr.sun_family = AF_UNIX;
        const std::string path = dir + "/notify";
        path.copy(addr.sun_path, sizeof addr.sun_path - 1);
        ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);

        std::vector<std::string> argv = t.argv;
        argv.push_back(mnt);
        testsupport::Child child;
        setenv("NOTIFY_SOCKET", path.c_str(), 1);
        bool started = child.Start(argv, "", dir + "/stderr");
        unsetenv("NOTIFY_SOCKET");
        ASSERT_TRUE(started);

        EXPECT_EQ(Receive(fd, 10000), "READY=1") << testsupport::ReadFile(dir + "/stderr");
        EXPECT_TRUE(testsupport::WaitForMount(mnt, 0)) << "READY=1 before the mount";
        int status = child.Stop(SIGTERM);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        EXPECT_EQ(Receive(fd, 1000), "STOPPING=1");
        close(fd);
    }
}

}  // namespace

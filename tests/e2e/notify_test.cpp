// SPDX-License-Identifier: Apache-2.0
// ppsfs and techmode-sim as a service manager starts them (Type=notify):
// READY=1 arrives only once the mount is in place, so nothing ordered after
// the unit finds an empty directory; STOPPING=1 when they are told to end.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>

#include <string>

#include "support/PpsfsMount.h"
#include "support/Sandbox.h"

namespace {

// The next datagram on fd within timeout_ms, or "" (the bound only keeps a
// broken program from hanging the test).
std::string Receive(int fd, int timeout_ms) {
    return ppsfs_test::PollIn(fd, timeout_ms) ? ppsfs_test::ReadOnce(fd).text : "";
}

TEST(Notify, ReadyOnceMountedStoppingAtTheEnd) {
    std::string why = testsupport::EnterPrivateMountNamespace();
    if (!why.empty()) GTEST_SKIP() << why;
    for (const char *program : {PPSFS_BIN, TECHMODE_SIM_BIN}) {
        SCOPED_TRACE(program);
        const std::string dir = testsupport::MakeTempDir("notify"), mnt = dir + "/mnt";
        ASSERT_EQ(mkdir(mnt.c_str(), 0755), 0);
        const testsupport::Fd fd(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        struct sockaddr_un addr = {};
        addr.sun_family = AF_UNIX;
        const std::string path = dir + "/notify";
        path.copy(addr.sun_path, sizeof addr.sun_path - 1);
        ASSERT_EQ(bind(fd.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);

        testsupport::Child child;
        setenv("NOTIFY_SOCKET", path.c_str(), 1);
        const bool started = child.Start({program, "-f", mnt}, "", dir + "/stderr");
        unsetenv("NOTIFY_SOCKET");
        ASSERT_TRUE(started);
        EXPECT_EQ(Receive(fd.get(), 10000), "READY=1") << testsupport::ReadFile(dir + "/stderr");
        EXPECT_TRUE(testsupport::WaitForMount(mnt, 0)) << "READY=1 before the mount";
        int status = child.Stop(SIGTERM);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        EXPECT_EQ(Receive(fd.get(), 1000), "STOPPING=1");
    }
}

}  // namespace

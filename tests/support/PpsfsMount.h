/* SPDX-License-Identifier: Apache-2.0 */
// Test harness for ppsfs: mounts it on a temporary directory in the test's
// private mount namespace; ppsfs dies with the test, an alarm ends a hung one.
#ifndef TESTS_SUPPORT_PPSFSMOUNT_H
#define TESTS_SUPPORT_PPSFSMOUNT_H

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "support/Fd.h"
#include "support/Sandbox.h"

namespace ppsfs_test {

using testsupport::Fd;

// What one read() returned; err is errno when n < 0.
struct Rd {
    ssize_t n;
    int err;
    std::string text;
};

inline Rd ReadOnce(int fd, std::size_t size = 65536) {
    std::string buf(size, '\0');
    ssize_t n = read(fd, &buf[0], size);
    return Rd{n, n < 0 ? errno : 0, n > 0 ? buf.substr(0, static_cast<std::size_t>(n)) : ""};
}

// The errno of a failed call, 0 for one that succeeded.
inline const auto ErrnoOf = [](int rc) { return rc >= 0 ? 0 : errno; };

// 0 when the whole text went in one write(), else the errno.
inline int WriteText(int fd, const std::string &text) {
    ssize_t n = write(fd, text.data(), text.size());
    return n < 0 ? errno : static_cast<std::size_t>(n) == text.size() ? 0 : EIO;
}

inline bool PollFor(int fd, short events, int timeout_ms = 0) {
    struct pollfd p = {fd, events, 0};
    return poll(&p, 1, timeout_ms) == 1 && (p.revents & events) != 0;
}
inline bool PollIn(int fd, int timeout_ms = 0) {
    return PollFor(fd, POLLIN, timeout_ms);
}

// What lstat says of path as "KIND MODE UID:GID" (KIND: file, dir or link;
// MODE in octal), or the error: one value to compare.
inline std::string StatText(const std::string &path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return strerror(errno);
    const char *kind = S_ISREG(st.st_mode) ? "file" : S_ISDIR(st.st_mode) ? "dir" : "link";
    char text[64];
    snprintf(text, sizeof text, "%s %04o %u:%u", kind, st.st_mode & 07777, st.st_uid, st.st_gid);
    return text;
}

// Forks a child that runs fn, which writes one byte to ready, then waits to be
// killed; returns its pid once the byte (in *report, 0 if none) has come.
inline pid_t StartChild(const std::function<void(int ready)> &fn, char *report) {
    int ready[2];
    if (pipe(ready) != 0) return -1;
    pid_t pid = fork();
    if (pid == 0) {
        fn(ready[1]);
        pause();
        _exit(0);
    }
    close(ready[1]);
    if (read(ready[0], report, 1) != 1) *report = 0;
    close(ready[0]);
    return pid;
}

// Kills a child of StartChild; returns its wait status.
inline int KillChild(pid_t pid) {
    int status = 0;
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return status;
}

using testsupport::AsUser;
inline int AsNobody(const std::function<int()> &fn) {
    return AsUser(65534, 65534, fn);
}

// While it lives, the test's file calls are nobody's (effective ids only);
// what it opens meanwhile stays nobody's open.
class NobodyHere {
  public:
    NobodyHere() : groups_(static_cast<std::size_t>(getgroups(0, nullptr))) {
        groups_.resize(static_cast<std::size_t>(getgroups(groups_.size(), groups_.data())));
        EXPECT_TRUE(setgroups(0, nullptr) == 0 && setegid(65534) == 0 && seteuid(65534) == 0);
    }
    ~NobodyHere() {
        EXPECT_TRUE(seteuid(0) == 0 && setegid(0) == 0 &&
                    setgroups(groups_.size(), groups_.data()) == 0);
    }
    NobodyHere(const NobodyHere &) = delete;
    NobodyHere &operator=(const NobodyHere &) = delete;

  private:
    std::vector<gid_t> groups_;
};

class PpsfsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string why = testsupport::EnterPrivateMountNamespace();
        if (!why.empty()) GTEST_SKIP() << why;
        alarm(120);  // a hung test is killed, and ppsfs with it
        base_ = testsupport::MakeTempDir("ppsfs-test-");
        ASSERT_FALSE(base_.empty());
        chmod(base_.c_str(), 0755);  // other users reach the mount through it
        dir_ = base_ + "/mnt";
        ASSERT_EQ(mkdir(dir_.c_str(), 0755), 0);
        Mount();
    }
    void TearDown() override {
        if (base_.empty()) return;
        Unmount();
        if (system(("rm -rf '" + base_ + "'").c_str()) != 0) ADD_FAILURE() << "rm " << base_;
        alarm(0);
    }

    // Starts ppsfs (with extra arguments) and waits for the mount.
    void Mount(const std::vector<std::string> &extra = {}) {
        std::vector<std::string> args = {PPSFS_BIN, "--foreground", "--log", base_ + "/log"};
        // PPSFS_TEST_IO_URING=1 runs every case with FUSE over io_uring.
        const bool ring = getenv("PPSFS_TEST_IO_URING") != nullptr;
        if (ring) args.insert(args.end(), {"--io-uring", "--stats", base_ + "/stats"});
        args.insert(args.end(), extra.begin(), extra.end());
        args.push_back(dir_);
        ASSERT_TRUE(ppsfs_.Start(args));
        ASSERT_TRUE(testsupport::WaitForMount(dir_, 10000)) << "ppsfs did not mount";
        struct stat st;
        if (!ring || stat(dir_.c_str(), &st) != 0) return;  // the stat waits for INIT
        // Over io_uring it is, unless the kernel does not offer it.
        std::string log;
        for (int i = 0; i < 200 && log.find("FUSE over io_uring: ") == std::string::npos; i++) {
            if (i > 0) usleep(10000);
            log = testsupport::ReadFile(base_ + "/log");
        }
        if (log.find("not offered by the kernel") != std::string::npos ||
            log.find("io_uring unavailable") != std::string::npos)
            GTEST_SKIP() << "FUSE over io_uring is off here: " << log;
        ASSERT_NE(log.find(" queues, "), std::string::npos) << log;
    }
    // Unmounts (or sends sig) and checks ppsfs's exit status, which also
    // catches what the sanitizers report in it.
    void Unmount(int sig = 0, int want = 0) {
        if (ppsfs_.pid() < 0) return;
        if (sig != 0 || umount2(dir_.c_str(), 0) != 0) kill(ppsfs_.pid(), sig != 0 ? sig : SIGTERM);
        int status = ppsfs_.Wait(10000);
        if (sig == SIGKILL)
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "ppsfs " << status;
        else
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == want) << "ppsfs " << status;
        ppsfs_.Stop(SIGKILL);  // if it did not end
        umount2(dir_.c_str(), MNT_DETACH);
        // Over io_uring, requests came through the rings.
        const std::string stats = testsupport::ReadFile(base_ + "/stats");
        if (WIFEXITED(status) && stats.find("RingEntries") != std::string::npos) {
            EXPECT_EQ(stats.find("RingRequests 0\n"), std::string::npos) << stats;
        }
        unlink((base_ + "/stats").c_str());
    }

    std::string P(const std::string &rel) const { return dir_ + "/" + rel; }
    Fd Open(const std::string &rel, int flags, mode_t mode = 0666) const {
        return Fd(open(P(rel).c_str(), flags | O_CLOEXEC, mode));
    }
    // A new object (or one opened again) with text written to it.
    void Put(const std::string &rel, const std::string &text) const {
        Fd w = Open(rel, O_WRONLY | O_CREAT);
        EXPECT_EQ(WriteText(w.get(), text), 0) << rel;
    }
    // What one fresh open's first read returns.
    std::string Cat(const std::string &rel) const {
        Fd fd = Open(rel, O_RDONLY);
        if (fd.get() < 0) return "open failed: " + std::string(strerror(errno));
        return ReadOnce(fd.get()).text;
    }

    std::string base_, dir_;
    testsupport::Child ppsfs_;
};

}  // namespace ppsfs_test

#endif

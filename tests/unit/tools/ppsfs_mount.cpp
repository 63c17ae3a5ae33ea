#include "ppsfs_mount.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>

namespace ppsfs_test {

namespace {

void SleepMs(int ms) {
    struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&ts, nullptr);
}

// Moves the process into a private mount namespace, once, before any
// thread exists (the namespace is per thread and threads inherit it).
void EnterPrivateNamespace() {
    static bool done = false;
    if (done) return;
    ASSERT_EQ(unshare(CLONE_NEWNS), 0) << "unshare: " << strerror(errno) << " (run as root)";
    ASSERT_EQ(mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0) << strerror(errno);
    done = true;
}

bool Mounted(const std::string &dir) {
    struct stat a, b;
    return stat(dir.c_str(), &a) == 0 && stat((dir + "/..").c_str(), &b) == 0 &&
           a.st_dev != b.st_dev;
}

}  // namespace

Rd ReadOnce(int fd, std::size_t size) {
    std::string buf(size, '\0');
    ssize_t n = read(fd, &buf[0], size);
    Rd r{n, n < 0 ? errno : 0, ""};
    if (n > 0) r.text.assign(buf.data(), static_cast<std::size_t>(n));
    return r;
}

int WriteText(int fd, const std::string &text) {
    ssize_t n = write(fd, text.data(), text.size());
    if (n < 0) return errno;
    return static_cast<std::size_t>(n) == text.size() ? 0 : EIO;
}

bool PollIn(int fd, int timeout_ms) {
    struct pollfd p = {fd, POLLIN, 0};
    return poll(&p, 1, timeout_ms) == 1 && (p.revents & POLLIN) != 0;
}

pid_t StartChild(const std::function<void(int)> &fn, char *report) {
    int ready[2];
    if (pipe(ready) != 0) return -1;
    pid_t pid = fork();
    if (pid == 0) {
        fn(ready[1]);
        pause();
        _exit(0);
    }
    close(ready[1]);
    char c = 0;
    if (read(ready[0], &c, 1) != 1) c = 0;
    close(ready[0]);
    if (report != nullptr) *report = c;
    return pid;
}

int KillChild(pid_t pid) {
    int status = 0;
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return status;
}

void PpsfsTest::SetUp() {
    if (access("/dev/fuse", R_OK | W_OK) != 0) GTEST_SKIP() << "no /dev/fuse: FUSE unavailable";
    EnterPrivateNamespace();
    if (HasFatalFailure()) return;
    alarm(120);  // a hung test is killed, and ppsfs with it
    char tmpl[] = "/tmp/ppsfs-test-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    std::string base = tmpl;
    chmod(base.c_str(), 0755);  // other users reach the mount through it
    dir_ = base + "/mnt";
    log_ = base + "/log";
    ASSERT_EQ(mkdir(dir_.c_str(), 0755), 0);
    Mount();
}

void PpsfsTest::Mount(const std::vector<std::string> &extra) {
    std::vector<std::string> args = {PPSFS_BIN, "--foreground", "--log", log_};
    args.insert(args.end(), extra.begin(), extra.end());
    args.push_back(dir_);
    pid_ = fork();
    ASSERT_GE(pid_, 0);
    if (pid_ == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        std::vector<char *> argv;
        for (std::string &a : args) argv.push_back(&a[0]);
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    for (int i = 0; i < 1000 && !Mounted(dir_); i++) {
        int status;
        ASSERT_EQ(waitpid(pid_, &status, WNOHANG), 0) << "ppsfs exited early";
        SleepMs(10);
    }
    ASSERT_TRUE(Mounted(dir_)) << "ppsfs did not mount " << dir_;
}

void PpsfsTest::Unmount(bool sigterm) {
    if (pid_ < 0) return;
    if (sigterm) {
        kill(pid_, SIGTERM);
    } else if (umount2(dir_.c_str(), 0) != 0) {
        // Still in use (a test left an fd open): stop ppsfs instead.
        kill(pid_, SIGTERM);
    }
    int status = 0;
    for (int i = 0; i < 1000; i++) {
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            // Also catches what the sanitizers report in ppsfs itself.
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
                << "ppsfs ended with status " << status;
            break;
        }
        SleepMs(10);
    }
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
        pid_ = -1;
        ADD_FAILURE() << "ppsfs did not end after unmount";
    }
    if (Mounted(dir_)) umount2(dir_.c_str(), MNT_DETACH);
}

void PpsfsTest::TearDown() {
    if (dir_.empty()) return;
    Unmount();
    std::string base = dir_.substr(0, dir_.rfind('/'));
    std::string cmd = "rm -rf '" + base + "'";
    if (system(cmd.c_str()) != 0) ADD_FAILURE() << "cannot remove " << base;
    alarm(0);
}

Fd PpsfsTest::Open(const std::string &rel, int flags, mode_t mode) const {
    return Fd(open(P(rel).c_str(), flags | O_CLOEXEC, mode));
}

std::string PpsfsTest::Cat(const std::string &rel) const {
    Fd fd = Open(rel, O_RDONLY);
    if (fd.get() < 0) return "open failed: " + std::string(strerror(errno));
    Rd r = ReadOnce(fd.get());
    return r.n < 0 ? "read failed: " + std::string(strerror(r.err)) : r.text;
}

}  // namespace ppsfs_test

// Test harness for ppsfs: mounts the real filesystem on a temporary
// directory and drives it with ordinary file calls. The test process moves
// into its own private mount namespace first, so no mount is ever seen
// outside it, and ppsfs dies with the test (PR_SET_PDEATHSIG). A watchdog
// alarm ends a hung test instead of letting it hang.
#ifndef TESTS_UNIT_TOOLS_PPSFS_MOUNT_H
#define TESTS_UNIT_TOOLS_PPSFS_MOUNT_H

#include <gtest/gtest.h>
#include <sys/types.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

namespace ppsfs_test {

// An fd closed on destruction.
class Fd {
  public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() { Reset(); }
    Fd(Fd &&o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
    Fd &operator=(Fd &&o) noexcept {
        Reset();
        fd_ = o.fd_;
        o.fd_ = -1;
        return *this;
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    int get() const { return fd_; }
    void Reset() {
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
    }

  private:
    int fd_;
};

// What one read() returned.
struct Rd {
    ssize_t n;
    int err;  // errno when n < 0, else 0
    std::string text;
};

Rd ReadOnce(int fd, std::size_t size = 65536);
// Returns 0 when the whole text went in one write(), else the errno.
int WriteText(int fd, const std::string &text);
// Whether poll() reports fd readable within timeout_ms (0: right now).
bool PollIn(int fd, int timeout_ms = 0);
// Forks a child that runs fn, which writes one byte to the fd it is given
// when it is ready; the child then waits to be killed. Returns the child's
// pid once the byte has come (0 in *report if the child ended first).
pid_t StartChild(const std::function<void(int ready)> &fn, char *report = nullptr);
// Kills a child of StartChild and returns its wait status.
int KillChild(pid_t pid);

class PpsfsTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // Starts ppsfs (with extra command-line arguments) and waits for the mount.
    void Mount(const std::vector<std::string> &extra = {});
    // Unmounts (or, with sigterm, stops ppsfs with SIGTERM) and waits for it.
    void Unmount(bool sigterm = false);

    std::string P(const std::string &rel) const { return dir_ + "/" + rel; }
    // open() of a path under the mount; the errno is in errno on failure.
    Fd Open(const std::string &rel, int flags, mode_t mode = 0666) const;
    // Everything one fresh open's first read returns.
    std::string Cat(const std::string &rel) const;

    std::string dir_;
    std::string log_;
    pid_t pid_ = -1;
};

}  // namespace ppsfs_test

#endif

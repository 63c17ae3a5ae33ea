/* SPDX-License-Identifier: Apache-2.0 */
#ifndef TESTS_SUPPORT_FD_H
#define TESTS_SUPPORT_FD_H

#include <unistd.h>

#include <utility>

namespace testsupport {

// An fd closed on destruction.
class Fd {
  public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() { Reset(); }
    Fd(Fd &&o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
    Fd &operator=(Fd &&o) noexcept {
        std::swap(fd_, o.fd_);
        return *this;
    }
    int get() const { return fd_; }
    void Reset() {
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
    }

  private:
    int fd_;
};

}  // namespace testsupport

#endif  // TESTS_SUPPORT_FD_H

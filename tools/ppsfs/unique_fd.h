/* SPDX-License-Identifier: Apache-2.0 */
// An owned file descriptor: closed when its owner goes. Not copyable; a
// move hands the descriptor over and leaves the source empty (-1).
#ifndef TOOLS_PPSFS_UNIQUE_FD_H
#define TOOLS_PPSFS_UNIQUE_FD_H

#include <unistd.h>

#include <utility>

namespace ppsfs {

class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { Reset(); }
    UniqueFd(const UniqueFd &) = delete;
    UniqueFd &operator=(const UniqueFd &) = delete;
    UniqueFd(UniqueFd &&o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
    UniqueFd &operator=(UniqueFd &&o) noexcept {
        if (this != &o) {
            Reset();
            fd_ = std::exchange(o.fd_, -1);
        }
        return *this;
    }

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    void Reset() {
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
    }

  private:
    int fd_ = -1;
};

}  // namespace ppsfs

#endif

/* SPDX-License-Identifier: Apache-2.0 */
// The FUSE low-level binding of PpsCore. One loop thread serves every
// request (with FUSE over io_uring, one thread per CPU, in turn); a read that must wait is parked
// (its reply deferred) rather than holding the thread, so one waiting reader never stalls other
// clients. A parked read ends with data, end of file, or EINTR when the reader is interrupted (a
// signal, or the process being killed).
#ifndef TOOLS_PPSFS_FUSE_GLUE_H
#define TOOLS_PPSFS_FUSE_GLUE_H

#define FUSE_USE_VERSION 35
#include <fuse_lowlevel.h>

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "pps_core.h"

// Every request the filesystem serves, counted for --stats, and the poll
// notifications it sends.
// clang-format off
#define PPSFS_FUSE_OPS(X) \
    X(Lookup) \
    X(GetAttr) \
    X(SetAttr) \
    X(Mkdir) \
    X(Unlink) \
    X(Rmdir) \
    X(OpenDir) \
    X(ReadDir) \
    X(ReleaseDir) \
    X(Create) \
    X(Open) \
    X(Read) \
    X(Write) \
    X(Release) \
    X(Fsync) \
    X(Poll) \
    X(PollNotify)
// clang-format on

namespace ppsfs {

class FuseGlue {
  public:
    enum class Op {
#define PPSFS_OP_ENUM(name) k##name,
        PPSFS_FUSE_OPS(PPSFS_OP_ENUM)
#undef PPSFS_OP_ENUM
            kCount
    };

    explicit FuseGlue(PpsCore *core) : core_(core) {}
    ~FuseGlue();
    FuseGlue(const FuseGlue &) = delete;
    FuseGlue &operator=(const FuseGlue &) = delete;

    // The operations table; pass `this` as the session's user data.
    static const struct fuse_lowlevel_ops &Ops();

    // Held while a request is served: with FUSE over io_uring, requests
    // arrive on several threads.
    std::recursive_timed_mutex &Mutex() {
        return mu_;
    }

    void Count(Op op) {
        counts_[static_cast<std::size_t>(op)]++;
    }
    // "name count" per request kind served (and PollNotify), those seen.
    void WriteStats(std::FILE *out) const;

    // Ends every parked read with EIO: the filesystem is going away.
    void Shutdown();

    // Answers parked reads and poll waiters of every open whose state
    // changed; called after each request. Never throws.
    void ServeWoken();

    // Ends with EINTR the parked reads whose reader was interrupted but
    // never told us. With FUSE over io_uring the kernel (6.18) sends no
    // interrupt for a signal that came before the request reached the
    // ring: the reader then waits, killable only, for ever. Such a reader
    // sleeps in state D; one that was not interrupted sleeps in S, and
    // any later signal is sent as an interrupt. Reads parked for at least
    // `age` are looked at, each until it is seen asleep.
    void EndLostInterrupts(std::chrono::steady_clock::duration age);

  private:
    struct ParkedRead {
        fuse_req_t req;
        std::size_t size;
        int flags;
        pid_t reader;  // the thread that reads
        std::chrono::steady_clock::time_point since;
        bool seen_asleep = false;  // in S: any interrupt reaches us
    };
    struct Parked {
        std::deque<ParkedRead> reads;
        struct fuse_pollhandle *poll = nullptr;
        bool poll_write = false;  // the poll also waits for writes to be taken
    };

    static FuseGlue &Of(fuse_req_t req);
    static void OnInterrupt(fuse_req_t req, void *data);

    // Replies to one read request with what the core says.
    static void ReplyRead(fuse_req_t req, const ReadResult &r);
    void Forget(std::uint64_t fh);

    static void Init(void *userdata, struct fuse_conn_info *conn);
    static void Lookup(fuse_req_t req, fuse_ino_t parent, const char *name);
    static void ForgetOne(fuse_req_t req, fuse_ino_t ino, std::uint64_t nlookup);
    static void ForgetMulti(fuse_req_t req, std::size_t count, struct fuse_forget_data *forgets);
    static void GetAttr(fuse_req_t req, fuse_ino_t ino, struct fuse_file_info *fi);
    static void SetAttr(fuse_req_t req, fuse_ino_t ino, struct stat *attr, int to_set,
                        struct fuse_file_info *fi);
    static void Mkdir(fuse_req_t req, fuse_ino_t parent, const char *name, mode_t mode);
    static void Unlink(fuse_req_t req, fuse_ino_t parent, const char *name);
    static void Rmdir(fuse_req_t req, fuse_ino_t parent, const char *name);
    static void OpenDir(fuse_req_t req, fuse_ino_t ino, struct fuse_file_info *fi);
    static void ReadDir(fuse_req_t req, fuse_ino_t ino, std::size_t size, off_t off,
                        struct fuse_file_info *fi);
    static void ReleaseDir(fuse_req_t req, fuse_ino_t ino, struct fuse_file_info *fi);
    static void Create(fuse_req_t req, fuse_ino_t parent, const char *name, mode_t mode,
                       struct fuse_file_info *fi);
    static void Open(fuse_req_t req, fuse_ino_t ino, struct fuse_file_info *fi);
    static void Read(fuse_req_t req, fuse_ino_t ino, std::size_t size, off_t off,
                     struct fuse_file_info *fi);
    static void Write(fuse_req_t req, fuse_ino_t ino, const char *buf, std::size_t size, off_t off,
                      struct fuse_file_info *fi);
    static void Release(fuse_req_t req, fuse_ino_t ino, struct fuse_file_info *fi);
    static void Fsync(fuse_req_t req, fuse_ino_t ino, int datasync, struct fuse_file_info *fi);
    static void Poll(fuse_req_t req, fuse_ino_t ino, struct fuse_file_info *fi,
                     struct fuse_pollhandle *ph);

    PpsCore *core_;
    std::recursive_timed_mutex mu_;
    std::array<std::uint64_t, static_cast<std::size_t>(Op::kCount)> counts_{};
    // Larger writes may reach us in pieces (the kernel splits them at its
    // write size), which could not be applied whole: they fail with EFBIG.
    std::size_t write_limit_ = kMaxMessage;
    std::unordered_map<std::uint64_t, Parked> parked_;  // by open (fh)
    // What each opendir saw: names and inodes, "." and ".." first. A listing
    // read in many readdir calls is taken once, so listing a directory of
    // n entries costs n, not n squared.
    std::unordered_map<std::uint64_t, std::vector<PpsCore::DirEntry>> dirs_;
    std::uint64_t next_dir_ = 1;
};

}  // namespace ppsfs

#endif

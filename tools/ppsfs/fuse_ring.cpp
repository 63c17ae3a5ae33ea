// SPDX-License-Identifier: Apache-2.0
#include "fuse_ring.h"

#include "log.h"

#include <fcntl.h>
#include <linux/fuse.h>
#include <liburing.h>
#include <pthread.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

namespace ppsfs {
namespace ring {

namespace {

// The kernel's interface for FUSE over io_uring (protocol 7.42), which
// the system's <linux/fuse.h> may predate.
constexpr std::uint64_t kOverIoUring = 1ULL << 41;  // INIT flag, in flags2
constexpr std::uint32_t kCmdRegister = 1;
constexpr std::uint32_t kCmdCommitAndFetch = 2;
constexpr std::size_t kHeaderArea = 128;  // in_out and op_in, each

struct EntInOut {
    std::uint64_t flags;
    std::uint64_t commit_id;
    std::uint32_t payload_sz;
    std::uint32_t padding;
    std::uint64_t reserved;
};

struct ReqHeader {
    char in_out[kHeaderArea];  // fuse_in_header in, fuse_out_header out
    char op_in[kHeaderArea];   // the operation's fixed argument
    EntInOut ent;
};

// In the 80-byte command area of a 128-byte SQE.
struct CmdReq {
    std::uint64_t flags;
    std::uint64_t commit_id;
    std::uint16_t qid;
    std::uint8_t padding[6];
};

// Entries each queue registers at start, and how many it keeps free with
// the kernel at least while others wait for deferred replies: twice as
// many after each burst that took them all, up to kMostSpare.
constexpr std::size_t kStartEntries = 16;
constexpr std::size_t kSpareEntries = 8;
constexpr std::size_t kMostSpare = 256;
constexpr unsigned kSqDepth = 256;
constexpr std::size_t kAreasPerMap = 16;
// What the payload areas of a queue's entries that serve no request (free
// with the kernel, or waiting for a deferred reply) keep of the pages
// requests and replies wrote: kKeptBytes in all, at most kResident each,
// the free entries sent back last first (the kernel hands out free entries
// last in, first out: these take the next requests), then those that
// waited least. The rest go back to the system (GiveBack).
constexpr std::size_t kResident = 64 * 1024;
constexpr std::size_t kKeptBytes = 1024 * 1024;
// Answers made in one go (a change that a crowd of waiting readers reads)
// go back to the kernel, and give their pages back, each time this many
// bytes of them wait in a queue's entries.
constexpr std::size_t kBurstBytes = 4 * 1024 * 1024;
constexpr unsigned kCqDepth = 4096;
constexpr std::uint64_t kWakeTag = 0;     // user_data of the wake-up read
constexpr std::uint64_t kPumpTag = 1;     // of a pump's statx
constexpr std::uint64_t kMessageTag = 2;  // a message from another ring: see the outbox
constexpr std::uint64_t kSentTag = 16;    // + the target's qid: the sender's completion of it
constexpr unsigned kMostPumps = 16;
// How long a queue that may hold queued requests waits, quiet, before it
// pumps (again: a pump may itself have been queued).
constexpr long long kPumpAgainNs = 20 * 1000 * 1000;

struct Queue;

// One ring entry: a request's buffers, registered with the kernel once.
struct Entry {
    ReqHeader header{};
    char *payload = nullptr;
    struct iovec iov[2] = {};
    Queue *queue = nullptr;
    std::uint64_t unique = 0;
    bool held = false;          // its request waits for a deferred reply
    bool with_kernel = false;   // registered or committed, not fetched since
    std::size_t touched = 0;    // payload bytes written since the last trim
    std::uint64_t sent_in = 0;  // the round of the queue's loop it went back in
    bool fetched = false;       // has a completion not yet seen (GiveBack)
};

struct Queue {
    unsigned qid = 0;
    struct io_uring ring {};
    std::thread thread;
    int wake_fd = -1;
    bool deferred = false;  // task work runs only while waiting (GiveBack is safe)
    char *area = nullptr;   // payload areas not handed out yet
    std::size_t area_left = 0;
    std::uint64_t round = 0;  // of the loop: one wait and what it brought
    std::uint64_t wake_value = 0;
    std::vector<std::unique_ptr<Entry>> entries;
    std::size_t with_kernel = 0;  // registered or committed, not yet fetched
    std::size_t held = 0;
    // The kernel queues a request that finds no entry of its CPU's queue
    // free, and hands it to an entry only when one is committed: entries
    // registered meanwhile take only new requests. A queued request waits
    // for ever if every entry in user space is held. So the queue pumps: a
    // statx of the mount from this CPU (an io_uring worker bound to it)
    // lands in a free entry, and its commit takes the first queued
    // request. It pumps at once when a burst took every free entry it knew
    // of, or a pump came back with another request seen meanwhile (its
    // commit may have brought out a queued one, and more may wait); and
    // otherwise, since free entries may be taken before it sees them (the
    // kernel hands a ring's deferred task work over 20 at a time), once
    // quiet for kPumpAgainNs, or kPumpAgainNs after the last pump whether
    // or not other requests come, while entries are held and requests came
    // since the last all-clear: a pump back with no other request seen
    // meanwhile.
    bool maybe_queued = false;
    std::uint64_t clear_at = 0;         // requests seen at the last all-clear
    std::size_t spare = kSpareEntries;  // free entries kept
    std::size_t commits = 0;            // answers sent back this round
    unsigned pumps = 0;                 // in flight
    std::uint64_t requests = 0, requests_at_pump = 0;
    std::chrono::steady_clock::time_point pumped_at;  // the last pump
    struct statx pumped;                              // what the pumps' statx write; never read
    std::vector<char> request;                        // one request, made contiguous for libfuse
    // Replies other threads made for this queue's entries.
    std::mutex outbox_mu;
    std::vector<Entry *> outbox;
    // Entries sent back with pages in their payload, with the round each
    // went back in, in the order sent (see GiveBack); and whether one of
    // them holds more than kResident.
    std::vector<std::pair<Entry *, std::uint64_t>> warm;
    bool oversize = false;
    // Entries whose request waits for a deferred reply, with pages left in
    // their payloads, and the request, in the order they came (GiveBack).
    std::vector<std::pair<Entry *, std::uint64_t>> parked;
    std::vector<struct iovec> release;  // GiveBack's pages to give back
    std::size_t unsent = 0;             // answer bytes committed since the last submit
    std::size_t outbox_bytes = 0;       // answer bytes in the outbox (outbox_mu)
    bool outbox_stalled = false;        // not taken in time (outbox_mu)
    std::condition_variable outbox_cv;  // the outbox was taken
};

struct State {
    struct fuse_session *se = nullptr;
    FuseGlue *glue = nullptr;
    std::thread sweeper;
    std::mutex stop_mu;
    std::condition_variable stop_cv;
    int fd = -1;
    std::atomic<bool> serving{false};
    std::atomic<bool> stopping{false};
    std::uint64_t init_unique = 0;
    bool offered = false;  // the kernel's INIT offered io_uring
    std::size_t payload_size = 0;
    std::vector<std::unique_ptr<Queue>> queues;
    // Requests being served or waiting for a deferred reply, by unique.
    std::mutex pending_mu;
    std::unordered_map<std::uint64_t, Entry *> pending;
    std::atomic<std::uint64_t> served{0};
    std::atomic<std::uint64_t> registered{0};
    std::atomic<std::uint64_t> pumped{0};
    std::atomic<std::size_t> started{0};  // queues with entries registered
    std::string mountpoint;
    int self_pidfd = -1;  // for process_madvise (Release)
};

State g_state;
thread_local Queue *t_queue = nullptr;  // the queue this thread serves

// The CPU count the kernel makes queues for: its possible CPUs.
unsigned PossibleCpus() {
    std::ifstream in("/sys/devices/system/cpu/possible");
    std::string text;
    std::getline(in, text);
    unsigned highest = 0;
    for (std::size_t i = 0; i < text.size();) {
        std::size_t end = text.find_first_of(",-", i);
        unsigned v = static_cast<unsigned>(std::strtoul(text.c_str() + i, nullptr, 10));
        highest = std::max(highest, v);
        if (end == std::string::npos) break;
        i = end + 1;
    }
    return text.empty() ? 1 : highest + 1;
}

void GiveBack(Queue &q);

struct io_uring_sqe *Sqe(Queue &q) {
    struct io_uring_sqe *sqe = io_uring_get_sqe(&q.ring);
    if (sqe == nullptr) {
        // A burst of answers (a change read by a crowd) goes out a queue
        // at a time, each giving its pages back.
        io_uring_submit(&q.ring);
        GiveBack(q);
        sqe = io_uring_get_sqe(&q.ring);
    }
    if (sqe != nullptr) std::memset(sqe, 0, 128);
    return sqe;
}

// The pages of an entry's payload past `keep`, to give back; empty when
// there are none. Only for an entry the kernel does not write to
// meanwhile: one in user space, or (with deferred task work, between two
// waits) one with no request.
struct iovec Excess(Entry *e, std::size_t keep) {
    const std::size_t page = static_cast<std::size_t>(getpagesize());
    const std::size_t from = (keep + page - 1) / page * page;
    const std::size_t to = (e->touched + page - 1) / page * page;
    e->touched = std::min(e->touched, keep);
    return to > from ? iovec{e->payload + from, to - from} : iovec{nullptr, 0};
}

// Gives back an entry's pages past `keep` (see Excess).
void Trim(Entry *e, std::size_t keep) {
    const struct iovec pages = Excess(e, keep);
    if (pages.iov_len > 0) madvise(pages.iov_base, pages.iov_len, MADV_DONTNEED);
}

// Gives back many entries' pages in one go: one process_madvise(2) flushes
// the other CPUs' TLBs once for all (Linux 6.16), where madvise(2) would
// for each. (A crowd of waiting readers sends thousands of answers in a
// burst, each leaving pages behind.)
void Release(std::vector<struct iovec> &ranges) {
    for (std::size_t at = 0; at < ranges.size(); at += IOV_MAX) {
        const std::size_t n = std::min<std::size_t>(IOV_MAX, ranges.size() - at);
        std::size_t bytes = 0;
        for (std::size_t i = at; i < at + n; i++) bytes += ranges[i].iov_len;
        // process_madvise takes any advice for the process itself since
        // Linux 6.13; before, or if it did not all, madvise each.
        const long done = g_state.self_pidfd < 0 ? -1
                                                 : syscall(SYS_process_madvise, g_state.self_pidfd,
                                                           &ranges[at], n, MADV_DONTNEED, 0U);
        if (done != static_cast<long>(bytes))
            for (std::size_t i = at; i < at + n; i++)
                madvise(ranges[i].iov_base, ranges[i].iov_len, MADV_DONTNEED);
    }
    ranges.clear();
}

// The next completion in the CQ (without asking the kernel), or null.
struct io_uring_cqe *NextCqe(Queue &q) {
    struct io_uring_cqe *cqe;
    unsigned head;
    io_uring_for_each_cqe(&q.ring, head, cqe) return cqe;
    return nullptr;
}

// The entry a completion is for; null for the other completions (tags).
Entry *EntryOf(std::uint64_t user_data) {
    return user_data < kSentTag + g_state.queues.size() ? nullptr
                                                        : reinterpret_cast<Entry *>(user_data);
}

void PrepCommand(Queue &q, Entry *e, std::uint32_t op) {
    struct io_uring_sqe *sqe = Sqe(q);
    if (sqe == nullptr) return;  // not reached: the submit above frees the queue
    sqe->opcode = IORING_OP_URING_CMD;
    sqe->fd = g_state.fd;
    sqe->cmd_op = op;
    sqe->addr = reinterpret_cast<std::uint64_t>(e->iov);
    sqe->len = 2;
    sqe->user_data = reinterpret_cast<std::uint64_t>(e);
    CmdReq cmd = {};
    cmd.commit_id = e->unique;
    cmd.qid = static_cast<std::uint16_t>(q.qid);
    std::memcpy(sqe->cmd, &cmd, sizeof cmd);
    q.with_kernel++;
    e->with_kernel = true;
    e->sent_in = q.round;
    if (op == kCmdCommitAndFetch) q.commits++;
    if (q.deferred && e->touched > 0) {
        q.warm.emplace_back(e, q.round);
        q.oversize = q.oversize || e->touched > kResident;
    }
}

bool AddEntry(Queue &q) {
    // A payload area is as large as any request or reply may be; only the
    // pages a request or reply touches take memory. They are mapped a few
    // at a time.
    if (q.area_left == 0) {
        void *p = mmap(nullptr, g_state.payload_size * kAreasPerMap, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (p == MAP_FAILED) return false;
        q.area = static_cast<char *>(p);
        q.area_left = kAreasPerMap;
    }
    auto e = std::make_unique<Entry>();
    e->payload = q.area;
    q.area += g_state.payload_size;
    q.area_left--;
    e->iov[0] = {&e->header, sizeof e->header};
    e->iov[1] = {e->payload, g_state.payload_size};
    e->queue = &q;
    PrepCommand(q, e.get(), kCmdRegister);
    q.entries.push_back(std::move(e));
    g_state.registered++;
    return true;
}

void ArmWake(Queue &q) {
    struct io_uring_sqe *sqe = Sqe(q);
    if (sqe == nullptr) return;
    io_uring_prep_read(sqe, q.wake_fd, &q.wake_value, sizeof q.wake_value, 0);
    sqe->user_data = kWakeTag;
}

// Wakes a queue's thread through its eventfd.
void Wake(const Queue &q) {
    const std::uint64_t one = 1;
    if (write(q.wake_fd, &one, sizeof one) < 0) {
        // The counter cannot overflow at one per wake-up; nothing to do.
    }
}

// Commits a reply already in the entry's buffers; on the queue's own
// thread at once, from any other through the queue's outbox.
void Commit(Entry *e) {
    Queue &q = *e->queue;
    if (t_queue == &q) {
        if (e->held) {
            e->held = false;
            q.held--;
        }
        PrepCommand(q, e, kCmdCommitAndFetch);
        q.unsent += e->touched;
        if (q.unsent >= kBurstBytes) {
            io_uring_submit(&q.ring);
            q.unsent = 0;
            GiveBack(q);
        }
        return;
    }
    bool wake, full;
    {
        std::lock_guard<std::mutex> lock(q.outbox_mu);
        wake = q.outbox.empty();  // else a wake-up is on its way already
        q.outbox.push_back(e);
        q.outbox_bytes += e->touched;
        full = q.outbox_bytes >= kBurstBytes && !q.outbox_stalled;
    }
    if (full) {
        // Many answers wait there (a crowd's): the queue takes them now,
        // not when this thread next submits, and this thread makes no more
        // until it did (for a while at most: a queue whose ring ended takes
        // none).
        Wake(q);
        std::unique_lock<std::mutex> lock(q.outbox_mu);
        if (!q.outbox_cv.wait_for(lock, std::chrono::milliseconds(50),
                                  [&q] { return q.outbox_bytes < kBurstBytes; }))
            q.outbox_stalled = true;
        return;
    }
    if (!wake) return;
    // From another ring, a message goes out with that ring's next submit,
    // no system call of its own.
    if (t_queue != nullptr) {
        if (struct io_uring_sqe *sqe = Sqe(*t_queue)) {
            io_uring_prep_msg_ring(sqe, q.ring.ring_fd, 0, kMessageTag, 0);
            sqe->user_data = kSentTag + q.qid;
            return;
        }
    }
    Wake(q);
}

void TakeOutbox(Queue &q);

// Serves one request the kernel put in an entry.
void Serve(Queue &q, Entry *e) {
    const auto *in = reinterpret_cast<const struct fuse_in_header *>(e->header.in_out);
    const std::uint32_t payload = e->header.ent.payload_sz;
    const std::size_t fixed = sizeof(struct fuse_in_header);
    e->unique = in->unique;
    e->touched = std::max<std::size_t>(e->touched, payload);
    g_state.served++;
    if (in->len < fixed + payload || in->len - fixed - payload > kHeaderArea ||
        payload > g_state.payload_size) {
        // Not what the kernel sends: fail it rather than guess.
        struct fuse_out_header out = {sizeof out, -EIO, e->unique};
        std::memcpy(e->header.in_out, &out, sizeof out);
        e->header.ent = {};
        Commit(e);
        return;
    }
    {
        std::lock_guard<std::mutex> lock(g_state.pending_mu);
        g_state.pending[e->unique] = e;
    }
    // libfuse takes a request as /dev/fuse gives it: the header, the
    // operation's argument, then the rest.
    const std::size_t op_len = in->len - fixed - payload;
    q.request.resize(in->len);
    std::memcpy(q.request.data(), in, fixed);
    std::memcpy(q.request.data() + fixed, e->header.op_in, op_len);
    std::memcpy(q.request.data() + fixed + op_len, e->payload, payload);
    struct fuse_buf buf = {};
    buf.size = in->len;
    buf.mem = q.request.data();
    {
        // While it waits for the filesystem's lock, the thread sends back
        // the answers others made for its entries: one that answers a crowd
        // of waiting readers holds the lock while it answers them all.
        std::unique_lock<std::recursive_timed_mutex> lock(g_state.glue->Mutex(), std::defer_lock);
        while (!lock.try_lock_for(std::chrono::milliseconds(1))) {
            TakeOutbox(q);
            io_uring_submit(&q.ring);
            q.unsent = 0;
            GiveBack(q);
        }
        fuse_session_process_buf(g_state.se, &buf);
    }
    std::lock_guard<std::mutex> lock(g_state.pending_mu);
    if (g_state.pending.count(e->unique) != 0 && !e->held) {
        e->held = true;
        q.held++;
        if (e->touched > 0) q.parked.emplace_back(e, e->unique);  // see GiveBack
    }
}

void TakeOutbox(Queue &q) {
    std::vector<Entry *> mine;
    {
        std::lock_guard<std::mutex> lock(q.outbox_mu);
        mine.swap(q.outbox);
        q.outbox_bytes = 0;
        q.outbox_stalled = false;
    }
    q.outbox_cv.notify_all();
    for (Entry *e : mine) Commit(e);
}

// The bytes of the pages an entry's payload holds.
std::size_t PageBytes(const Entry *e) {
    const std::size_t page = static_cast<std::size_t>(getpagesize());
    return (e->touched + page - 1) / page * page;
}

// Free entries' part of GiveBack, with deferred task work only: the kernel
// then writes a request into a free entry only while this thread waits.
// `left`: what they may keep, less what they keep on return.
void GiveBackFree(Queue &q, std::size_t *left) {
    // An entry that came back since it was sent is no longer free.
    q.warm.erase(std::remove_if(q.warm.begin(), q.warm.end(),
                                [](const std::pair<Entry *, std::uint64_t> &w) {
                                    return !w.first->with_kernel || w.first->sent_in != w.second;
                                }),
                 q.warm.end());
    std::size_t bytes = 0;
    for (const auto &w : q.warm) bytes += PageBytes(w.first);
    if (bytes <= *left && !q.oversize) {
        *left -= bytes;
        return;
    }
    // The kernel reads a reply when its commit is submitted, and may at
    // once write the next queued request into that entry (its completion
    // then waits in the CQ). Nothing may stay unsubmitted, and no
    // completion may wait outside the CQ (overflowed).
    if (io_uring_submit(&q.ring) < 0 || io_uring_sq_ready(&q.ring) != 0 ||
        (IO_URING_READ_ONCE(*q.ring.sq.kflags) & IORING_SQ_CQ_OVERFLOW) != 0) {
        *left -= std::min(*left, bytes);
        return;
    }
    q.unsent = 0;
    struct io_uring_cqe *cqe;
    unsigned head;
    io_uring_for_each_cqe(&q.ring, head, cqe) {
        if (Entry *e = EntryOf(cqe->user_data)) e->fetched = true;
    }
    std::vector<std::pair<Entry *, std::uint64_t>> keep;
    for (auto it = q.warm.rbegin(); it != q.warm.rend(); ++it) {
        Entry *e = it->first;
        if (e->fetched) continue;  // a request is in it, served next
        const std::size_t kept = std::min(PageBytes(e), kResident);
        const bool room = kept <= *left;
        const struct iovec pages = Excess(e, room ? kResident : 0);
        if (pages.iov_len > 0) q.release.push_back(pages);
        if (room && kept > 0) {
            *left -= kept;
            keep.push_back(*it);
        }
    }
    io_uring_for_each_cqe(&q.ring, head, cqe) {
        if (Entry *e = EntryOf(cqe->user_data)) e->fetched = false;
    }
    std::reverse(keep.begin(), keep.end());
    q.warm.swap(keep);
    q.oversize = false;
}

// Gives back the pages of the queue's entries that serve no request now
// (see kKeptBytes): a crowd of readers costs no memory while it waits,
// and leaves none behind. Called on the queue's thread with every
// completion it has taken seen (its CQ advanced past them).
void GiveBack(Queue &q) {
    std::size_t left = kKeptBytes;
    if (q.deferred) GiveBackFree(q, &left);
    // Entries whose requests wait. Another thread writes a reply into one
    // once it took it out of `pending`, hence under that lock.
    if (!q.parked.empty()) {
        std::vector<std::pair<Entry *, std::uint64_t>> keep;
        std::lock_guard<std::mutex> lock(g_state.pending_mu);
        for (auto it = q.parked.rbegin(); it != q.parked.rend(); ++it) {
            Entry *e = it->first;
            auto p = g_state.pending.find(it->second);
            if (!e->held || e->unique != it->second || p == g_state.pending.end() || p->second != e)
                continue;  // answered since
            const std::size_t bytes = PageBytes(e);
            if (bytes <= std::min(left, kResident)) {
                left -= bytes;
                if (bytes > 0) keep.push_back(*it);
                continue;
            }
            const struct iovec pages = Excess(e, 0);
            if (pages.iov_len > 0) q.release.push_back(pages);
        }
        std::reverse(keep.begin(), keep.end());
        q.parked.swap(keep);
        Release(q.release);  // still under the lock
    }
    Release(q.release);
}

void Pump(Queue &q) {
    struct io_uring_sqe *sqe = Sqe(q);
    if (sqe == nullptr) return;
    io_uring_prep_statx(sqe, AT_FDCWD, g_state.mountpoint.c_str(), AT_STATX_FORCE_SYNC,
                        STATX_BASIC_STATS, &q.pumped);
    sqe->user_data = kPumpTag;
    q.pumps++;
    q.requests_at_pump = q.requests;
    q.pumped_at = std::chrono::steady_clock::now();
    g_state.pumped++;
}

// Sets up the queue's ring on its own thread: with deferred task work the
// kernel writes requests into entries only while the thread waits for
// completions, never in between (see GiveBack).
bool SetUp(Queue &q) {
    q.wake_fd = eventfd(0, EFD_CLOEXEC);
    if (q.wake_fd < 0) return false;
    int rc = -EINVAL;
    for (bool deferred : {true, false}) {  // deferred task work since Linux 6.1
        struct io_uring_params p = {};
        p.flags = IORING_SETUP_SQE128 | IORING_SETUP_CQSIZE |
                  (deferred ? IORING_SETUP_SINGLE_ISSUER | IORING_SETUP_DEFER_TASKRUN : 0);
        p.cq_entries = kCqDepth;
        rc = io_uring_queue_init_params(kSqDepth, &q.ring, &p);
        q.deferred = deferred;
        if (rc != -EINVAL) break;
    }
    if (rc < 0) {
        // The kernel uses the rings only once every CPU's queue has
        // entries: until then (for ever, here) requests come through
        // /dev/fuse.
        Logf("FUSE over io_uring: cannot set up queue %u: %s; serving /dev/fuse", q.qid,
             std::strerror(-rc));
        return false;
    }
    return true;
}

void Run(Queue *qp) {
    Queue &q = *qp;
    t_queue = &q;
    if (!SetUp(q)) return;
    cpu_set_t cpus;
    CPU_ZERO(&cpus);
    CPU_SET(q.qid, &cpus);
    // Outside the process's CPU set (taskset, a cgroup) the thread runs
    // where it may; requests from that CPU then cross to it.
    pthread_setaffinity_np(pthread_self(), sizeof cpus, &cpus);
    for (std::size_t i = 0; i < kStartEntries; i++) AddEntry(q);
    ArmWake(q);
    io_uring_submit(&q.ring);
    // The kernel turns to the rings once every queue has entries: after
    // the last queue's first submit.
    if (++g_state.started == g_state.queues.size())
        LogAt(LOG_INFO,
              "FUSE over io_uring: %zu queues, one thread on each CPU, entries of %zu KiB",
              g_state.queues.size(), g_state.payload_size / 1024);
    // The pumps' CPU. (The ring's workers exist once it has submitted.)
    if (int rc = io_uring_register_iowq_aff(&q.ring, sizeof cpus, &cpus); rc < 0)
        Logf("io_uring queue %u: its pumps may run on any CPU: %s", q.qid, std::strerror(-rc));
    bool stop = false, gone = false;
    while (!stop) {
        const std::size_t offered = q.with_kernel;
        q.round++;
        q.commits = 0;
        q.unsent = 0;  // sent with this wait
        std::size_t taken = 0;
        int rc;
        const bool watch = q.maybe_queued || (q.held > 0 && q.requests > q.clear_at);
        if (watch) {
            // Quiet for kPumpAgainNs, or until a check is due (see Queue).
            const long long since = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                        std::chrono::steady_clock::now() - q.pumped_at)
                                        .count();
            const bool check = !gone && !q.maybe_queued && q.pumps == 0;
            struct __kernel_timespec wait = {
                0, check ? std::clamp(kPumpAgainNs - since, 0LL, kPumpAgainNs) : kPumpAgainNs};
            struct io_uring_cqe *first;
            rc = io_uring_submit_and_wait_timeout(&q.ring, &first, 1, &wait, nullptr);
        } else {
            rc = io_uring_submit_and_wait(&q.ring, 1);
        }
        const bool quiet = rc == -ETIME;
        if (rc < 0 && !quiet && rc != -EINTR && rc != -EAGAIN && rc != -EBUSY) {
            Logf("io_uring queue %u: %s; its requests wait for the others", q.qid,
                 std::strerror(-rc));
            break;
        }
        // Each completion is marked seen before it is handled: handling may
        // submit (a full SQ) and give pages back, which must tell those yet
        // to come from those taken.
        while (struct io_uring_cqe *cqe = NextCqe(q)) {
            const std::uint64_t data = cqe->user_data;
            const std::int32_t res = cqe->res;
            io_uring_cqe_seen(&q.ring, cqe);
            if (data == kWakeTag) {
                TakeOutbox(q);
                if (g_state.stopping) {
                    stop = true;
                } else {
                    ArmWake(q);
                }
                continue;
            }
            if (data == kMessageTag) {
                TakeOutbox(q);
                continue;
            }
            if (data >= kSentTag && data < kSentTag + g_state.queues.size()) {
                // Not sent: the target's eventfd wakes it.
                if (res < 0) Wake(*g_state.queues[data - kSentTag]);
                continue;
            }
            if (data == kPumpTag) {
                q.pumps--;
                if (q.pumps == 0) {
                    q.maybe_queued = q.requests - q.requests_at_pump > 1;
                    if (!q.maybe_queued) q.clear_at = q.requests;
                }
                continue;
            }
            auto *e = reinterpret_cast<Entry *>(data);
            q.with_kernel--;
            e->with_kernel = false;
            if (res < 0) {
                // The connection is gone (unmounted, aborted), or the
                // kernel refuses new entries: the queue registers no more
                // (its requests then wait for the entries it has). An
                // answer it refused loses that entry only.
                const bool ended = res == -ENOTCONN || res == -ECONNABORTED;
                if (!ended && res != -ECANCELED)
                    Logf("io_uring queue %u: %s failed: %s", q.qid,
                         e->unique == 0 ? "an entry's registration" : "an answer",
                         std::strerror(-res));
                gone = gone || ended || e->unique == 0;
                continue;
            }
            taken++;
            q.requests++;
            Serve(q, e);
        }
        if (taken >= offered && taken > 0) {
            q.maybe_queued = true;
            q.spare = std::min(std::max(q.spare * 2, taken), kMostSpare);
        }
        while (!stop && !gone && q.with_kernel < q.spare && AddEntry(q)) {
        }
        // Each answer sent back brings out a queued request, if any: a
        // pump is needed only when none goes back. A new pump while one
        // waits only when nothing came for a while (the waiting one may
        // itself be queued). A check every kPumpAgainNs even while other
        // requests come (their answers bring out queued requests only one
        // at a time).
        const bool check = watch && !q.maybe_queued && q.pumps == 0 &&
                           std::chrono::steady_clock::now() - q.pumped_at >=
                               std::chrono::nanoseconds(kPumpAgainNs);
        if (!stop && !gone && q.pumps < kMostPumps &&
            ((q.maybe_queued && q.pumps == 0 && q.commits == 0) || (quiet && watch) || check))
            Pump(q);
        if (!stop) GiveBack(q);
    }
    io_uring_submit(&q.ring);
    io_uring_queue_exit(&q.ring);
}

// The INIT reply, with io_uring asked for when the kernel offered it. The
// rings start once the kernel took it.
ssize_t ReplyInit(int fd, const struct iovec *iov, int count) {
    std::vector<char> reply;
    for (int i = 0; i < count; i++)
        reply.insert(reply.end(), static_cast<const char *>(iov[i].iov_base),
                     static_cast<const char *>(iov[i].iov_base) + iov[i].iov_len);
    const std::size_t at = sizeof(struct fuse_out_header);
    auto *out = reinterpret_cast<struct fuse_out_header *>(reply.data());
    struct fuse_init_out init = {};
    const bool whole = out->error == 0 && reply.size() >= at + offsetof(fuse_init_out, unused);
    if (whole) std::memcpy(&init, reply.data() + at, std::min(sizeof init, reply.size() - at));
    // io_uring itself may be off (kernel.io_uring_disabled, a seccomp
    // filter): then the kernel is not asked.
    struct io_uring probe;
    const int usable = g_state.offered ? io_uring_queue_init(2, &probe, 0) : -ENOSYS;
    if (usable == 0) io_uring_queue_exit(&probe);
    const bool ask = whole && usable == 0 && (init.flags & FUSE_INIT_EXT) != 0;
    if (ask) {
        init.flags2 |= static_cast<std::uint32_t>(kOverIoUring >> 32);
        std::memcpy(reply.data() + at, &init, offsetof(fuse_init_out, unused));
    } else if (!g_state.offered) {
        LogAt(LOG_INFO,
              "FUSE over io_uring: not offered by the kernel (fuse enable_uring); serving "
              "/dev/fuse");
    } else {
        LogAt(LOG_INFO, "FUSE over io_uring: io_uring unavailable (%s); serving /dev/fuse",
              std::strerror(usable < 0 ? -usable : EINVAL));
    }
    ssize_t n = write(fd, reply.data(), reply.size());
    if (n < 0 || !ask) return n;
    g_state.payload_size = std::max<std::size_t>(
        {FUSE_MIN_READ_BUFFER, init.max_write,
         static_cast<std::size_t>(init.max_pages) * static_cast<std::size_t>(getpagesize())});
    g_state.self_pidfd = static_cast<int>(syscall(SYS_pidfd_open, getpid(), 0U));
    const unsigned cpus = PossibleCpus();
    for (unsigned i = 0; i < cpus; i++) {
        auto q = std::make_unique<Queue>();
        q->qid = i;
        g_state.queues.push_back(std::move(q));
    }
    for (auto &q : g_state.queues) q->thread = std::thread(Run, q.get());
    g_state.serving = true;
    g_state.sweeper = std::thread([] {
        constexpr auto kEvery = std::chrono::milliseconds(200);
        std::unique_lock<std::mutex> lock(g_state.stop_mu);
        while (!g_state.stop_cv.wait_for(lock, kEvery, [] { return g_state.stopping.load(); }))
            g_state.glue->EndLostInterrupts(kEvery);
    });
    return n;
}

ssize_t DeviceRead(int fd, void *buf, std::size_t len, void *) {
    ssize_t n = read(fd, buf, len);
    if (n >= static_cast<ssize_t>(sizeof(struct fuse_in_header) + sizeof(struct fuse_init_in))) {
        const auto *in = static_cast<const struct fuse_in_header *>(buf);
        if (in->opcode == FUSE_INIT) {
            struct fuse_init_in init;
            std::memcpy(&init, static_cast<const char *>(buf) + sizeof *in, sizeof init);
            g_state.init_unique = in->unique;
            g_state.offered = (init.flags & FUSE_INIT_EXT) != 0 &&
                              (init.flags2 & static_cast<std::uint32_t>(kOverIoUring >> 32)) != 0;
        }
    }
    return n;
}

ssize_t DeviceWritev(int fd, struct iovec *iov, int count, void *) {
    if (count < 1 || iov[0].iov_len < sizeof(struct fuse_out_header)) return writev(fd, iov, count);
    const auto *out = static_cast<const struct fuse_out_header *>(iov[0].iov_base);
    if (out->unique == 0) return writev(fd, iov, count);  // a notification
    if (g_state.init_unique != 0 && out->unique == g_state.init_unique) {
        g_state.init_unique = 0;
        return ReplyInit(fd, iov, count);
    }
    Entry *e = nullptr;
    {
        std::lock_guard<std::mutex> lock(g_state.pending_mu);
        auto it = g_state.pending.find(out->unique);
        if (it != g_state.pending.end()) {
            e = it->second;
            g_state.pending.erase(it);
        }
    }
    if (e == nullptr) return writev(fd, iov, count);  // came through /dev/fuse
    std::size_t total = 0;
    for (int i = 0; i < count; i++) total += iov[i].iov_len;
    std::memcpy(e->header.in_out, out, sizeof *out);
    Trim(e, std::max(total - sizeof *out, kResident));
    std::size_t at = 0;
    if (total - sizeof *out > g_state.payload_size) {
        // Larger than the kernel may ask for: fail the request instead.
        auto *h = reinterpret_cast<struct fuse_out_header *>(e->header.in_out);
        h->error = -EIO;
        h->len = sizeof *h;
    } else {
        // The pages given back come back in one call, not a fault each.
        const std::size_t page = static_cast<std::size_t>(getpagesize());
        const std::size_t have = PageBytes(e), need = total - sizeof *out;
        if (need > have + page) madvise(e->payload + have, need - have, MADV_POPULATE_WRITE);
        for (int i = 0; i < count; i++) {
            const char *p = static_cast<const char *>(iov[i].iov_base);
            std::size_t n = iov[i].iov_len;
            if (i == 0) {
                p += sizeof *out;
                n -= sizeof *out;
            }
            std::memcpy(e->payload + at, p, n);
            at += n;
        }
    }
    e->header.ent = {};
    e->header.ent.payload_sz = static_cast<std::uint32_t>(at);
    e->touched = std::max(e->touched, at);
    Commit(e);
    return static_cast<ssize_t>(total);
}

}  // namespace

bool Install(struct fuse_session *se, FuseGlue *glue, const std::string &mountpoint,
             std::string *why) {
    g_state.se = se;
    // The pumps' statx runs after ppsfs became a daemon in "/": the path
    // must not be relative. (Resolving it would ask the mount itself,
    // which serves nothing yet.)
    g_state.mountpoint = mountpoint;
    if (mountpoint.empty() || mountpoint[0] != '/') {
        char cwd[PATH_MAX];
        if (getcwd(cwd, sizeof cwd) == nullptr) {
            *why = std::string("the current directory: ") + std::strerror(errno);
            return false;
        }
        g_state.mountpoint = std::string(cwd) + "/" + mountpoint;
    }
    g_state.glue = glue;
    g_state.fd = fuse_session_fd(se);
    struct fuse_custom_io io = {};
    io.read = DeviceRead;
    io.writev = DeviceWritev;
    // The session keeps the descriptor and closes it when destroyed.
    int rc = fuse_session_custom_io(se, &io, g_state.fd);
    if (rc != 0) {
        *why = std::strerror(rc < 0 ? -rc : rc);
        return false;
    }
    return true;
}

bool Serving() {
    return g_state.serving;
}

void Stop() {
    if (!g_state.serving) return;
    {
        std::lock_guard<std::mutex> lock(g_state.stop_mu);
        g_state.stopping = true;
    }
    g_state.stop_cv.notify_all();
    if (g_state.sweeper.joinable()) g_state.sweeper.join();
    for (auto &q : g_state.queues) Wake(*q);
    for (auto &q : g_state.queues)
        if (q->thread.joinable()) q->thread.join();
    if (g_state.self_pidfd >= 0) close(g_state.self_pidfd);
    g_state.self_pidfd = -1;
    g_state.serving = false;
}

void WriteStats(std::FILE *out) {
    if (g_state.registered == 0) return;
    std::fprintf(out, "RingRequests %llu\nRingEntries %llu\nRingPumps %llu\n",
                 static_cast<unsigned long long>(g_state.served.load()),
                 static_cast<unsigned long long>(g_state.registered.load()),
                 static_cast<unsigned long long>(g_state.pumped.load()));
}

}  // namespace ring
}  // namespace ppsfs

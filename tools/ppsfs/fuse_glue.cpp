// SPDX-License-Identifier: Apache-2.0
#include "fuse_glue.h"

#include "log.h"

#include <fcntl.h>
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <cstdio>
#include <exception>
#include <new>
#include <string>
#include <vector>

namespace ppsfs {

namespace {

Caller CallerOf(fuse_req_t req) {
    const struct fuse_ctx *ctx = fuse_req_ctx(req);
    Caller c;
    c.uid = ctx->uid;
    c.gid = ctx->gid;
    c.pid = ctx->pid;
    return c;
}

void ReplyEntry(fuse_req_t req, std::uint64_t ino, const struct stat &st) {
    struct fuse_entry_param e = {};
    e.ino = ino;
    e.attr = st;
    // Nothing is cached: an object's qualified names are separate inodes
    // that must always show the object's current mode and owner.
    e.attr_timeout = 0;
    e.entry_timeout = 0;
    fuse_reply_entry(req, &e);
}

void SetupOpen(struct fuse_file_info *fi, std::uint64_t fh) {
    fi->fh = fh;
    // Every read and write reaches the filesystem with the caller's own
    // buffer size; there is no position and nothing to cache.
    fi->direct_io = 1;
    fi->nonseekable = 1;
    fi->keep_cache = 0;
}

// Runs one request handler so that no exception leaves it: a failed
// allocation answers ENOMEM, anything else EIO (handlers reply last, so a
// throw means no reply went out yet). Then serves the opens the request
// made readable.
template <class Sig, Sig *Fn, FuseGlue::Op O>
struct Guard;
template <class... Args, void (*Fn)(fuse_req_t, Args...), FuseGlue::Op O>
struct Guard<void(fuse_req_t, Args...), Fn, O> {
    static void Call(fuse_req_t req, Args... args) {
        FuseGlue &g = *static_cast<FuseGlue *>(fuse_req_userdata(req));
        std::lock_guard<std::recursive_timed_mutex> lock(g.Mutex());
        g.Count(O);
        try {
            Fn(req, args...);
        } catch (const std::bad_alloc &) {
            fuse_reply_err(req, ENOMEM);
        } catch (const std::exception &) {
            fuse_reply_err(req, EIO);
        }
        g.ServeWoken();
    }
};

}  // namespace

FuseGlue::~FuseGlue() {
    Shutdown();
}

FuseGlue &FuseGlue::Of(fuse_req_t req) {
    return *static_cast<FuseGlue *>(fuse_req_userdata(req));
}

const struct fuse_lowlevel_ops &FuseGlue::Ops() {
    static const struct fuse_lowlevel_ops ops = [] {
        struct fuse_lowlevel_ops o = {};
        o.init = Init;
        o.lookup = &Guard<decltype(Lookup), Lookup, FuseGlue::Op::kLookup>::Call;
        o.forget = ForgetOne;
        o.forget_multi = ForgetMulti;
        o.getattr = &Guard<decltype(GetAttr), GetAttr, FuseGlue::Op::kGetAttr>::Call;
        o.setattr = &Guard<decltype(SetAttr), SetAttr, FuseGlue::Op::kSetAttr>::Call;
        o.mkdir = &Guard<decltype(Mkdir), Mkdir, FuseGlue::Op::kMkdir>::Call;
        o.unlink = &Guard<decltype(Unlink), Unlink, FuseGlue::Op::kUnlink>::Call;
        o.rmdir = &Guard<decltype(Rmdir), Rmdir, FuseGlue::Op::kRmdir>::Call;
        o.opendir = &Guard<decltype(OpenDir), OpenDir, FuseGlue::Op::kOpenDir>::Call;
        o.readdir = &Guard<decltype(ReadDir), ReadDir, FuseGlue::Op::kReadDir>::Call;
        o.releasedir = &Guard<decltype(ReleaseDir), ReleaseDir, FuseGlue::Op::kReleaseDir>::Call;
        o.create = &Guard<decltype(Create), Create, FuseGlue::Op::kCreate>::Call;
        o.open = &Guard<decltype(Open), Open, FuseGlue::Op::kOpen>::Call;
        o.read = &Guard<decltype(Read), Read, FuseGlue::Op::kRead>::Call;
        o.write = &Guard<decltype(Write), Write, FuseGlue::Op::kWrite>::Call;
        o.release = &Guard<decltype(Release), Release, FuseGlue::Op::kRelease>::Call;
        o.fsync = &Guard<decltype(Fsync), Fsync, FuseGlue::Op::kFsync>::Call;
        o.poll = &Guard<decltype(Poll), Poll, FuseGlue::Op::kPoll>::Call;
        return o;
    }();
    return ops;
}

void FuseGlue::WriteStats(std::FILE *out) const {
    static const char *const kNames[] = {
#define PPSFS_OP_NAME(name) #name,
        PPSFS_FUSE_OPS(PPSFS_OP_NAME)
#undef PPSFS_OP_NAME
    };
    for (std::size_t i = 0; i < counts_.size(); i++)
        if (counts_[i] != 0)
            std::fprintf(out, "%s %llu\n", kNames[i], static_cast<unsigned long long>(counts_[i]));
}

void FuseGlue::Shutdown() {
    std::lock_guard<std::recursive_timed_mutex> lock(mu_);
    for (auto &p : parked_) {
        for (const ParkedRead &r : p.second.reads) fuse_reply_err(r.req, EIO);
        if (p.second.poll != nullptr) fuse_pollhandle_destroy(p.second.poll);
    }
    parked_.clear();
}

void FuseGlue::Init(void *, struct fuse_conn_info *conn) {
    // O_TRUNC arrives with the open, so that truncation and open are one step.
    if ((conn->capable & FUSE_CAP_ATOMIC_O_TRUNC) != 0) conn->want |= FUSE_CAP_ATOMIC_O_TRUNC;
    // One read(2) must be one request, answered in order: no parallel
    // direct-I/O pieces, no splicing, no write-back cache.
    conn->want &= ~(FUSE_CAP_ASYNC_DIO | FUSE_CAP_ASYNC_READ | FUSE_CAP_SPLICE_READ |
                    FUSE_CAP_SPLICE_WRITE | FUSE_CAP_SPLICE_MOVE | FUSE_CAP_WRITEBACK_CACHE);
}

void FuseGlue::ReplyRead(fuse_req_t req, const ReadResult &r) {
    switch (r.kind) {
        case ReadResult::Kind::kData:
            fuse_reply_buf(req, r.data.data(), r.data.size());
            break;
        case ReadResult::Kind::kEof:
            fuse_reply_buf(req, nullptr, 0);
            break;
        case ReadResult::Kind::kAgain:
            fuse_reply_err(req, EAGAIN);
            break;
        case ReadResult::Kind::kTooBig:
            fuse_reply_err(req, EMSGSIZE);
            break;
        case ReadResult::Kind::kBlock:
            fuse_reply_err(req, EIO);
            break;  // not reached
    }
}

void FuseGlue::ServeWoken() {
    for (std::uint64_t fh : core_->TakeWoken()) {
        auto it = parked_.find(fh);
        if (it == parked_.end()) continue;
        Parked &p = it->second;
        while (!p.reads.empty()) {
            ParkedRead r = p.reads.front();
            ReadResult res;
            try {
                res = core_->Read(fh, r.size, r.flags);
            } catch (const std::exception &) {
                p.reads.pop_front();
                fuse_reply_err(r.req, ENOMEM);
                continue;
            }
            if (res.kind == ReadResult::Kind::kBlock) break;
            p.reads.pop_front();
            ReplyRead(r.req, res);
        }
        if (p.poll != nullptr && (core_->Readable(fh) || (p.poll_write && core_->Writable(fh)))) {
            fuse_lowlevel_notify_poll(p.poll);
            Count(Op::kPollNotify);
            fuse_pollhandle_destroy(p.poll);
            p.poll = nullptr;
        }
        if (p.reads.empty() && p.poll == nullptr) parked_.erase(it);
    }
}

void FuseGlue::EndLostInterrupts(std::chrono::steady_clock::duration age) {
    // The reads to look at are taken under the lock, their readers' states
    // read without it (a crowd of thousands of waiting readers takes a
    // while, and holding the lock meanwhile would hold up every request),
    // then those reads that are still parked are ended or marked.
    struct Look {
        std::uint64_t fh;
        ParkedRead read;
        char state;
    };
    std::vector<Look> looks;
    {
        std::lock_guard<std::recursive_timed_mutex> lock(mu_);
        const auto now = std::chrono::steady_clock::now();
        for (const auto &p : parked_)
            for (const ParkedRead &r : p.second.reads)
                if (!r.seen_asleep && now - r.since >= age) looks.push_back(Look{p.first, r, '?'});
    }
    if (looks.empty()) return;
    for (Look &l : looks) {
        // The state is the letter after the name's closing parenthesis in
        // the thread's own stat (/proc/TID/stat would be its whole
        // process's, which sums the CPU time of every thread in it).
        char text[512] = "";
        const std::string tid = std::to_string(l.read.reader);
        if (std::FILE *f = std::fopen(("/proc/" + tid + "/task/" + tid + "/stat").c_str(), "re")) {
            text[std::fread(text, 1, sizeof text - 1, f)] = '\0';
            std::fclose(f);
        }
        const char *paren = std::strrchr(text, ')');
        l.state = paren != nullptr && paren[1] == ' ' ? paren[2] : '?';
    }
    std::lock_guard<std::recursive_timed_mutex> lock(mu_);
    for (const Look &l : looks) {
        if (l.state != 'S' && l.state != 'D') continue;
        auto p = parked_.find(l.fh);
        if (p == parked_.end()) continue;
        auto &reads = p->second.reads;
        // The same read still: a request's handle is reused once answered.
        auto it = std::find_if(reads.begin(), reads.end(), [&l](const ParkedRead &r) {
            return r.req == l.read.req && r.reader == l.read.reader && r.since == l.read.since;
        });
        if (it == reads.end()) continue;
        if (l.state == 'S') {
            it->seen_asleep = true;  // it gets its interrupts
            continue;
        }
        LogAt(LOG_DEBUG, "a read of thread %d ends with EINTR: its interrupt never came",
              static_cast<int>(it->reader));
        fuse_reply_err(it->req, EINTR);
        reads.erase(it);
    }
}

void FuseGlue::OnInterrupt(fuse_req_t req, void *data) {
    FuseGlue &g = *static_cast<FuseGlue *>(data);
    std::lock_guard<std::recursive_timed_mutex> lock(g.mu_);
    for (auto &p : g.parked_) {
        auto &reads = p.second.reads;
        for (auto it = reads.begin(); it != reads.end(); ++it) {
            if (it->req == req) {
                reads.erase(it);
                fuse_reply_err(req, EINTR);
                return;
            }
        }
    }
}

void FuseGlue::Forget(std::uint64_t fh) {
    auto it = parked_.find(fh);
    if (it == parked_.end()) return;
    for (const ParkedRead &r : it->second.reads) fuse_reply_err(r.req, EBADF);
    if (it->second.poll != nullptr) fuse_pollhandle_destroy(it->second.poll);
    parked_.erase(it);
}

void FuseGlue::Lookup(fuse_req_t req, fuse_ino_t parent, const char *name) {
    std::uint64_t ino;
    struct stat st;
    int err = Of(req).core_->Lookup(parent, name, &ino, &st);
    if (err != 0) {
        fuse_reply_err(req, err);
        return;
    }
    ReplyEntry(req, ino, st);
}

void FuseGlue::ForgetOne(fuse_req_t req, fuse_ino_t ino, std::uint64_t nlookup) {
    std::lock_guard<std::recursive_timed_mutex> lock(Of(req).mu_);
    Of(req).core_->Forget(ino, nlookup);
    fuse_reply_none(req);
}

void FuseGlue::ForgetMulti(fuse_req_t req, std::size_t count, struct fuse_forget_data *forgets) {
    std::lock_guard<std::recursive_timed_mutex> lock(Of(req).mu_);
    PpsCore *core = Of(req).core_;
    for (std::size_t i = 0; i < count; i++) core->Forget(forgets[i].ino, forgets[i].nlookup);
    fuse_reply_none(req);
}

void FuseGlue::GetAttr(fuse_req_t req, fuse_ino_t ino, struct fuse_file_info *) {
    struct stat st;
    int err = Of(req).core_->GetAttr(ino, &st);
    if (err != 0) {
        fuse_reply_err(req, err);
        return;
    }
    fuse_reply_attr(req, &st, 0);
}

void FuseGlue::SetAttr(fuse_req_t req, fuse_ino_t ino, struct stat *attr, int to_set,
                       struct fuse_file_info *) {
    SetAttrRequest r;
    r.set_mode = (to_set & FUSE_SET_ATTR_MODE) != 0;
    r.set_uid = (to_set & FUSE_SET_ATTR_UID) != 0;
    r.set_gid = (to_set & FUSE_SET_ATTR_GID) != 0;
    r.set_size = (to_set & FUSE_SET_ATTR_SIZE) != 0;
    r.set_atime = (to_set & (FUSE_SET_ATTR_ATIME | FUSE_SET_ATTR_ATIME_NOW)) != 0;
    r.set_mtime = (to_set & (FUSE_SET_ATTR_MTIME | FUSE_SET_ATTR_MTIME_NOW)) != 0;
    r.atime_now = (to_set & FUSE_SET_ATTR_ATIME_NOW) != 0;
    r.mtime_now = (to_set & FUSE_SET_ATTR_MTIME_NOW) != 0;
    r.mode = attr->st_mode;
    r.uid = attr->st_uid;
    r.gid = attr->st_gid;
    r.atime = attr->st_atim;
    r.mtime = attr->st_mtim;
    FuseGlue &g = Of(req);
    struct stat st;
    int err = g.core_->SetAttr(ino, r, &st);
    if (err != 0) {
        fuse_reply_err(req, err);
    } else {
        fuse_reply_attr(req, &st, 0);
    }
}

void FuseGlue::Mkdir(fuse_req_t req, fuse_ino_t parent, const char *name, mode_t mode) {
    std::uint64_t ino;
    struct stat st;
    int err = Of(req).core_->Mkdir(parent, name, mode, CallerOf(req), &ino, &st);
    if (err != 0) {
        fuse_reply_err(req, err);
        return;
    }
    ReplyEntry(req, ino, st);
}

void FuseGlue::Unlink(fuse_req_t req, fuse_ino_t parent, const char *name) {
    FuseGlue &g = Of(req);
    fuse_reply_err(req, g.core_->Unlink(parent, name));
}

void FuseGlue::Rmdir(fuse_req_t req, fuse_ino_t parent, const char *name) {
    fuse_reply_err(req, Of(req).core_->Rmdir(parent, name));
}

void FuseGlue::OpenDir(fuse_req_t req, fuse_ino_t ino, struct fuse_file_info *fi) {
    FuseGlue &g = Of(req);
    std::vector<PpsCore::DirEntry> entries;
    int err = g.core_->ListChildren(ino, &entries);
    if (err != 0) {
        fuse_reply_err(req, err);
        return;
    }
    // Entries with inode 0 count as deleted for readdir(3): give both one.
    entries.insert(entries.begin(), {{".", ino, true}, {"..", PpsCore::kRootIno, true}});
    const std::uint64_t fh = g.next_dir_++;
    g.dirs_[fh] = std::move(entries);
    fi->fh = fh;
    if (fuse_reply_open(req, fi) == -ENOENT) g.dirs_.erase(fh);
}

void FuseGlue::ReadDir(fuse_req_t req, fuse_ino_t, std::size_t size, off_t off,
                       struct fuse_file_info *fi) {
    FuseGlue &g = Of(req);
    auto it = g.dirs_.find(fi->fh);
    if (it == g.dirs_.end()) {
        fuse_reply_err(req, EBADF);
        return;
    }
    const auto &entries = it->second;
    std::vector<char> buf(size);
    std::size_t used = 0;
    for (std::size_t i = static_cast<std::size_t>(off); i < entries.size(); i++) {
        // readdir passes on only the inode and the type.
        struct stat st = {};
        st.st_ino = entries[i].ino;
        st.st_mode = entries[i].is_dir ? S_IFDIR : S_IFREG;
        std::size_t n = fuse_add_direntry(req, buf.data() + used, size - used,
                                          entries[i].name.c_str(), &st, static_cast<off_t>(i + 1));
        if (n > size - used) break;
        used += n;
    }
    fuse_reply_buf(req, buf.data(), used);
}

void FuseGlue::ReleaseDir(fuse_req_t req, fuse_ino_t, struct fuse_file_info *fi) {
    Of(req).dirs_.erase(fi->fh);
    fuse_reply_err(req, 0);
}

void FuseGlue::Create(fuse_req_t req, fuse_ino_t parent, const char *name, mode_t mode,
                      struct fuse_file_info *fi) {
    FuseGlue &g = Of(req);
    std::uint64_t ino, fh;
    struct stat st;
    int err = g.core_->Create(parent, name, mode, fi->flags, CallerOf(req), &ino, &st, &fh);
    if (err != 0) {
        fuse_reply_err(req, err);
    } else {
        struct fuse_entry_param e = {};
        e.ino = ino;
        e.attr = st;
        SetupOpen(fi, fh);
        if (fuse_reply_create(req, &e, fi) == -ENOENT) {
            // The opener was interrupted: the open never happened. The
            // reply is out, so nothing may escape from here.
            try {
                g.core_->Release(fh);
                g.core_->Forget(ino, 1);
            } catch (const std::exception &) {
            }
        }
    }
}

void FuseGlue::Open(fuse_req_t req, fuse_ino_t ino, struct fuse_file_info *fi) {
    FuseGlue &g = Of(req);
    std::uint64_t fh;
    int err = g.core_->Open(ino, fi->flags, CallerOf(req), &fh);
    if (err != 0) {
        fuse_reply_err(req, err);
    } else {
        SetupOpen(fi, fh);
        if (fuse_reply_open(req, fi) == -ENOENT) {
            try {
                g.core_->Release(fh);
            } catch (const std::exception &) {
            }
        }
    }
}

void FuseGlue::Read(fuse_req_t req, fuse_ino_t, std::size_t size, off_t,
                    struct fuse_file_info *fi) {
    FuseGlue &g = Of(req);
    ReadResult r = g.core_->Read(fi->fh, size, fi->flags);
    if (r.kind != ReadResult::Kind::kBlock) {
        ReplyRead(req, r);
        return;
    }
    g.parked_[fi->fh].reads.push_back(
        ParkedRead{req, size, fi->flags, fuse_req_ctx(req)->pid, std::chrono::steady_clock::now()});
    // Registered after parking: an interrupt that already arrived calls
    // OnInterrupt at once, which must find the read.
    fuse_req_interrupt_func(req, OnInterrupt, &g);
}

void FuseGlue::Write(fuse_req_t req, fuse_ino_t, const char *buf, std::size_t size, off_t,
                     struct fuse_file_info *fi) {
    FuseGlue &g = Of(req);
    if (size > g.write_limit_) {
        Logf("rejected a write of %zu bytes: more than %zu", size, g.write_limit_);
        fuse_reply_err(req, EFBIG);
        return;
    }
    int err = g.core_->Write(fi->fh, buf, size);
    if (err != 0) {
        fuse_reply_err(req, err);
    } else {
        fuse_reply_write(req, size);
    }
}

void FuseGlue::Release(fuse_req_t req, fuse_ino_t, struct fuse_file_info *fi) {
    FuseGlue &g = Of(req);
    g.Forget(fi->fh);
    g.core_->Release(fi->fh);
    fuse_reply_err(req, 0);
}

void FuseGlue::Fsync(fuse_req_t req, fuse_ino_t, int, struct fuse_file_info *fi) {
    fuse_reply_err(req, Of(req).core_->Fsync(fi->fh));
}

void FuseGlue::Poll(fuse_req_t req, fuse_ino_t, struct fuse_file_info *fi,
                    struct fuse_pollhandle *ph) {
    FuseGlue &g = Of(req);
    // Writes are taken at once, except a server object's past its unread
    // limit (EAGAIN): then the open is writable again once the reader reads.
    const bool readable = g.core_->Readable(fi->fh), writable = g.core_->Writable(fi->fh);
    unsigned revents = 0;
    if (readable) revents |= POLLIN | POLLRDNORM;
    if (writable) revents |= POLLOUT | POLLWRNORM;
    if (ph != nullptr && readable && writable) {
        fuse_pollhandle_destroy(ph);
    } else if (ph != nullptr) {
        // Keep the newest handle; the kernel is told once the open turns
        // readable (or writable, where it was not), and then polls again.
        Parked &p = g.parked_[fi->fh];
        if (p.poll != nullptr) fuse_pollhandle_destroy(p.poll);
        p.poll = ph;
        p.poll_write = !writable;
    }
    fuse_reply_poll(req, revents);
}

}  // namespace ppsfs

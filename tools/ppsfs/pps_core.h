/* SPDX-License-Identifier: Apache-2.0 */
// The state of the PPS filesystem: directories, objects, the opens of each
// object and what each open has to read next. Every file operation of the
// FUSE layer maps onto one call here; this layer knows nothing of FUSE.
//
// Delivery rules (what a read returns, when an open is readable) live here;
// the FUSE layer only parks blocked reads and poll handles and asks, after
// each operation, which opens may have become readable (TakeWoken).
//
// PpsCore is implemented in one file per concept: pps_core.cpp (objects,
// opens, reads, writes and the change log), server.cpp (server mode),
// special.cpp (.all, .notify, ?opens), unread.cpp (what unread bytes cost
// and the limits), persist.cpp (saving and loading).
//
// Not thread-safe: one thread at a time, under FuseGlue's lock (the loop
// thread over /dev/fuse, the ring threads over io_uring).
#ifndef TOOLS_PPSFS_PPS_CORE_H
#define TOOLS_PPSFS_PPS_CORE_H

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "object.h"
#include "qualifiers.h"
#include "unique_fd.h"

namespace ppsfs {

// Who makes a request: the credentials the kernel passed with it.
struct Caller {
    uid_t uid = 0;
    gid_t gid = 0;
    pid_t pid = 0;
};

// Which attributes a setattr changes.
struct SetAttrRequest {
    bool set_mode = false, set_uid = false, set_gid = false, set_size = false;
    bool set_atime = false, set_mtime = false, atime_now = false, mtime_now = false;
    mode_t mode = 0;
    uid_t uid = 0;
    gid_t gid = 0;
    struct timespec atime = {}, mtime = {};
};

// What ppsfs lets readers leave unread, so that no reader that stops, and
// no writer that floods, can make it grow without bound. Queued bytes are
// charged to a user: a message waiting at a server to the client's user
// who wrote it, a message waiting for a client to that client's user, the
// changes a delta open has not read yet to the open's user.
struct Limits {
    // How much a ?delta open may fall behind before it is reset with
    // "|@name" and a fresh copy; only root may ask for more (?backlog=).
    std::size_t backlog_kb = 256;
    // How much one client may have waiting at its server, and how much may
    // wait for it to read, before its writes (or the server's to it) fail
    // with EAGAIN.
    std::size_t client_kb = 1024;
    // How much one user may have queued in total, over every object.
    std::size_t user_kb = 65536;
    // The ceiling for everyone together.
    std::size_t total_kb = 262144;
};

// A first-in first-out queue that allocates nothing while empty (a
// std::deque allocates on construction, which every object and every open
// would pay for), kept in a vector whose consumed front is dropped now and
// then. References to elements stay valid until the next push_back or
// pop_front.
template <class T>
class Fifo {
  public:
    bool empty() const { return head_ == items_.size(); }
    std::size_t size() const { return items_.size() - head_; }
    T &operator[](std::size_t i) { return items_[head_ + i]; }
    T &front() { return items_[head_]; }
    T &back() { return items_.back(); }
    void push_back(T v) { items_.push_back(std::move(v)); }
    void pop_front() {
        items_[head_++] = T();
        if (head_ == items_.size()) {
            items_.clear();
            head_ = 0;
        } else if (head_ >= 64 && head_ * 2 >= items_.size()) {
            items_.erase(items_.begin(), items_.begin() + static_cast<std::ptrdiff_t>(head_));
            head_ = 0;
        }
    }
    void clear() {
        std::vector<T>().swap(items_);
        head_ = 0;
    }
    void shrink_to_fit() {
        if (empty()) clear();
    }

  private:
    std::vector<T> items_;
    std::size_t head_ = 0;
};

// The largest message a server or a client may send, its "@name.<id>" line
// included: 1 MiB - 4 KiB is the least one FUSE read request carries (the
// kernel's 256 pages, less the page offset of the caller's buffer), so a
// message always fits one request and a read never runs into the next
// message. Larger writes fail with EFBIG.
constexpr std::size_t kMaxMessage = 1024 * 1024 - 4096;

// The largest object, as a full read gives it: less than a message, so an
// object, with a notice line before it, always fits one read request of the
// kernel and one read() takes it whole. Writes that would make it larger
// fail with EFBIG.
constexpr std::size_t kMaxObject = kMaxMessage - 4096;

// What a queued message costs beside its text, counted against the limits.
constexpr std::size_t kMessageOverhead = 64;

struct ReadResult {
    // kTooBig: the next object or change group does not fit the buffer;
    // nothing was consumed (EMSGSIZE).
    enum class Kind { kData, kEof, kAgain, kBlock, kTooBig };
    Kind kind = Kind::kEof;
    std::string data;
};

class PpsCore {
  public:
    static constexpr std::uint64_t kRootIno = 1;

    PpsCore(mode_t root_mode, uid_t root_uid, gid_t root_gid, const Limits &limits);
    ~PpsCore();
    PpsCore(const PpsCore &) = delete;
    PpsCore &operator=(const PpsCore &) = delete;

    // Directory operations. Each returns 0 or an errno value. Lookup, Mkdir
    // and Create count one kernel reference on the returned inode.
    int Lookup(std::uint64_t parent, const std::string &name, std::uint64_t *ino, struct stat *st);
    void Forget(std::uint64_t ino, std::uint64_t count);
    int GetAttr(std::uint64_t ino, struct stat *st) const;
    int SetAttr(std::uint64_t ino, const SetAttrRequest &req, struct stat *st);
    int Mkdir(std::uint64_t parent, const std::string &name, mode_t mode, const Caller &caller,
              std::uint64_t *ino, struct stat *st);
    int Rmdir(std::uint64_t parent, const std::string &name);
    int Unlink(std::uint64_t parent, const std::string &name);
    // A directory's entries, in name order.
    struct DirEntry {
        std::string name;
        std::uint64_t ino;
        bool is_dir;
    };
    int ListChildren(std::uint64_t ino, std::vector<DirEntry> *out) const;

    // Opens. flags are open(2) flags; *fh names the open from then on.
    int Create(std::uint64_t parent, const std::string &name, mode_t mode, int flags,
               const Caller &caller, std::uint64_t *ino, struct stat *st, std::uint64_t *fh);
    int Open(std::uint64_t ino, int flags, const Caller &caller, std::uint64_t *fh);
    void Release(std::uint64_t fh);

    // Reads at most size bytes; flags are the open's current file flags
    // (O_NONBLOCK may have changed since open). kBlock: the caller should
    // park the read and retry when the open is woken.
    ReadResult Read(std::uint64_t fh, std::size_t size, int flags);
    // Returns 0 or an errno value; a write is applied whole or not at all.
    int Write(std::uint64_t fh, const char *data, std::size_t size);
    // Whether a read would return now: data, or end of file after deletion.
    bool Readable(std::uint64_t fh) const;
    // Whether a write would be taken now rather than refused with EAGAIN
    // (the unread limits). When it would not, the open is woken once the
    // readers it waits for have caught up.
    bool Writable(std::uint64_t fh);
    // Saves the object of this open when a save directory is set.
    int Fsync(std::uint64_t fh);

    // Opens whose readability may have changed since the last call.
    std::vector<std::uint64_t> TakeWoken();

    // Bytes queued for readers now, all users together and one user's.
    std::size_t QueuedBytes() const { return total_bytes_; }
    std::size_t QueuedBytesOf(uid_t uid) const;

    // Saved state. SetSaveDir opens dir (creating it 0700 if missing) and
    // keeps it for the life of the core; it returns false, with the reason
    // in *why, when dir or a directory on the way to it could be changed
    // by anyone but ppsfs's user or root (see persist.cpp). Load fills an
    // empty tree from it; SaveAll writes every persistent object and
    // removes what no longer exists. Both log what they skip and return
    // false when anything failed.
    bool SetSaveDir(const std::string &dir, std::string *why);
    bool Load();
    bool SaveAll();
    // SaveAll when anything that is saved may have changed since the last
    // SaveAll that succeeded (or the load): for ppsfs --save-interval.
    bool SaveIfChanged();

  private:
    struct Handle;

    // One attribute line of a change, with what filters look at.
    struct ChangeLine {
        std::string name;
        bool deleted = false;
        std::string text;  // "[n]name:enc:value" or "-name"
        std::size_t value_pos = 0;
    };

    // One write's changes to an object, or a notice ('#', '*' or '-').
    struct LogEntry {
        std::string object_line;  // "@name" with its prefix and [n], no line end
        char notice = 0;
        bool subdir = false;  // a directory's '+' or '-': a subdirectory
        std::string name;     // in a directory's log: the object it is about
        // In a directory's log, for a change of an object's content: who
        // may read the object, as it was then (a .all open shows only what
        // its opener may read).
        bool guarded = false;
        mode_t mode = 0;
        uid_t uid = 0;
        gid_t gid = 0;
        std::vector<ChangeLine> lines;
        std::size_t size = 0;  // of the whole text, unfiltered
        std::size_t pins = 0;  // delta opens whose next entry this is
    };

    // One message for a server or a client. Broadcasts share their text.
    struct Message {
        std::shared_ptr<const std::string> text;
        uid_t charged = 0;         // the user whose queued bytes it counts in
        std::uint64_t from = 0;    // the client that wrote it, while it is open
        std::uint64_t source = 0;  // a server's: the client it is about
    };

    struct Entry {
        std::uint64_t ino = 0;
        bool is_dir = false;
        std::string name;
        std::string path;  // from the mount's root, "/dir/obj"
        Entry *parent = nullptr;
        mode_t mode = 0;
        uid_t uid = 0;
        gid_t gid = 0;
        struct timespec atime = {}, mtime = {}, ctime = {};
        bool linked = true;  // false once unlinked or removed
        // Directories.
        std::map<std::string, std::shared_ptr<Entry>> children;
        std::size_t subdirs = 0;  // children that are directories (st_nlink)
        // Objects.
        ObjectContent content;
        // Changes not yet read by every delta open, oldest first, kept once
        // for all of them; seq of log.front() is log_base. Entries no open
        // still has to read are dropped at once.
        Fifo<LogEntry> log;
        std::uint64_t log_base = 0;
        std::size_t pins_at_end = 0;                   // delta opens that have read everything
        bool server_mode = false;                      // opened with ?server at some time
        Handle *server = nullptr;                      // the open server, if any
        std::map<std::uint64_t, Handle *> handles;     // every open, by id (.all: the dir's)
        std::map<std::string, std::uint64_t> aliases;  // qualifier text -> inode
        std::size_t opens_trackers = 0;                // opens with ?opens
        bool opens_attr = false;                       // _opens is the trackers' own
        std::size_t all_opens = 0;                     // a directory's .all opens
    };

    // An inode the kernel knows: an entry, or an object under a qualified
    // name ("obj?delta"), which stats as the object but opens in that mode.
    // What an inode names beside an entry: .all in a directory (entry is
    // the directory), .notify in the root (entry is the root).
    enum class Special { kNone, kAll, kNotify };

    struct Node {
        std::shared_ptr<Entry> entry;
        std::string qualifiers;
        std::string alias_key;  // its key in entry->aliases, if it is an alias
        Special special = Special::kNone;
        std::uint64_t ino = 0;
        OpenOptions options;
        std::uint64_t nlookup = 0;
    };

    struct Handle {
        enum class Role { kSubscriber, kServer, kClient };
        std::uint64_t id = 0;
        Special special = Special::kNone;  // kAll: obj is the directory
        uid_t uid = 0;  // of the opener: what it leaves unread counts for this user
        gid_t gid = 0;  // of the opener, and its supplementary groups (.all only)
        std::vector<gid_t> groups;
        std::shared_ptr<Entry> obj;
        OpenOptions options;
        Role role = Role::kSubscriber;
        bool can_read = false, can_write = false;
        bool nonblock_at_open = false;
        bool critical = false;
        std::string cred;  // ".n0.p<pid>.u<euid>.g<egid>[.g<gid>...]"
        // Full mode: a copy is due, with this prefix on its object line.
        bool changed = true;
        char notice = 0;
        // Delta mode: the next read starts with the whole object.
        bool need_full = true;
        bool overflowed = false;
        // Delta mode, once the whole object is read: the next log entry
        // (obj->log_base + index, or the end) and the bytes of entries
        // ahead of it that pass its filter.
        bool in_log = false;
        std::uint64_t cursor = 0;
        std::size_t lag = 0;
        std::size_t held = 0;  // bytes of log entries ahead, passing or not
        // Groups copied out of the log before its cursor (a filtered open
        // with little to read, far behind in the log).
        Fifo<std::string> copied;
        // .all in delta mode, reading the directory's objects first: the
        // least name not read yet.
        bool filling = false;
        std::string fill_from;
        // Messages for a client; for a server, one queue per client, taken in
        // turn; and their bytes (each message's text and kMessageOverhead).
        Fifo<Message> messages;
        std::map<std::uint64_t, Fifo<Message>> by_source;
        Fifo<std::uint64_t> turns;
        std::size_t queued_bytes = 0;
        // Client: the bytes of its messages its server has not read yet.
        std::size_t at_server = 0;
        // Subscriber: the rest of a unit longer than the reader's buffer,
        // or the last word on a deleted object.
        std::string partial;
        // .all in full mode: the objects changed since this open last read
        // them, in order, and the notice of each ('-' deleted, '#' truncated).
        Fifo<std::string> changed_names;
        std::map<std::string, char> changed_notice;
        // .notify: the group this open holds, whether its name was read,
        // and the lines waiting ("group:value", "-group:value").
        std::string group;
        bool told_group = false;
        Fifo<std::string> notes;
        std::size_t notes_bytes = 0;
        // A member of a notification group (?notify=): told since its last read.
        bool noted = false;
        // The object is gone and this open was told.
        bool gone = false;
        // Client: its writes are being refused (logged once per run).
        bool throttled = false;
    };

    std::shared_ptr<Entry> NewEntry(Entry *parent, const std::string &name, bool is_dir,
                                    mode_t mode, uid_t uid, gid_t gid);
    Entry *DirOf(std::uint64_t ino) const;
    void Stat(const Node &node, struct stat *st) const;
    // 0, or why this open may not be made (logged): obj is the existing
    // object at path, or nullptr when the open creates it.
    int CheckOpen(const Entry *obj, const std::string &path, const OpenOptions &options, int flags,
                  const Caller &caller) const;
    int OpenEntry(const std::shared_ptr<Entry> &obj, const OpenOptions &options, int flags,
                  const Caller &caller, std::uint64_t *fh);
    void Unlinked(const std::shared_ptr<Entry> &e);

    std::string RenderFull(const Entry &obj, char prefix, const Handle *filtered_for) const;
    bool HasUnit(const Handle &h) const;
    // The next unit for a read of size bytes; false, consuming nothing, when
    // an object or change group does not fit (a server's or client's
    // message is cut instead).
    bool NextUnit(Handle &h, std::size_t size, std::string *unit);
    std::string NextDirGroup(Handle &h, std::size_t size, bool *too_big);

    // Special files: .all of a directory and .notify of the root.
    int OpenSpecial(const Node &node, int flags, const Caller &caller, std::uint64_t *fh);
    // An object of dir was created ('+') or deleted ('-'), or a
    // subdirectory: the directory's .all opens are told.
    void Membership(Entry &dir, char notice, const Entry &child);
    // Tells dir's .all opens of a change to its object named name.
    void AppendToDir(Entry &dir, const std::string &name, const LogEntry &entry);
    void MarkChanged(Handle &h, const std::string &name, char notice);
    // Whether the opener of h may read an object of this mode and owner.
    static bool MayRead(const Handle &h, mode_t mode, uid_t uid, gid_t gid);
    // Queues a line for a .notify open.
    void Note(Handle &holder, std::string line);
    // Keeps the _opens attribute of an object tracked with ?opens.
    void UpdateOpens(Entry &obj);

    // The change log. Append adds an entry and tells every open: a full
    // open gets a fresh copy on its next read (after the entry's notice, if
    // any, before the object's name); a delta open has it to read, or is
    // reset once it falls more than its backlog (or its user more than the
    // limits) behind.
    void Append(Entry &obj, LogEntry entry, const Handle *except);
    // The entry's text as open h reads it: "" when its filter passes none
    // of the entry's lines.
    std::string RenderFor(const LogEntry &entry, const Handle &h) const;
    std::size_t SizeFor(const LogEntry &entry, const Handle &h) const;
    // Delta opens' places in the log: Pin puts h at the end, Unpin takes it
    // out (forgetting what it had to read), Advance moves it past one entry.
    void Pin(Entry &obj, Handle &h);
    void Unpin(Entry &obj, Handle &h);
    void Advance(Entry &obj, Handle &h);
    void TrimLog(Entry &obj);
    // Drops a delta open's unread changes: its next read says "|@name" and
    // gives the whole object again.
    void Reset(Entry &obj, Handle &h, const char *why);

    // Queued bytes by user. Uncharge wakes the writers refused for want of
    // room once any limit is no longer exceeded.
    void Charge(uid_t uid, std::size_t n);
    void Uncharge(uid_t uid, std::size_t n);
    bool UserOver(uid_t uid) const;
    bool TotalOver() const { return total_bytes_ > limits_.total_kb * 1024; }
    std::size_t BacklogOf(const Handle &h) const;
    // Why a client's write, or the server's write to that client, must wait
    // (nullptr: it need not).
    const char *ClientRefusal(const Handle &client) const;
    const char *ServerWriteRefusal(const Handle &client) const;
    void WaitToWrite(const Handle &h) { waiting_writers_.insert(h.id); }

    void WakeWriters();
    void Truncate(Entry &obj);
    void Purge(Entry &obj, Handle *closing);
    void DeliverChanges(Entry &obj, const std::vector<AttrChange> &changes);
    // Queues a message for h. source: for a server, the client the message
    // is about (its queue); 0 for a client's.
    void PushMessage(Handle &h, std::shared_ptr<const std::string> text, uid_t charged,
                     std::uint64_t from, std::uint64_t source);
    Message PopMessage(Handle &h);
    void DropMessages(Handle &h);
    // Ends what an open reads: its queued changes and messages go, and its
    // next read is this line alone.
    void SayLast(Handle &h, const std::string &line);
    void Connect(Entry &obj, Handle &client);
    void MakeServer(Entry &obj, Handle &server);

    int WriteObject(Handle &h, const std::vector<WriteLine> &lines);
    int WriteAsClient(Handle &h, const std::vector<WriteLine> &lines);
    int WriteAsServer(Handle &h, const std::vector<WriteLine> &lines);

    // The save tree (persist.cpp). at: the fd of dir's directory in the
    // tree, or of obj's parent's. OpenSavedDir returns dir's directory under
    // parent, made if missing and holding dir's mode and owner (invalid,
    // and logged, on failure); SaveDir and SaveOne (obj alone, for Fsync)
    // reach every directory through it.
    bool SaveDir(const Entry &dir, int at);
    bool SaveObject(const Entry &obj, int at);
    bool SaveOne(const Entry &obj);
    UniqueFd OpenSavedDir(int parent, const Entry &dir);
    bool LoadDir(Entry &dir, int at);

    // The open may have become readable: its parked reads and polls are
    // served, and a notification group it belongs to is told.
    void Wake(Handle &h);

    std::unordered_map<std::uint64_t, Node> nodes_;
    std::unordered_map<std::uint64_t, std::unique_ptr<Handle>> handles_;
    std::uint64_t next_ino_ = kRootIno + 1;
    std::uint64_t next_fh_ = 1;
    Limits limits_;
    std::vector<std::uint64_t> woken_;
    std::unordered_map<uid_t, std::size_t> user_bytes_;
    std::size_t total_bytes_ = 0;
    // Once more than kTrimAbove was queued, the heap is trimmed when the
    // queues fall under kTrimBelow.
    static constexpr std::size_t kTrimAbove = 8 << 20, kTrimBelow = 1 << 20;
    bool trim_heap_ = false;
    std::set<std::uint64_t> waiting_writers_;      // opens refused for want of room
    std::map<std::string, std::uint64_t> groups_;  // notification group -> its .notify open
    std::uint64_t next_group_ = 1;
    std::string save_dir_;  // absolute, for messages
    // Changes to the tree (objects' contents, names, modes, owners), counted;
    // saved_changes_: the count at the last whole save.
    std::uint64_t changes_ = 0, saved_changes_ = 0;
    UniqueFd save_root_;
    std::set<std::string> unloadable_;  // paths in the tree skipped at load, kept
};

// The credential items of a process for a server's connect line, read from
// /proc/<pid>/status: ".n0.p<pid>.u<euid>.g<egid>" and ".g<gid>" for each
// supplementary group. When the process is gone, the kernel's ids are used.
std::string CredentialItems(const Caller &caller);

// The supplementary groups of a process, from /proc/<pid>/status; none
// when it cannot be read.
std::vector<gid_t> SupplementaryGroups(pid_t pid);

}  // namespace ppsfs

#endif

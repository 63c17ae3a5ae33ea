// The state of the PPS filesystem: directories, objects, the opens of each
// object and what each open has to read next. Every file operation of the
// FUSE layer maps onto one call here; this layer knows nothing of FUSE.
//
// Delivery rules (what a read returns, when an open is readable) live here;
// the FUSE layer only parks blocked reads and poll handles and asks, after
// each operation, which opens may have become readable (TakeWoken).
//
// Not thread-safe: the filesystem runs one loop thread, which owns this.
#ifndef TOOLS_PPSFS_PPS_CORE_H
#define TOOLS_PPSFS_PPS_CORE_H

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <deque>
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

struct ReadResult {
    enum class Kind { kData, kEof, kAgain, kBlock };
    Kind kind = Kind::kEof;
    std::string data;
};

class PpsCore {
  public:
    static constexpr std::uint64_t kRootIno = 1;

    // backlog_kb: how much a delta open may queue before it is reset with
    // "|@name" and a fresh copy of the object. unread_limit_kb: how much a
    // server object's server or client may leave unread before the client's
    // writes are refused with EAGAIN (messages are never dropped).
    PpsCore(mode_t root_mode, uid_t root_uid, gid_t root_gid, std::size_t backlog_kb,
            std::size_t unread_limit_kb);
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
    int ReadDir(std::uint64_t ino, std::vector<std::pair<std::string, struct stat>> *out) const;

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
    // (the unread limit of a server object's queues).
    bool Writable(std::uint64_t fh) const;
    // Saves the object of this open when a save directory is set.
    int Fsync(std::uint64_t fh);

    // Opens whose readability may have changed since the last call.
    std::vector<std::uint64_t> TakeWoken();

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

  private:
    struct Handle;

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
        // Objects.
        ObjectContent content;
        bool server_mode = false;                      // opened with ?server at some time
        Handle *server = nullptr;                      // the open server, if any
        std::map<std::uint64_t, Handle *> handles;     // every open, by id
        std::map<std::string, std::uint64_t> aliases;  // qualifier text -> inode
    };

    // An inode the kernel knows: an entry, or an object under a qualified
    // name ("obj?delta"), which stats as the object but opens in that mode.
    struct Node {
        std::shared_ptr<Entry> entry;
        std::string qualifiers;
        OpenOptions options;
        std::uint64_t nlookup = 0;
    };

    struct Handle {
        enum class Role { kSubscriber, kServer, kClient };
        std::uint64_t id = 0;
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
        // Delta groups, or messages for a server or a client.
        std::deque<std::string> queue;
        std::size_t queued_bytes = 0;
        // The rest of a unit longer than the reader's buffer.
        std::string partial;
        // The object is gone and this open was told.
        bool gone = false;
        // Client: its writes are being refused (logged once per run).
        bool throttled = false;
    };

    std::shared_ptr<Entry> NewEntry(Entry *parent, const std::string &name, bool is_dir,
                                    mode_t mode, uid_t uid, gid_t gid);
    Entry *DirOf(std::uint64_t ino) const;
    void Stat(const Node &node, struct stat *st) const;
    static bool ReadOnlyServer(const OpenOptions &options, int flags, const std::string &path,
                               const Caller &caller);
    int OpenEntry(const std::shared_ptr<Entry> &obj, const OpenOptions &options, int flags,
                  const Caller &caller, std::uint64_t *fh);
    void Unlinked(const std::shared_ptr<Entry> &e);

    std::string RenderFull(const Entry &obj, char prefix, const Handle *filtered_for) const;
    bool HasUnit(const Handle &h) const;
    std::string NextUnit(Handle &h, std::size_t size);

    // Tells a subscriber of a change: a full open gets a fresh copy on its
    // next read (after notice, when not 0, before the object's name); a
    // delta open queues text, or is reset once it falls more than its
    // backlog behind.
    void NotifySubscriber(Entry &obj, Handle &h, char notice, std::string text);
    // A server's or client's open with more than the unread limit waiting.
    bool Behind(const Handle &h) const;
    void Truncate(Entry &obj, Handle *except);
    void Purge(Entry &obj, Handle *closing);
    void DeliverChanges(Entry &obj, const std::vector<AttrChange> &changes);
    void PushMessage(Handle &h, std::string msg);
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

    void Wake(const Handle &h) { woken_.push_back(h.id); }

    std::unordered_map<std::uint64_t, Node> nodes_;
    std::unordered_map<std::uint64_t, std::unique_ptr<Handle>> handles_;
    std::uint64_t next_ino_ = kRootIno + 1;
    std::uint64_t next_fh_ = 1;
    std::size_t backlog_bytes_;
    std::size_t unread_limit_bytes_;
    std::vector<std::uint64_t> woken_;
    std::string save_dir_;  // absolute, for messages
    UniqueFd save_root_;
    std::set<std::string> unloadable_;  // paths in the tree skipped at load, kept
};

// The credential items of a process for a server's connect line, read from
// /proc/<pid>/status: ".n0.p<pid>.u<euid>.g<egid>" and ".g<gid>" for each
// supplementary group. When the process is gone, the kernel's ids are used.
std::string CredentialItems(const Caller &caller);

}  // namespace ppsfs

#endif

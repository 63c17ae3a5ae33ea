// SPDX-License-Identifier: Apache-2.0
// Objects and their delivery: the tree of directories and objects, opens,
// reads and writes, and the change log from which delta opens read. Server
// mode is in server.cpp, .all, .notify and ?opens in special.cpp, what
// unread bytes cost in unread.cpp, saving and loading in persist.cpp.
#include "pps_core.h"

#include <fcntl.h>
#include <sys/pps.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "log.h"

namespace ppsfs {

namespace {

struct timespec Now() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return ts;
}

// Parses the qualifiers of the name at path; false, logged, when they are
// not ones ppsfs takes (the caller answers EINVAL).
bool QualifiersOk(const std::string &path, const std::string &qualifiers, OpenOptions *options) {
    std::string why;
    if (ParseQualifiers(qualifiers, options, &why)) return true;
    Logf("%s: rejected '?%s': %s", path.c_str(), qualifiers.c_str(), why.c_str());
    return false;
}

}  // namespace

PpsCore::PpsCore(mode_t root_mode, uid_t root_uid, gid_t root_gid, const Limits &limits)
    : limits_(limits) {
    auto root = std::make_shared<Entry>();
    root->ino = kRootIno;
    root->is_dir = true;
    root->mode = root_mode & 07777;
    root->uid = root_uid;
    root->gid = root_gid;
    root->atime = root->mtime = root->ctime = Now();
    Node node;
    node.entry = root;
    node.ino = kRootIno;
    node.nlookup = 1;  // the kernel holds the root for the life of the mount
    nodes_.emplace(kRootIno, node);
}

PpsCore::~PpsCore() = default;

std::shared_ptr<PpsCore::Entry> PpsCore::NewEntry(Entry *parent, const std::string &name,
                                                  bool is_dir, mode_t mode, uid_t uid, gid_t gid) {
    changes_++;
    auto e = std::make_shared<Entry>();
    e->ino = next_ino_++;
    e->is_dir = is_dir;
    e->name = name;
    e->path = parent->path + "/" + name;
    e->parent = parent;
    e->mode = mode & 07777;
    e->uid = uid;
    e->gid = gid;
    // A set-group-ID directory hands its group down, as on other filesystems.
    if ((parent->mode & S_ISGID) != 0) {
        e->gid = parent->gid;
        if (is_dir) e->mode |= S_ISGID;
    }
    e->atime = e->mtime = e->ctime = Now();
    parent->children[name] = e;
    if (is_dir) parent->subdirs++;
    parent->mtime = parent->ctime = e->ctime;
    Node node;
    node.entry = e;
    node.ino = e->ino;
    nodes_.emplace(e->ino, node);
    return e;
}

PpsCore::Entry *PpsCore::DirOf(std::uint64_t ino) const {
    auto it = nodes_.find(ino);
    if (it == nodes_.end() || !it->second.entry->is_dir || !it->second.qualifiers.empty())
        return nullptr;
    return it->second.entry.get();
}

void PpsCore::Stat(const Node &node, struct stat *st) const {
    const Entry &e = *node.entry;
    *st = {};
    st->st_ino = e.ino;
    st->st_uid = e.uid;
    st->st_gid = e.gid;
    st->st_atim = e.atime;
    st->st_mtim = e.mtime;
    st->st_ctim = e.ctime;
    st->st_blksize = 4096;
    if (node.special != Special::kNone) {
        // Read-only views of a directory, its own inode.
        st->st_ino = node.ino;
        st->st_mode = S_IFREG | (e.mode & 0444);
        st->st_nlink = 1;
    } else if (e.is_dir) {
        st->st_mode = S_IFDIR | e.mode;
        st->st_nlink = 2 + e.subdirs;
    } else {
        st->st_mode = S_IFREG | e.mode;
        st->st_nlink = e.linked ? 1 : 0;
        // The size a full read would return now; a server object has no state.
        st->st_size = e.server_mode ? 0 : static_cast<off_t>(RenderFull(e, 0, nullptr).size());
    }
}

int PpsCore::Lookup(std::uint64_t parent, const std::string &name, std::uint64_t *ino,
                    struct stat *st) {
    Entry *dir = DirOf(parent);
    if (dir == nullptr) return ENOTDIR;
    std::string base, qualifiers;
    bool qualified = SplitQualified(name, &base, &qualifiers);
    if (base == ".all" || (base == ".notify" && dir->ino == kRootIno)) {
        OpenOptions options;
        if (!QualifiersOk(dir->path + "/" + base, qualifiers, &options)) return EINVAL;
        const std::string key = base + "?" + qualifiers;
        auto alias = dir->aliases.find(key);
        if (alias == dir->aliases.end()) {
            Node node;
            node.entry = nodes_.at(dir->ino).entry;
            node.qualifiers = qualifiers;
            node.alias_key = key;
            node.special = base == ".all" ? Special::kAll : Special::kNotify;
            node.options = options;
            node.ino = next_ino_++;
            alias = dir->aliases.emplace(key, node.ino).first;
            nodes_.emplace(node.ino, node);
        }
        Node &node = nodes_.at(alias->second);
        node.nlookup++;
        *ino = node.ino;
        Stat(node, st);
        return 0;
    }
    auto it = dir->children.find(base);
    if (it == dir->children.end()) return ENOENT;
    const std::shared_ptr<Entry> &e = it->second;
    // "obj?" has no qualifiers: it is the object itself, not an alias.
    if (!qualified || qualifiers.empty()) {
        Node &node = nodes_.at(e->ino);
        node.nlookup++;
        *ino = e->ino;
        Stat(node, st);
        return 0;
    }
    if (e->is_dir) {
        Logf("%s: qualifiers apply to objects, not directories: '%s'", e->path.c_str(),
             name.c_str());
        return EINVAL;
    }
    OpenOptions options;
    if (!QualifiersOk(e->path, qualifiers, &options)) return EINVAL;
    auto alias = e->aliases.find(qualifiers);
    if (alias == e->aliases.end()) {
        Node node;
        node.entry = e;
        node.qualifiers = qualifiers;
        node.alias_key = qualifiers;
        node.options = options;
        node.ino = next_ino_++;
        nodes_.emplace(node.ino, node);
        alias = e->aliases.emplace(qualifiers, node.ino).first;
    }
    Node &node = nodes_.at(alias->second);
    node.nlookup++;
    *ino = alias->second;
    Stat(node, st);
    return 0;
}

void PpsCore::Forget(std::uint64_t ino, std::uint64_t count) {
    auto it = nodes_.find(ino);
    if (it == nodes_.end() || ino == kRootIno) return;
    Node &node = it->second;
    node.nlookup = count >= node.nlookup ? 0 : node.nlookup - count;
    if (node.nlookup != 0) return;
    if (!node.alias_key.empty()) {
        node.entry->aliases.erase(node.alias_key);
        nodes_.erase(it);
    } else if (!node.entry->linked) {
        nodes_.erase(it);
    }
}

int PpsCore::GetAttr(std::uint64_t ino, struct stat *st) const {
    auto it = nodes_.find(ino);
    if (it == nodes_.end()) return ENOENT;
    Stat(it->second, st);
    return 0;
}

int PpsCore::SetAttr(std::uint64_t ino, const SetAttrRequest &req, struct stat *st) {
    auto it = nodes_.find(ino);
    if (it == nodes_.end()) return ENOENT;
    changes_++;
    Entry &e = *it->second.entry;
    if (req.set_size) {
        if (e.is_dir) return EISDIR;
        // Any length empties the object: PPS has no partial truncation.
        Truncate(e);
        e.mtime = Now();
    }
    if (req.set_mode) e.mode = req.mode & 07777;
    if (req.set_uid) e.uid = req.uid;
    if (req.set_gid) e.gid = req.gid;
    if (req.set_atime) e.atime = req.atime_now ? Now() : req.atime;
    if (req.set_mtime) e.mtime = req.mtime_now ? Now() : req.mtime;
    e.ctime = Now();
    Stat(it->second, st);
    return 0;
}

int PpsCore::Mkdir(std::uint64_t parent, const std::string &name, mode_t mode, const Caller &caller,
                   std::uint64_t *ino, struct stat *st) {
    Entry *dir = DirOf(parent);
    if (dir == nullptr) return ENOTDIR;
    if (name.size() > kMaxNameBytes) return ENAMETOOLONG;
    if (!ValidObjectName(name)) {
        Logf("%s: rejected directory name '%s'", dir->path.c_str(), name.c_str());
        return EINVAL;
    }
    if (dir->children.count(name) != 0) return EEXIST;
    auto e = NewEntry(dir, name, true, mode, caller.uid, caller.gid);
    Membership(*dir, '+', *e);
    Node &node = nodes_.at(e->ino);
    node.nlookup++;
    *ino = e->ino;
    Stat(node, st);
    return 0;
}

void PpsCore::Unlinked(const std::shared_ptr<Entry> &e) {
    changes_++;
    e->linked = false;
    e->parent->children.erase(e->name);
    if (e->is_dir) e->parent->subdirs--;
    e->parent->mtime = e->parent->ctime = Now();
    Membership(*e->parent, '-', *e);
    // A directory's .all opens have nothing more to read.
    if (e->is_dir) {
        for (auto &hp : e->handles) {
            Unpin(*e, *hp.second);
            hp.second->gone = true;
            Wake(*hp.second);
        }
        TrimLog(*e);
    }
    auto it = nodes_.find(e->ino);
    if (it != nodes_.end() && it->second.nlookup == 0) nodes_.erase(it);
}

int PpsCore::Rmdir(std::uint64_t parent, const std::string &name) {
    Entry *dir = DirOf(parent);
    if (dir == nullptr) return ENOTDIR;
    auto it = dir->children.find(name);
    if (it == dir->children.end()) return ENOENT;
    std::shared_ptr<Entry> e = it->second;
    if (!e->is_dir) return ENOTDIR;
    if (!e->children.empty()) return ENOTEMPTY;
    Unlinked(e);
    return 0;
}

int PpsCore::Unlink(std::uint64_t parent, const std::string &name) {
    Entry *dir = DirOf(parent);
    if (dir == nullptr) return ENOTDIR;
    std::string base, qualifiers;
    OpenOptions options;
    if (SplitQualified(name, &base, &qualifiers) &&
        !QualifiersOk(dir->path + "/" + base, qualifiers, &options))
        return EINVAL;
    auto it = dir->children.find(base);
    if (it == dir->children.end()) return ENOENT;
    std::shared_ptr<Entry> e = it->second;
    if (e->is_dir) return EISDIR;
    Unlinked(e);
    // Every open learns of the deletion with "-@name" and reads nothing more.
    const std::string line = "-@" + e->name + "\n";
    for (auto &hp : e->handles) {
        Handle &h = *hp.second;
        if (h.role == Handle::Role::kSubscriber && !h.options.delta) {
            h.changed = true;
            h.notice = '-';
        } else {
            SayLast(h, line);
        }
        h.gone = true;
        Wake(h);
    }
    TrimLog(*e);
    return 0;
}

int PpsCore::ListChildren(std::uint64_t ino, std::vector<DirEntry> *out) const {
    Entry *dir = DirOf(ino);
    if (dir == nullptr) return ENOTDIR;
    out->clear();
    out->reserve(dir->children.size());
    for (const auto &c : dir->children)
        out->push_back(DirEntry{c.first, c.second->ino, c.second->is_dir});
    return 0;
}

int PpsCore::CheckOpen(const Entry *obj, const std::string &path, const OpenOptions &options,
                       int flags, const Caller &caller) const {
    const int pid = static_cast<int>(caller.pid);
    // A server answers its clients, so only an open for writing may serve:
    // reading alone would let anyone who may read an object take it over.
    if (options.server && (flags & O_ACCMODE) == O_RDONLY) {
        Logf("%s: rejected a read-only ?server open (pid %d)", path.c_str(), pid);
        return EACCES;
    }
    // A server receives every client's credentials and requests and answers
    // in the object's name: of an existing object, only its owner (or root)
    // may become the server, so that no one else can stand in for a server
    // that has died. QNX leaves this to the object's mode.
    if (options.server && obj != nullptr && caller.uid != 0 && caller.uid != obj->uid) {
        Logf("%s: rejected ?server open by uid %u: only the owner (uid %u) or root may serve",
             path.c_str(), static_cast<unsigned>(caller.uid), static_cast<unsigned>(obj->uid));
        return EACCES;
    }
    if (options.server && obj != nullptr && obj->server != nullptr) {
        Logf("%s: rejected a second ?server open (pid %d)", path.c_str(), pid);
        return EBUSY;
    }
    if (options.deltadir) {
        Logf("%s: rejected ?deltadir: it is for .all", path.c_str());
        return EINVAL;
    }
    if (!options.notify_group.empty()) {
        auto g = groups_.find(options.notify_group);
        if (g == groups_.end()) {
            Logf("%s: rejected ?notify=%s: no such notification group", path.c_str(),
                 options.notify_group.c_str());
            return EINVAL;
        }
        // A group is its holder's: no one else adds members to it.
        const uid_t holder = handles_.at(g->second)->uid;
        if (caller.uid != 0 && caller.uid != holder) {
            Logf("%s: rejected ?notify=%s by uid %u: the group is uid %u's", path.c_str(),
                 options.notify_group.c_str(), static_cast<unsigned>(caller.uid),
                 static_cast<unsigned>(holder));
            return EACCES;
        }
    }
    // _opens changes the object: only for an open that may write it.
    if (options.opens && (flags & O_ACCMODE) == O_RDONLY) {
        Logf("%s: rejected a read-only ?opens open: _opens is written to the object", path.c_str());
        return EACCES;
    }
    // What an open may leave unread is memory of ppsfs's: more than the
    // filesystem's backlog only for root.
    if (options.backlog_kb > limits_.backlog_kb && caller.uid != 0) {
        Logf("%s: rejected ?backlog=%zu by uid %u: more than %zu KB is for root", path.c_str(),
             options.backlog_kb, static_cast<unsigned>(caller.uid), limits_.backlog_kb);
        return EPERM;
    }
    // Each connection is a line for the server to read, charged to the
    // opener's user like its writes (see ClientRefusal).
    if (!options.server && obj != nullptr && obj->server != nullptr &&
        (UserOver(caller.uid) || TotalOver())) {
        Logf("%s: open by uid %u refused (EAGAIN) until readers catch up: %zu bytes queued",
             path.c_str(), static_cast<unsigned>(caller.uid),
             UserOver(caller.uid) ? QueuedBytesOf(caller.uid) : total_bytes_);
        return EAGAIN;
    }
    return 0;
}

int PpsCore::Create(std::uint64_t parent, const std::string &name, mode_t mode, int flags,
                    const Caller &caller, std::uint64_t *ino, struct stat *st, std::uint64_t *fh) {
    Entry *dir = DirOf(parent);
    if (dir == nullptr) return ENOTDIR;
    std::string base, qualifiers;
    SplitQualified(name, &base, &qualifiers);
    OpenOptions options;
    if (!QualifiersOk(dir->path + "/" + base, qualifiers, &options)) return EINVAL;
    if (base.size() > kMaxNameBytes) return ENAMETOOLONG;
    if (!ValidObjectName(base)) {
        Logf("%s: rejected object name '%s'", dir->path.c_str(), base.c_str());
        return EINVAL;
    }
    auto existing = dir->children.find(base);
    if (existing != dir->children.end()) {
        if (existing->second->is_dir) return EISDIR;
        if ((flags & O_EXCL) != 0) return EEXIST;
    } else {
        int refused = CheckOpen(nullptr, dir->path + "/" + base, options, flags, caller);
        if (refused != 0) return refused;
        Membership(*dir, '+', *NewEntry(dir, base, false, mode, caller.uid, caller.gid));
    }
    // The kernel's reference goes to the name it asked for, qualified or not.
    int err = Lookup(parent, name, ino, st);
    if (err != 0) return err;
    std::shared_ptr<Entry> obj = nodes_.at(*ino).entry;
    err = OpenEntry(obj, options, existing == dir->children.end() ? flags & ~O_TRUNC : flags,
                    caller, fh);
    if (err != 0) {
        Forget(*ino, 1);
        return err;
    }
    Stat(nodes_.at(*ino), st);
    return 0;
}

int PpsCore::Open(std::uint64_t ino, int flags, const Caller &caller, std::uint64_t *fh) {
    auto it = nodes_.find(ino);
    if (it == nodes_.end()) return ENOENT;
    if (it->second.special != Special::kNone) return OpenSpecial(it->second, flags, caller, fh);
    if (it->second.entry->is_dir) return EISDIR;
    return OpenEntry(it->second.entry, it->second.options, flags, caller, fh);
}

int PpsCore::OpenEntry(const std::shared_ptr<Entry> &obj, const OpenOptions &options, int flags,
                       const Caller &caller, std::uint64_t *fh) {
    int refused = CheckOpen(obj.get(), obj->path, options, flags, caller);
    if (refused != 0) return refused;
    auto h = std::make_unique<Handle>();
    h->id = next_fh_++;
    h->uid = caller.uid;
    h->obj = obj;
    h->options = options;
    int acc = flags & O_ACCMODE;
    h->can_read = acc != O_WRONLY;
    h->can_write = acc != O_RDONLY;
    h->nonblock_at_open = (flags & O_NONBLOCK) != 0;
    h->cred = CredentialItems(caller);
    if (options.nopersist) obj->content.set_nopersist_open();
    if ((flags & O_TRUNC) != 0) {
        Truncate(*obj);
        obj->mtime = obj->ctime = Now();
    }
    Handle &ref = *h;
    obj->handles[h->id] = h.get();
    handles_[h->id] = std::move(h);
    if (options.server) {
        MakeServer(*obj, ref);
    } else if (obj->server_mode) {
        ref.role = Handle::Role::kClient;
        ref.changed = false;
        ref.need_full = false;
        if (obj->server != nullptr) Connect(*obj, ref);
    } else {
        ref.critical = options.critical && ref.can_write;
    }
    if (options.opens) obj->opens_trackers++;
    UpdateOpens(*obj);
    Wake(ref);  // a member of a notification group with data at once says so
    *fh = ref.id;
    return 0;
}

void PpsCore::Release(std::uint64_t fh) {
    auto it = handles_.find(fh);
    if (it == handles_.end()) return;
    Handle &h = *it->second;
    Entry &obj = *h.obj;
    obj.handles.erase(h.id);
    waiting_writers_.erase(h.id);
    Unpin(obj, h);
    DropMessages(h);
    // Whether or not the object is still linked, nothing may point at a
    // closed server: a client of an unlinked object writes on.
    if (obj.server == &h) obj.server = nullptr;
    // A notification group ends with its .notify open; a member's group
    // learns that the member is closed.
    if (!h.group.empty()) groups_.erase(h.group);
    if (!h.options.notify_group.empty()) {
        auto g = groups_.find(h.options.notify_group);
        if (g != groups_.end()) {
            Note(*handles_.at(g->second),
                 "-" + h.options.notify_group + ":" + h.options.notify_value + "\n");
        }
    }
    if (h.special == Special::kAll) {
        obj.all_opens--;
    } else if (h.special == Special::kNone) {
        if (h.options.opens) obj.opens_trackers--;
        UpdateOpens(obj);
    }
    if (obj.linked && h.special == Special::kNone) {
        switch (h.role) {
            case Handle::Role::kServer:
                obj.server = nullptr;
                Purge(obj, &h);
                // Clients refused with EAGAIN learn that writing now fails
                // another way (EPIPE), write-only ones included.
                for (auto &hp : obj.handles) Wake(*hp.second);
                break;
            case Handle::Role::kClient:
                if (obj.server != nullptr) {
                    PushMessage(*obj.server,
                                std::make_shared<const std::string>("-@" + obj.name + "." +
                                                                    std::to_string(h.id) + "\n"),
                                h.uid, 0, h.id);
                }
                break;
            case Handle::Role::kSubscriber:
                if (h.critical) Purge(obj, &h);
                break;
        }
    }
    TrimLog(obj);
    handles_.erase(it);
}

void PpsCore::Truncate(Entry &obj) {
    obj.content.Clear();
    LogEntry entry;
    entry.notice = '#';
    entry.object_line = obj.content.RenderObjectLine(obj.name, '#');
    Append(obj, std::move(entry), nullptr);
}

void PpsCore::Purge(Entry &obj, Handle *closing) {
    obj.content.Purge();
    LogEntry entry;
    entry.notice = '*';
    entry.object_line = obj.content.RenderObjectLine(obj.name, '*');
    Append(obj, std::move(entry), closing);
    // Clients learn that their server is gone.
    std::shared_ptr<const std::string> line;
    for (auto &hp : obj.handles) {
        Handle &h = *hp.second;
        if (&h == closing || h.role != Handle::Role::kClient) continue;
        if (line == nullptr) line = std::make_shared<const std::string>("*@" + obj.name + "\n");
        PushMessage(h, line, h.uid, 0, 0);
    }
}

void PpsCore::DeliverChanges(Entry &obj, const std::vector<AttrChange> &changes) {
    LogEntry entry;
    entry.object_line = obj.content.RenderObjectLine(obj.name, 0);
    entry.lines.reserve(changes.size());
    for (const AttrChange &c : changes) {
        ChangeLine line;
        line.name = c.name;
        line.deleted = c.deleted;
        line.text = obj.content.RenderAttr(c.name);
        const ObjectContent::Attribute *a = obj.content.Find(c.name);
        line.value_pos = line.text.size() - (a != nullptr ? a->value.size() : 0);
        entry.lines.push_back(std::move(line));
    }
    Append(obj, std::move(entry), nullptr);
}

std::string PpsCore::RenderFor(const LogEntry &entry, const Handle &h) const {
    std::string out;
    if (entry.guarded && !MayRead(h, entry.mode, entry.uid, entry.gid)) return out;
    // A directory's membership only: names created and deleted.
    if (h.options.deltadir)
        return entry.notice == '+' || entry.notice == '-' ? entry.object_line + "\n" : out;
    if (entry.notice != 0 || h.options.filter.empty()) {
        out.reserve(entry.size);
        out += entry.object_line;
        out += '\n';
        for (const ChangeLine &l : entry.lines) {
            out += l.text;
            out += '\n';
        }
        return out;
    }
    for (const ChangeLine &l : entry.lines) {
        if (!FilterPasses(h.options.filter, l.name, l.deleted, l.text.substr(l.value_pos)))
            continue;
        if (out.empty()) out = entry.object_line + "\n";
        out += l.text;
        out += '\n';
    }
    return out;
}

std::size_t PpsCore::SizeFor(const LogEntry &entry, const Handle &h) const {
    if (!h.options.deltadir && !entry.guarded && (entry.notice != 0 || h.options.filter.empty()))
        return entry.size;
    return RenderFor(entry, h).size();
}

void PpsCore::Append(Entry &obj, LogEntry entry, const Handle *except) {
    changes_++;
    entry.size = entry.object_line.size() + 1;
    for (const ChangeLine &l : entry.lines) entry.size += l.text.size() + 1;
    // The directory's .all opens see every change of its objects.
    if (!obj.is_dir && obj.parent != nullptr && obj.parent->all_opens != 0) {
        LogEntry copy = entry;
        copy.name = obj.name;
        copy.guarded = true;
        copy.mode = obj.mode;
        copy.uid = obj.uid;
        copy.gid = obj.gid;
        Append(*obj.parent, std::move(copy), nullptr);
    }
    // The delta opens that had read everything now have this entry next.
    entry.pins = obj.pins_at_end;
    obj.pins_at_end = 0;
    obj.log.push_back(std::move(entry));
    const LogEntry &added = obj.log.back();
    for (auto &hp : obj.handles) {
        Handle &h = *hp.second;
        if (&h == except || h.role != Handle::Role::kSubscriber || !h.can_read || h.gone) continue;
        const std::size_t n = SizeFor(added, h);
        if (!h.options.delta) {
            if (n == 0) continue;  // the filter passes none of it
            if (h.special == Special::kAll) {
                if (!added.subdir)
                    MarkChanged(h, added.name, added.notice == '+' ? 0 : added.notice);
                continue;
            }
            h.changed = true;
            if (added.notice != 0) h.notice = added.notice;
            Wake(h);
            continue;
        }
        if (!h.in_log) continue;  // its next read gives the whole object anyway
        h.held += added.size;
        if (n != 0) {
            h.lag += n;
            Charge(h.uid, n);
            Wake(h);
        }
        if (h.lag == 0) {
            // Nothing ahead passes its filter: it need not hold the log.
            Unpin(obj, h);
            Pin(obj, h);
        } else if (h.lag > BacklogOf(h)) {
            Reset(obj, h, "its backlog");
        } else if (UserOver(h.uid)) {
            Reset(obj, h, "its user's unread limit");
        } else if (TotalOver()) {
            Reset(obj, h, "the total unread limit");
        } else if (h.held > BacklogOf(h)) {
            // A filtered open far behind in the log but with little to read:
            // it keeps its own copy of that little and lets the log go.
            while (h.cursor != obj.log_base + obj.log.size()) {
                std::string text = RenderFor(obj.log[h.cursor - obj.log_base], h);
                if (!text.empty()) h.copied.push_back(std::move(text));
                Advance(obj, h);
            }
        }
    }
    TrimLog(obj);
}

void PpsCore::Reset(Entry &obj, Handle &h, const char *why) {
    Logf("%s: delta open %llu (uid %u) reset: %zu bytes unread exceed %s", obj.path.c_str(),
         static_cast<unsigned long long>(h.id), static_cast<unsigned>(h.uid), h.lag, why);
    Unpin(obj, h);
    h.need_full = true;
    h.overflowed = true;
    h.filling = false;
}

void PpsCore::Pin(Entry &obj, Handle &h) {
    h.in_log = true;
    h.cursor = obj.log_base + obj.log.size();
    obj.pins_at_end++;
    h.lag = 0;
    h.held = 0;
}

void PpsCore::Unpin(Entry &obj, Handle &h) {
    if (!h.in_log) return;
    if (h.cursor == obj.log_base + obj.log.size()) {
        obj.pins_at_end--;
    } else {
        obj.log[h.cursor - obj.log_base].pins--;
    }
    h.in_log = false;
    h.copied.clear();
    Uncharge(h.uid, h.lag);
    h.lag = 0;
    h.held = 0;
}

void PpsCore::Advance(Entry &obj, Handle &h) {
    LogEntry &from = obj.log[h.cursor - obj.log_base];
    from.pins--;
    h.held -= std::min(h.held, from.size);
    h.cursor++;
    if (h.cursor == obj.log_base + obj.log.size()) {
        obj.pins_at_end++;
    } else {
        obj.log[h.cursor - obj.log_base].pins++;
    }
}

void PpsCore::TrimLog(Entry &obj) {
    while (!obj.log.empty() && obj.log.front().pins == 0) {
        obj.log.pop_front();
        obj.log_base++;
    }
    if (obj.log.empty()) obj.log.shrink_to_fit();
}

void PpsCore::SayLast(Handle &h, const std::string &line) {
    Unpin(*h.obj, h);
    DropMessages(h);
    h.need_full = false;
    h.overflowed = false;
    h.partial = line;
}

std::string PpsCore::RenderFull(const Entry &obj, char prefix, const Handle *filtered_for) const {
    std::string out = obj.content.RenderObjectLine(obj.name, prefix) + "\n";
    if (prefix == '-') return out;
    for (const auto &a : obj.content.Attributes()) {
        if (filtered_for != nullptr &&
            !FilterPasses(filtered_for->options.filter, a.name, false, a.value))
            continue;
        out += obj.content.RenderAttr(a.name) + "\n";
    }
    return out;
}

bool PpsCore::HasUnit(const Handle &h) const {
    if (!h.can_read) return false;
    if (!h.partial.empty() || !h.messages.empty() || !h.turns.empty()) return true;
    if (h.special == Special::kNotify) return !h.told_group || !h.notes.empty();
    switch (h.role) {
        case Handle::Role::kSubscriber:
            if (h.options.delta) return h.need_full || h.filling || h.lag != 0;
            return h.special == Special::kAll ? !h.changed_names.empty() : h.changed;
        case Handle::Role::kServer:
        case Handle::Role::kClient:
            return false;
    }
    return false;
}

bool PpsCore::NextUnit(Handle &h, std::size_t size, std::string *out) {
    Entry &obj = *h.obj;
    // A unit that does not fit fails the read whole (EMSGSIZE). Objects are
    // smaller than the kernel's read requests, so a large enough buffer
    // always takes one.
    std::string unit;
    if (!h.partial.empty()) {
        unit.swap(h.partial);
    } else if (h.special == Special::kNotify) {
        const std::size_t first = !h.told_group ? h.group.size() + 1 : h.notes.front().size();
        if (first > size) return false;
        if (!h.told_group) {
            unit = h.group + "\n";
            h.told_group = true;
        }
        while (!h.notes.empty() && unit.size() + h.notes.front().size() <= size) {
            unit += h.notes.front();
            h.notes_bytes -= h.notes.front().size();
            h.notes.pop_front();
        }
    } else if (h.role != Handle::Role::kSubscriber) {
        // One message per read. What does not fit the reader's buffer is
        // dropped with it, never handed out as a message of its own: the
        // text after the cut is the writer's, and could otherwise pass for
        // another client's message.
        Message m = PopMessage(h);
        *out = m.text->substr(0, size);
        return true;
    } else if (!h.options.delta && h.special == Special::kAll) {
        // One changed object of the directory, whole.
        while (!h.changed_names.empty()) {
            const std::string name = h.changed_names.front();
            const char notice = h.changed_notice[name];
            auto child = obj.children.find(name);
            std::string text;
            if (notice == '-' || child == obj.children.end()) {
                text = "-@" + name + "\n";
            } else if (!child->second->is_dir &&
                       MayRead(h, child->second->mode, child->second->uid, child->second->gid)) {
                text = RenderFull(*child->second, notice, nullptr);
            }
            if (text.size() > size) return false;
            h.changed_names.pop_front();
            h.changed_notice.erase(name);
            if (text.empty()) continue;
            unit = std::move(text);
            break;
        }
    } else if (!h.options.delta) {
        unit = RenderFull(obj, h.notice, nullptr);
        if (unit.size() > size) return false;
        h.changed = false;
        h.notice = 0;
    } else if (h.need_full && h.special == Special::kNone) {
        unit = (h.overflowed ? "|@" + obj.name + "\n" : std::string()) + RenderFull(obj, 0, &h);
        if (unit.size() > size) return false;
        h.need_full = false;
        h.overflowed = false;
        Pin(obj, h);  // from here on it reads the log
    } else {
        if (h.need_full) {
            // .all: every object of the directory, read from the directory
            // as it is when the read comes (nothing copied), then the log.
            Pin(obj, h);
            h.need_full = false;
            h.filling = true;
            h.fill_from.clear();
            if (h.overflowed) unit = "|@.all\n";
            h.overflowed = false;
        }
        while (h.filling) {
            auto child = obj.children.lower_bound(h.fill_from);
            if (child == obj.children.end()) {
                h.filling = false;
                break;
            }
            const Entry &c = *child->second;
            std::string text;
            if (h.options.deltadir) {
                text = "+@" + child->first + "\n";
            } else if (!c.is_dir && MayRead(h, c.mode, c.uid, c.gid)) {
                text = RenderFull(c, 0, &h);
            }
            if (unit.empty() && text.size() > size) return false;
            if (unit.size() + text.size() > size) break;
            unit += text;
            // The least name after this one: names hold no NUL.
            h.fill_from = child->first + std::string(1, '\0');
        }
        // As many whole change groups as fit: first those it keeps a copy
        // of, then those of the log.
        while (!h.filling && h.lag != 0) {
            std::string text;
            const bool own = !h.copied.empty();
            if (own) {
                text = h.copied.front();
            } else {
                text = RenderFor(obj.log[h.cursor - obj.log_base], h);
                if (text.empty()) {
                    Advance(obj, h);
                    continue;
                }
            }
            if (unit.empty() && text.size() > kMaxMessage) {
                // A change group no read can take (a write's deletions on
                // top of a large set): start the open again from the whole
                // object, which fits.
                Reset(obj, h, "the largest read");
                TrimLog(obj);
                return NextUnit(h, size, out);
            }
            if (unit.empty() && text.size() > size) {
                TrimLog(obj);
                return false;
            }
            if (!unit.empty() && unit.size() + text.size() > size) break;
            unit += text;
            h.lag -= text.size();
            if (own) {
                h.copied.pop_front();
            } else {
                Advance(obj, h);
            }
            Uncharge(h.uid, text.size());
        }
        TrimLog(obj);
    }
    if (unit.size() > size) {
        // Only the last word on a deleted object ("-@name") is kept whole
        // in partial; it fits any read but the smallest.
        h.partial = std::move(unit);
        return false;
    }
    *out = std::move(unit);
    return true;
}

bool PpsCore::Readable(std::uint64_t fh) const {
    auto it = handles_.find(fh);
    // An open of a deleted object reads end of file at once: that is
    // readable too, or a poll loop would sleep on it for ever.
    return it != handles_.end() && (HasUnit(*it->second) || it->second->gone);
}

bool PpsCore::Writable(std::uint64_t fh) {
    auto it = handles_.find(fh);
    if (it == handles_.end()) return false;
    const Handle &h = *it->second;
    const Entry &obj = *h.obj;
    bool writable = true;
    switch (h.role) {
        case Handle::Role::kClient:
            writable = obj.server == nullptr || ClientRefusal(h) == nullptr;
            break;
        case Handle::Role::kServer:
            for (const auto &hp : obj.handles) {
                const Handle &c = *hp.second;
                if (c.role == Handle::Role::kClient && ServerWriteRefusal(c) != nullptr) {
                    writable = false;
                    break;
                }
            }
            break;
        case Handle::Role::kSubscriber:
            break;
    }
    if (!writable) WaitToWrite(h);
    return writable;
}

ReadResult PpsCore::Read(std::uint64_t fh, std::size_t size, int flags) {
    ReadResult r;
    auto it = handles_.find(fh);
    if (it == handles_.end()) {
        r.kind = ReadResult::Kind::kEof;
        return r;
    }
    Handle &h = *it->second;
    if (size == 0) {
        r.kind = ReadResult::Kind::kData;
        return r;
    }
    if (HasUnit(h)) {
        if (!NextUnit(h, size, &r.data)) {
            r.kind = ReadResult::Kind::kTooBig;
            return r;
        }
        h.noted = false;
        if (!r.data.empty()) {
            r.kind = ReadResult::Kind::kData;
            return r;
        }
    }
    // Nothing to deliver. A deleted object has nothing more to say.
    if (h.gone) {
        r.kind = ReadResult::Kind::kEof;
        return r;
    }
    bool nonblock = (flags & O_NONBLOCK) != 0;
    // ?wait blocks; so does an open made non-blocking that was switched to
    // blocking with fcntl, as on QNX where non-blocking is the default.
    if (!nonblock && (h.options.wait || h.nonblock_at_open)) {
        r.kind = ReadResult::Kind::kBlock;
        return r;
    }
    if (h.role == Handle::Role::kServer) {
        // A server's channel has no end: "nothing now" is never end of file.
        r.kind = ReadResult::Kind::kAgain;
    } else if (h.role == Handle::Role::kSubscriber && !h.options.delta) {
        r.kind = ReadResult::Kind::kEof;  // full mode: no change since the last copy
    } else {
        r.kind = nonblock ? ReadResult::Kind::kAgain : ReadResult::Kind::kEof;
    }
    return r;
}

int PpsCore::Write(std::uint64_t fh, const char *data, std::size_t size) {
    auto it = handles_.find(fh);
    if (it == handles_.end()) return EBADF;
    Handle &h = *it->second;
    if (!h.can_write) return EBADF;
    std::vector<WriteLine> lines;
    std::string why;
    if (!ParseWrite(data, size, &lines, &why)) {
        Logf("%s: rejected write: %s", h.obj->path.c_str(), why.c_str());
        return EINVAL;
    }
    switch (h.role) {
        case Handle::Role::kServer:
            return WriteAsServer(h, lines);
        case Handle::Role::kClient:
            return WriteAsClient(h, lines);
        case Handle::Role::kSubscriber:
            return WriteObject(h, lines);
    }
    return EINVAL;
}

int PpsCore::WriteObject(Handle &h, const std::vector<WriteLine> &lines) {
    Entry &obj = *h.obj;
    for (const WriteLine &l : lines) {
        if (l.kind == WriteLine::Kind::kObject && l.obj_name != obj.name) {
            Logf("%s: rejected write: line '%s' names another object", obj.path.c_str(),
                 l.raw.c_str());
            return EINVAL;
        }
    }
    // What the write can add at most; near the limit, it is tried on a copy.
    std::size_t added = 0;
    for (const WriteLine &l : lines) added += l.raw.size() + 4;
    if (obj.content.RenderedSize(obj.name) + added > kMaxObject) {
        ObjectContent trial = obj.content;
        trial.Apply(lines);
        const std::size_t size = trial.RenderedSize(obj.name);
        if (size > kMaxObject) {
            Logf("%s: rejected write: the object would be %zu bytes, more than %zu",
                 obj.path.c_str(), size, kMaxObject);
            return EFBIG;
        }
    }
    std::vector<AttrChange> changes = obj.content.Apply(lines);
    if (changes.empty()) return 0;
    obj.mtime = obj.ctime = Now();
    if (obj.linked) DeliverChanges(obj, changes);
    return 0;
}

std::vector<std::uint64_t> PpsCore::TakeWoken() {
    std::vector<std::uint64_t> out;
    out.swap(woken_);
    return out;
}

int PpsCore::Fsync(std::uint64_t fh) {
    auto it = handles_.find(fh);
    if (it == handles_.end()) return EBADF;
    const Entry &obj = *it->second->obj;
    if (save_dir_.empty() || !obj.linked || obj.server_mode || obj.content.nopersist()) return 0;
    return SaveOne(obj) ? 0 : EIO;
}

}  // namespace ppsfs

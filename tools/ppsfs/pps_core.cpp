#include "pps_core.h"

#include <fcntl.h>
#include <sys/pps.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "log.h"

namespace ppsfs {

namespace {

struct timespec Now() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return ts;
}

// The second field of a "Uid:" / "Gid:" line: the effective id.
bool SecondField(const std::string &rest, unsigned long *v) {
    std::istringstream in(rest);
    unsigned long real;
    return static_cast<bool>(in >> real >> *v);
}

// "name.<decimal id>" -> id; 0 when the text is not that form.
std::uint64_t ClientIdOf(const std::string &obj_name, const std::string &base) {
    if (obj_name.size() <= base.size() + 1 || obj_name.compare(0, base.size(), base) != 0 ||
        obj_name[base.size()] != '.')
        return 0;
    std::uint64_t id = 0;
    for (std::size_t i = base.size() + 1; i < obj_name.size(); i++) {
        char c = obj_name[i];
        if (c < '0' || c > '9' || id > (UINT64_MAX - 9) / 10) return 0;
        id = id * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return id;
}

}  // namespace

std::string CredentialItems(const Caller &caller) {
    unsigned long pid = static_cast<unsigned long>(caller.pid);
    unsigned long uid = caller.uid, gid = caller.gid;
    std::string groups;
    std::ifstream in("/proc/" + std::to_string(caller.pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        std::size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        std::string key = line.substr(0, colon), rest = line.substr(colon + 1);
        if (key == "Tgid") {
            pid = std::strtoul(rest.c_str(), nullptr, 10);
        } else if (key == "Uid") {
            SecondField(rest, &uid);
        } else if (key == "Gid") {
            SecondField(rest, &gid);
        } else if (key == "Groups") {
            std::istringstream g(rest);
            unsigned long v;
            while (g >> v) groups += ".g" + std::to_string(v);
        }
    }
    return ".n0.p" + std::to_string(pid) + ".u" + std::to_string(uid) + ".g" + std::to_string(gid) +
           groups;
}

PpsCore::PpsCore(mode_t root_mode, uid_t root_uid, gid_t root_gid, std::size_t backlog_kb,
                 std::size_t unread_limit_kb)
    : backlog_bytes_(backlog_kb * 1024), unread_limit_bytes_(unread_limit_kb * 1024) {
    auto root = std::make_shared<Entry>();
    root->ino = kRootIno;
    root->is_dir = true;
    root->mode = root_mode & 07777;
    root->uid = root_uid;
    root->gid = root_gid;
    root->atime = root->mtime = root->ctime = Now();
    Node node;
    node.entry = root;
    node.nlookup = 1;  // the kernel holds the root for the life of the mount
    nodes_.emplace(kRootIno, node);
}

PpsCore::~PpsCore() = default;

std::shared_ptr<PpsCore::Entry> PpsCore::NewEntry(Entry *parent, const std::string &name,
                                                  bool is_dir, mode_t mode, uid_t uid, gid_t gid) {
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
    parent->mtime = parent->ctime = e->ctime;
    Node node;
    node.entry = e;
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
    if (e.is_dir) {
        st->st_mode = S_IFDIR | e.mode;
        st->st_nlink = 2;
        for (const auto &c : e.children)
            if (c.second->is_dir) st->st_nlink++;
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
    std::string why;
    if (!ParseQualifiers(qualifiers, &options, &why)) {
        Logf("%s: rejected '?%s': %s", e->path.c_str(), qualifiers.c_str(), why.c_str());
        return EINVAL;
    }
    auto alias = e->aliases.find(qualifiers);
    if (alias == e->aliases.end()) {
        Node node;
        node.entry = e;
        node.qualifiers = qualifiers;
        node.options = options;
        std::uint64_t id = next_ino_++;
        nodes_.emplace(id, node);
        alias = e->aliases.emplace(qualifiers, id).first;
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
    if (!node.qualifiers.empty()) {
        node.entry->aliases.erase(node.qualifiers);
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
    Entry &e = *it->second.entry;
    if (req.set_size) {
        if (e.is_dir) return EISDIR;
        // Any length empties the object: PPS has no partial truncation.
        Truncate(e, nullptr);
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
    if (!ValidObjectName(name)) {
        Logf("%s: rejected directory name '%s'", dir->path.c_str(), name.c_str());
        return EINVAL;
    }
    if (dir->children.count(name) != 0) return EEXIST;
    auto e = NewEntry(dir, name, true, mode, caller.uid, caller.gid);
    Node &node = nodes_.at(e->ino);
    node.nlookup++;
    *ino = e->ino;
    Stat(node, st);
    return 0;
}

void PpsCore::Unlinked(const std::shared_ptr<Entry> &e) {
    e->linked = false;
    e->parent->children.erase(e->name);
    e->parent->mtime = e->parent->ctime = Now();
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
    if (SplitQualified(name, &base, &qualifiers)) {
        OpenOptions options;
        std::string why;
        if (!ParseQualifiers(qualifiers, &options, &why)) {
            Logf("%s/%s: rejected '?%s': %s", dir->path.c_str(), base.c_str(), qualifiers.c_str(),
                 why.c_str());
            return EINVAL;
        }
    }
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
            h.queue.clear();
            h.queued_bytes = 0;
            h.need_full = false;
            h.overflowed = false;
            h.queue.push_back(line);
        }
        h.gone = true;
        Wake(h);
    }
    return 0;
}

int PpsCore::ReadDir(std::uint64_t ino,
                     std::vector<std::pair<std::string, struct stat>> *out) const {
    Entry *dir = DirOf(ino);
    if (dir == nullptr) return ENOTDIR;
    out->clear();
    for (const auto &c : dir->children) {
        struct stat st;
        Stat(nodes_.at(c.second->ino), &st);
        out->emplace_back(c.first, st);
    }
    return 0;
}

// A server answers its clients, so only an open for writing may serve:
// reading alone would let anyone who may read an object take it over.
bool PpsCore::ReadOnlyServer(const OpenOptions &options, int flags, const std::string &path,
                             const Caller &caller) {
    if (!options.server || (flags & O_ACCMODE) != O_RDONLY) return false;
    Logf("%s: rejected a read-only ?server open (pid %d)", path.c_str(),
         static_cast<int>(caller.pid));
    return true;
}

int PpsCore::Create(std::uint64_t parent, const std::string &name, mode_t mode, int flags,
                    const Caller &caller, std::uint64_t *ino, struct stat *st, std::uint64_t *fh) {
    Entry *dir = DirOf(parent);
    if (dir == nullptr) return ENOTDIR;
    std::string base, qualifiers;
    SplitQualified(name, &base, &qualifiers);
    OpenOptions options;
    std::string why;
    if (!ParseQualifiers(qualifiers, &options, &why)) {
        Logf("%s/%s: rejected '?%s': %s", dir->path.c_str(), base.c_str(), qualifiers.c_str(),
             why.c_str());
        return EINVAL;
    }
    if (!ValidObjectName(base)) {
        Logf("%s: rejected object name '%s'", dir->path.c_str(), base.c_str());
        return EINVAL;
    }
    if (ReadOnlyServer(options, flags, dir->path + "/" + base, caller)) return EACCES;
    auto existing = dir->children.find(base);
    if (existing != dir->children.end()) {
        if (existing->second->is_dir) return EISDIR;
        if ((flags & O_EXCL) != 0) return EEXIST;
    } else {
        NewEntry(dir, base, false, mode, caller.uid, caller.gid);
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
    if (it->second.entry->is_dir) return EISDIR;
    return OpenEntry(it->second.entry, it->second.options, flags, caller, fh);
}

int PpsCore::OpenEntry(const std::shared_ptr<Entry> &obj, const OpenOptions &options, int flags,
                       const Caller &caller, std::uint64_t *fh) {
    if (ReadOnlyServer(options, flags, obj->path, caller)) return EACCES;
    if (options.server && obj->server != nullptr) {
        Logf("%s: rejected a second ?server open (pid %d)", obj->path.c_str(),
             static_cast<int>(caller.pid));
        return EBUSY;
    }
    // Each connection is a line for the server to read, so a server too far
    // behind takes no new clients either (see WriteAsClient).
    if (!options.server && obj->server != nullptr && Behind(*obj->server)) {
        Logf("%s: open refused (EAGAIN) until the server reads: %zu bytes unread",
             obj->path.c_str(), obj->server->queued_bytes);
        return EAGAIN;
    }
    auto h = std::make_unique<Handle>();
    h->id = next_fh_++;
    h->obj = obj;
    h->options = options;
    int acc = flags & O_ACCMODE;
    h->can_read = acc != O_WRONLY;
    h->can_write = acc != O_RDONLY;
    h->nonblock_at_open = (flags & O_NONBLOCK) != 0;
    h->cred = CredentialItems(caller);
    if (options.nopersist) obj->content.set_nopersist_open();
    if ((flags & O_TRUNC) != 0) {
        Truncate(*obj, nullptr);
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
    *fh = ref.id;
    return 0;
}

void PpsCore::MakeServer(Entry &obj, Handle &server) {
    server.role = Handle::Role::kServer;
    server.critical = true;
    server.changed = false;
    server.need_full = false;
    obj.server_mode = true;
    obj.server = &server;
    // Every other open of the object is now a client, connected in the order
    // of its open.
    for (auto &hp : obj.handles) {
        Handle &h = *hp.second;
        if (&h == &server) continue;
        if (h.role == Handle::Role::kSubscriber) {
            h.role = Handle::Role::kClient;
            h.critical = false;
            h.changed = false;
            h.need_full = false;
            h.overflowed = false;
            h.notice = 0;
            h.queue.clear();
            h.queued_bytes = 0;
            h.partial.clear();
        }
        Connect(obj, h);
    }
}

void PpsCore::Connect(Entry &obj, Handle &client) {
    PushMessage(*obj.server,
                "+@" + obj.name + "." + std::to_string(client.id) + client.cred + "\n");
}

void PpsCore::Release(std::uint64_t fh) {
    auto it = handles_.find(fh);
    if (it == handles_.end()) return;
    Handle &h = *it->second;
    Entry &obj = *h.obj;
    obj.handles.erase(h.id);
    if (obj.linked) {
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
                    PushMessage(*obj.server, "-@" + obj.name + "." + std::to_string(h.id) + "\n");
                    Wake(*obj.server);  // it may write again if this one held it back
                }
                break;
            case Handle::Role::kSubscriber:
                if (h.critical) Purge(obj, &h);
                break;
        }
    }
    handles_.erase(it);
}

void PpsCore::Truncate(Entry &obj, Handle *except) {
    obj.content.Clear();
    const std::string line = obj.content.RenderObjectLine(obj.name, '#') + "\n";
    for (auto &hp : obj.handles) {
        Handle &h = *hp.second;
        if (&h == except || h.role != Handle::Role::kSubscriber || !h.can_read || h.gone) continue;
        NotifySubscriber(obj, h, '#', line);
    }
}

void PpsCore::Purge(Entry &obj, Handle *closing) {
    obj.content.Purge();
    const std::string line = obj.content.RenderObjectLine(obj.name, '*') + "\n";
    for (auto &hp : obj.handles) {
        Handle &h = *hp.second;
        if (&h == closing || !h.can_read || h.gone) continue;
        switch (h.role) {
            case Handle::Role::kSubscriber:
                NotifySubscriber(obj, h, '*', line);
                break;
            case Handle::Role::kClient:
                // Clients learn that their server is gone.
                PushMessage(h, "*@" + obj.name + "\n");
                break;
            case Handle::Role::kServer:
                break;
        }
    }
}

void PpsCore::DeliverChanges(Entry &obj, const std::vector<AttrChange> &changes) {
    for (auto &hp : obj.handles) {
        Handle &h = *hp.second;
        if (h.role != Handle::Role::kSubscriber || !h.can_read || h.gone) continue;
        std::string group;
        for (const AttrChange &c : changes) {
            const ObjectContent::Attribute *a = obj.content.Find(c.name);
            if (!FilterPasses(h.options.filter, c.name, c.deleted, a ? a->value : "")) continue;
            group += obj.content.RenderAttr(c.name) + "\n";
        }
        if (group.empty()) continue;
        if (h.options.delta) group = obj.content.RenderObjectLine(obj.name, 0) + "\n" + group;
        NotifySubscriber(obj, h, 0, std::move(group));
    }
}

void PpsCore::NotifySubscriber(Entry &obj, Handle &h, char notice, std::string text) {
    if (!h.options.delta) {
        h.changed = true;
        if (notice != 0) h.notice = notice;
    } else if (!h.need_full) {
        h.queued_bytes += text.size();
        h.queue.push_back(std::move(text));
        const std::size_t limit =
            h.options.backlog_kb != 0 ? h.options.backlog_kb * 1024 : backlog_bytes_;
        if (h.queued_bytes > limit) {
            // Too far behind: drop the queue; the next read says so with
            // "|@name" and then gives the whole object.
            Logf("%s: delta backlog of open %llu exceeded %zu bytes; reset", obj.path.c_str(),
                 static_cast<unsigned long long>(h.id), limit);
            h.queue.clear();
            h.queued_bytes = 0;
            h.need_full = true;
            h.overflowed = true;
        }
    }
    Wake(h);
}

void PpsCore::PushMessage(Handle &h, std::string msg) {
    if (!h.can_read || h.gone) return;
    h.queued_bytes += msg.size();
    h.queue.push_back(std::move(msg));
    Wake(h);
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
    if (!h.partial.empty() || !h.queue.empty()) return true;
    switch (h.role) {
        case Handle::Role::kSubscriber:
            return h.options.delta ? h.need_full : h.changed;
        case Handle::Role::kServer:
        case Handle::Role::kClient:
            return false;
    }
    return false;
}

std::string PpsCore::NextUnit(Handle &h, std::size_t size) {
    std::string unit;
    if (!h.partial.empty()) {
        unit.swap(h.partial);
    } else if (h.role == Handle::Role::kSubscriber && !h.options.delta) {
        unit = RenderFull(*h.obj, h.notice, nullptr);
        h.changed = false;
        h.notice = 0;
    } else if (h.role == Handle::Role::kSubscriber && h.need_full) {
        unit =
            (h.overflowed ? "|@" + h.obj->name + "\n" : std::string()) + RenderFull(*h.obj, 0, &h);
        h.need_full = false;
        h.overflowed = false;
    } else {
        // One message, or as many whole delta groups as fit.
        const bool over = h.queued_bytes > unread_limit_bytes_;
        unit = std::move(h.queue.front());
        h.queue.pop_front();
        h.queued_bytes -= unit.size();
        // Back under the unread limit: writes refused with EAGAIN go through
        // again, so the object's other opens are told (their polls see it).
        if (over && h.queued_bytes <= unread_limit_bytes_ && h.role != Handle::Role::kSubscriber)
            for (auto &hp : h.obj->handles) Wake(*hp.second);
        if (h.role == Handle::Role::kSubscriber) {
            while (!h.queue.empty() && unit.size() + h.queue.front().size() <= size) {
                unit += h.queue.front();
                h.queued_bytes -= h.queue.front().size();
                h.queue.pop_front();
            }
        }
    }
    if (unit.size() > size) {
        h.partial = unit.substr(size);
        unit.resize(size);
    }
    return unit;
}

bool PpsCore::Readable(std::uint64_t fh) const {
    auto it = handles_.find(fh);
    // An open of a deleted object reads end of file at once: that is
    // readable too, or a poll loop would sleep on it for ever.
    return it != handles_.end() && (HasUnit(*it->second) || it->second->gone);
}

bool PpsCore::Behind(const Handle &h) const {
    return h.can_read && !h.gone && h.queued_bytes > unread_limit_bytes_;
}

bool PpsCore::Writable(std::uint64_t fh) const {
    auto it = handles_.find(fh);
    if (it == handles_.end()) return false;
    const Handle &h = *it->second;
    const Entry &obj = *h.obj;
    switch (h.role) {
        case Handle::Role::kClient:
            return obj.server == nullptr || (!Behind(*obj.server) && !Behind(h));
        case Handle::Role::kServer:
            for (const auto &hp : obj.handles)
                if (hp.second->role == Handle::Role::kClient && Behind(*hp.second)) return false;
            return true;
        case Handle::Role::kSubscriber:
            return true;
    }
    return true;
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
        r.kind = ReadResult::Kind::kData;
        r.data = NextUnit(h, size);
        return r;
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
    std::vector<AttrChange> changes = obj.content.Apply(lines);
    if (changes.empty()) return 0;
    obj.mtime = obj.ctime = Now();
    if (obj.linked) DeliverChanges(obj, changes);
    return 0;
}

int PpsCore::WriteAsClient(Handle &h, const std::vector<WriteLine> &lines) {
    Entry &obj = *h.obj;
    std::string msg = "@" + obj.name + "." + std::to_string(h.id) + "\n";
    for (const WriteLine &l : lines) {
        if (l.kind == WriteLine::Kind::kObject) {
            if (l.obj_name != obj.name) {
                Logf("%s: rejected client write: line '%s' names another object", obj.path.c_str(),
                     l.raw.c_str());
                return EINVAL;
            }
            continue;
        }
        msg += l.raw + "\n";
    }
    if (obj.server == nullptr) {
        Logf("%s: rejected client write: no server", obj.path.c_str());
        return EPIPE;
    }
    // A server that stops reading, or a client that stops reading its
    // answers, must not make ppsfs grow without bound: while either holds
    // more than the unread limit, the client's writes fail with EAGAIN.
    // Nothing queued is lost, and the client may write again once they read.
    Handle &server = *obj.server;
    if (Behind(server) || Behind(h)) {
        if (!h.throttled)
            Logf("%s: writes of client %llu refused (EAGAIN) until %s reads: %zu bytes unread",
                 obj.path.c_str(), static_cast<unsigned long long>(h.id),
                 Behind(server) ? "the server" : "the client",
                 std::max(server.queued_bytes, h.queued_bytes));
        h.throttled = true;
        return EAGAIN;
    }
    h.throttled = false;
    PushMessage(server, std::move(msg));
    return 0;
}

int PpsCore::WriteAsServer(Handle &h, const std::vector<WriteLine> &lines) {
    Entry &obj = *h.obj;
    struct Group {
        std::uint64_t target;  // 0: every client
        std::string body;
    };
    std::vector<Group> groups;
    bool open = false;
    for (const WriteLine &l : lines) {
        if (l.kind == WriteLine::Kind::kObject) {
            std::uint64_t target = 0;
            if (l.obj_name != obj.name) {
                target = ClientIdOf(l.obj_name, obj.name);
                if (target == 0) {
                    Logf("%s: rejected server write: line '%s' names no client", obj.path.c_str(),
                         l.raw.c_str());
                    return EINVAL;
                }
                auto c = obj.handles.find(target);
                if (c == obj.handles.end() || c->second->role != Handle::Role::kClient) {
                    Logf("%s: rejected server write: no client %llu", obj.path.c_str(),
                         static_cast<unsigned long long>(target));
                    return ENXIO;
                }
            }
            groups.push_back(Group{target, ""});
            open = true;
            continue;
        }
        if (!open) {
            groups.push_back(Group{0, ""});
            open = true;
        }
        groups.back().body += l.raw + "\n";
    }
    // A client that has more than the unread limit waiting takes nothing
    // more: the server's write fails whole with EAGAIN, so a client that
    // stops reading cannot make ppsfs grow without bound.
    for (const Group &g : groups) {
        for (auto &hp : obj.handles) {
            const Handle &c = *hp.second;
            if (c.role != Handle::Role::kClient || (g.target != 0 && g.target != c.id)) continue;
            if (Behind(c)) {
                Logf("%s: server write refused (EAGAIN) until client %llu reads: %zu bytes unread",
                     obj.path.c_str(), static_cast<unsigned long long>(c.id), c.queued_bytes);
                return EAGAIN;
            }
        }
    }
    for (const Group &g : groups) {
        std::string msg = "@" + obj.name + "\n" + g.body;
        if (g.target != 0) {
            PushMessage(*obj.handles.at(g.target), msg);
            continue;
        }
        for (auto &hp : obj.handles) {
            if (hp.second->role == Handle::Role::kClient) PushMessage(*hp.second, msg);
        }
    }
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

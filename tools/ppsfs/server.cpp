// SPDX-License-Identifier: Apache-2.0
// Server mode: an object opened ?server, whose other opens are clients.
// Every client's open, write and close reaches the server as one message
// ("+@obj.<id>...", "@obj.<id>" and its lines, "-@obj.<id>"), and what the
// server writes reaches one client or all of them. Messages are kept per
// reader, a broadcast's text shared.
#include <fstream>
#include <sstream>

#include "log.h"
#include "pps_core.h"

namespace ppsfs {

namespace {

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

std::vector<gid_t> SupplementaryGroups(pid_t pid) {
    std::vector<gid_t> out;
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, 7, "Groups:") != 0) continue;
        std::istringstream g(line.substr(7));
        unsigned long v;
        while (g >> v) out.push_back(static_cast<gid_t>(v));
    }
    return out;
}

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
            Unpin(obj, h);
            h.role = Handle::Role::kClient;
            h.critical = false;
            h.changed = false;
            h.need_full = false;
            h.overflowed = false;
            h.notice = 0;
            h.partial.clear();
        }
        Connect(obj, h);
    }
    TrimLog(obj);
}

void PpsCore::Connect(Entry &obj, Handle &client) {
    PushMessage(*obj.server,
                std::make_shared<const std::string>("+@" + obj.name + "." +
                                                    std::to_string(client.id) + client.cred + "\n"),
                client.uid, client.id, client.id);
}

void PpsCore::PushMessage(Handle &h, std::shared_ptr<const std::string> text, uid_t charged,
                          std::uint64_t from, std::uint64_t source) {
    if (!h.can_read || h.gone) return;
    // What a message costs ppsfs beyond its text counts too, so that many
    // small messages weigh what they take.
    const std::size_t n = text->size() + kMessageOverhead;
    Message m{std::move(text), charged, from, source};
    if (source == 0) {
        h.messages.push_back(std::move(m));
    } else {
        // A server's messages wait in one queue per client, read in turn, so
        // one client's backlog never stands before another's request.
        Fifo<Message> &q = h.by_source[source];
        if (q.empty()) h.turns.push_back(source);
        q.push_back(std::move(m));
    }
    h.queued_bytes += n;
    Charge(charged, n);
    if (from != 0) {
        auto c = handles_.find(from);
        if (c != handles_.end()) c->second->at_server += n;
    }
    Wake(h);
}

PpsCore::Message PpsCore::PopMessage(Handle &h) {
    const std::size_t limit = limits_.client_kb * 1024;
    Message m;
    if (!h.messages.empty()) {
        m = std::move(h.messages.front());
        h.messages.pop_front();
    } else {
        const std::uint64_t source = h.turns.front();
        h.turns.pop_front();
        auto q = h.by_source.find(source);
        m = std::move(q->second.front());
        q->second.pop_front();
        if (q->second.empty()) {
            h.by_source.erase(q);
        } else {
            h.turns.push_back(source);
        }
    }
    const std::size_t n = m.text->size() + kMessageOverhead;
    bool freed = h.queued_bytes > limit;
    h.queued_bytes -= n;
    freed = freed && h.queued_bytes <= limit;
    if (m.from != 0) {
        auto c = handles_.find(m.from);
        if (c != handles_.end()) {
            Handle &client = *c->second;
            freed = freed || (client.at_server > limit && client.at_server - n <= limit);
            client.at_server -= std::min(client.at_server, n);
        }
    }
    if (freed) WakeWriters();
    Uncharge(m.charged, n);
    return m;
}

void PpsCore::DropMessages(Handle &h) {
    while (!h.messages.empty() || !h.turns.empty()) PopMessage(h);
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
    if (msg.size() > kMaxMessage) {
        Logf("%s: rejected client write: a message of %zu bytes, more than %zu", obj.path.c_str(),
             msg.size(), kMaxMessage);
        return EFBIG;
    }
    if (obj.server == nullptr) {
        Logf("%s: rejected client write: no server", obj.path.c_str());
        return EPIPE;
    }
    // A server that stops reading, a client that stops reading its answers
    // or floods, must not make ppsfs grow without bound nor hold up other
    // clients: while this client, or its user, has more than the limits
    // unread, its writes fail with EAGAIN. Nothing queued is lost, and it
    // may write again once the readers catch up (poll says when).
    if (const char *until = ClientRefusal(h)) {
        if (!h.throttled)
            Logf(
                "%s: writes of client %llu (uid %u) refused (EAGAIN) until %s: %zu bytes at "
                "the server, %zu for the client, %zu for its user",
                obj.path.c_str(), static_cast<unsigned long long>(h.id),
                static_cast<unsigned>(h.uid), until, h.at_server, h.queued_bytes,
                QueuedBytesOf(h.uid));
        h.throttled = true;
        WaitToWrite(h);
        return EAGAIN;
    }
    h.throttled = false;
    PushMessage(*obj.server, std::make_shared<const std::string>(std::move(msg)), h.uid, h.id,
                h.id);
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
    // A client that has more than the unread limits waiting takes nothing
    // more: the server's write fails whole with EAGAIN, so a client that
    // stops reading cannot make ppsfs grow without bound.
    for (const Group &g : groups) {
        const std::size_t size = obj.name.size() + 2 + g.body.size();
        if (size > kMaxMessage) {
            Logf("%s: rejected server write: a message of %zu bytes, more than %zu",
                 obj.path.c_str(), size, kMaxMessage);
            return EFBIG;
        }
        for (auto &hp : obj.handles) {
            Handle &c = *hp.second;
            if (c.role != Handle::Role::kClient || (g.target != 0 && g.target != c.id)) continue;
            if (const char *until = ServerWriteRefusal(c)) {
                Logf(
                    "%s: server write refused (EAGAIN) until %s (client %llu, uid %u): %zu bytes "
                    "unread",
                    obj.path.c_str(), until, static_cast<unsigned long long>(c.id),
                    static_cast<unsigned>(c.uid), c.queued_bytes);
                WaitToWrite(h);
                return EAGAIN;
            }
        }
    }
    for (const Group &g : groups) {
        auto msg = std::make_shared<const std::string>("@" + obj.name + "\n" + g.body);
        if (g.target != 0) {
            Handle &c = *obj.handles.at(g.target);
            PushMessage(c, msg, c.uid, 0, 0);
            continue;
        }
        for (auto &hp : obj.handles) {
            Handle &c = *hp.second;
            if (c.role == Handle::Role::kClient) PushMessage(c, msg, c.uid, 0, 0);
        }
    }
    return 0;
}

}  // namespace ppsfs

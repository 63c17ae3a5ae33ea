// SPDX-License-Identifier: Apache-2.0
// The special files and options: .all of each directory (every object of
// the directory, full or delta, and ?deltadir for its names), .notify of
// the root (notification groups and their ?notify= members) and ?opens
// (the _opens attribute of an object).
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/pps.h>

#include <algorithm>

#include "log.h"
#include "pps_core.h"

namespace ppsfs {

bool PpsCore::MayRead(const Handle &h, mode_t mode, uid_t uid, gid_t gid) {
    if (h.uid == 0) return true;
    if (h.uid == uid) return (mode & S_IRUSR) != 0;
    if (h.gid == gid || std::find(h.groups.begin(), h.groups.end(), gid) != h.groups.end())
        return (mode & S_IRGRP) != 0;
    return (mode & S_IROTH) != 0;
}

void PpsCore::MarkChanged(Handle &h, const std::string &name, char notice) {
    auto it = h.changed_notice.find(name);
    // Objects created and deleted one after another under new names would
    // grow the list without end while the open does not read: past the
    // directory's objects and a margin, it starts again from what exists
    // (a full open may miss changes anyway; it sees the objects as they are).
    if (it == h.changed_notice.end() && h.changed_names.size() > h.obj->children.size() + 1024) {
        Logf("%s/.all: open %llu (uid %u) behind by %zu names; starting again from the objects",
             h.obj->path.c_str(), static_cast<unsigned long long>(h.id),
             static_cast<unsigned>(h.uid), h.changed_names.size());
        h.changed_names.clear();
        h.changed_notice.clear();
        for (const auto &c : h.obj->children) {
            const Entry &child = *c.second;
            if (!child.is_dir && MayRead(h, child.mode, child.uid, child.gid))
                MarkChanged(h, c.first, 0);
        }
        it = h.changed_notice.find(name);
    }
    if (it == h.changed_notice.end()) {
        h.changed_names.push_back(name);
        h.changed_notice.emplace(name, notice);
    } else if (notice != 0) {
        it->second = notice;
    } else if (it->second == '-') {
        it->second = 0;  // deleted, then made again: it is there to read
    }
    Wake(h);
}

void PpsCore::Membership(Entry &dir, char notice, const Entry &child) {
    if (dir.all_opens == 0) return;
    LogEntry entry;
    entry.notice = notice;
    entry.subdir = child.is_dir;
    entry.name = child.name;
    entry.object_line = std::string(1, notice) + "@" + child.name;
    Append(dir, std::move(entry), nullptr);
}

void PpsCore::UpdateOpens(Entry &obj) {
    if (obj.is_dir || obj.server_mode || !obj.linked) return;
    // Only the _opens this object got from its ?opens opens is ours to
    // change or delete; one a writer set is left alone once they are gone.
    const bool has = obj.content.Find("_opens") != nullptr && obj.opens_attr;
    if (obj.opens_trackers == 0 && !has) return;
    obj.opens_attr = obj.opens_trackers != 0;
    WriteLine line;
    line.name = "_opens";
    if (obj.opens_trackers == 0) {
        line.kind = WriteLine::Kind::kDelete;
    } else {
        std::size_t readers = 0, writers = 0;
        for (const auto &hp : obj.handles) {
            readers += hp.second->can_read ? 1 : 0;
            writers += hp.second->can_write ? 1 : 0;
        }
        line.kind = WriteLine::Kind::kAttribute;
        line.value = std::to_string(readers) + "," + std::to_string(writers);
        // Counts of this run: not saved, and marked so on reads.
        line.options = line.mask = PPS_NOPERSIST;
        const ObjectContent::Attribute *a = obj.content.Find("_opens");
        if (a != nullptr && a->value == line.value) return;
    }
    std::vector<AttrChange> changes = obj.content.Apply({line});
    if (!changes.empty()) DeliverChanges(obj, changes);
}

int PpsCore::OpenSpecial(const Node &node, int flags, const Caller &caller, std::uint64_t *fh) {
    Entry &dir = *node.entry;
    OpenOptions options = node.options;
    const char *name = node.special == Special::kAll ? ".all" : ".notify";
    if ((flags & O_ACCMODE) != O_RDONLY) {
        Logf("%s/%s: rejected an open for writing: it is read-only", dir.path.c_str(), name);
        return EACCES;
    }
    if (options.server || options.opens || options.critical || options.nopersist ||
        !options.notify_group.empty() ||
        (node.special == Special::kNotify &&
         (options.delta || options.deltadir || !options.filter.empty() || options.backlog_kb))) {
        Logf("%s/%s: rejected '?%s': not a qualifier of %s", dir.path.c_str(), name,
             node.qualifiers.c_str(), name);
        return EINVAL;
    }
    if (options.backlog_kb > limits_.backlog_kb && caller.uid != 0) {
        Logf("%s/%s: rejected ?backlog=%zu by uid %u: more than %zu KB is for root",
             dir.path.c_str(), name, options.backlog_kb, static_cast<unsigned>(caller.uid),
             limits_.backlog_kb);
        return EPERM;
    }
    if (options.deltadir) options.delta = true;
    auto h = std::make_unique<Handle>();
    h->id = next_fh_++;
    h->uid = caller.uid;
    h->gid = caller.gid;
    if (caller.uid != 0) h->groups = SupplementaryGroups(caller.pid);
    h->special = node.special;
    h->obj = node.entry;
    h->options = options;
    h->can_read = true;
    h->nonblock_at_open = (flags & O_NONBLOCK) != 0;
    h->changed = false;
    Handle &ref = *h;
    handles_[h->id] = std::move(h);
    if (node.special == Special::kNotify) {
        ref.group = std::to_string(next_group_++);
        groups_[ref.group] = ref.id;
    } else {
        dir.handles[ref.id] = &ref;
        dir.all_opens++;
        // A full open first reads each object once, as an object's full
        // open reads it once after the open.
        if (!options.delta) {
            for (const auto &c : dir.children) {
                const Entry &child = *c.second;
                if (!child.is_dir && MayRead(ref, child.mode, child.uid, child.gid))
                    MarkChanged(ref, c.first, 0);
            }
        }
    }
    *fh = ref.id;
    return 0;
}

void PpsCore::Wake(Handle &h) {
    woken_.push_back(h.id);
    // A member of a notification group: the group hears of it once until
    // the member reads.
    if (h.options.notify_group.empty() || h.noted || !HasUnit(h)) return;
    auto g = groups_.find(h.options.notify_group);
    if (g == groups_.end()) return;
    Note(*handles_.at(g->second), h.options.notify_group + ":" + h.options.notify_value + "\n");
    h.noted = true;
}

void PpsCore::Note(Handle &holder, std::string line) {
    // Members that come and go while the group's open does not read would
    // grow its lines without end: past the client limit they are dropped
    // (a group is not told of every change anyway).
    if (holder.notes_bytes + line.size() > limits_.client_kb * 1024) {
        if (!holder.throttled)
            Logf("/.notify: group %s (uid %u) not read: notifications dropped",
                 holder.group.c_str(), static_cast<unsigned>(holder.uid));
        holder.throttled = true;
        return;
    }
    holder.throttled = false;
    holder.notes_bytes += line.size();
    holder.notes.push_back(std::move(line));
    woken_.push_back(holder.id);
}

}  // namespace ppsfs

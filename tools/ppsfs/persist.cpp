// SPDX-License-Identifier: Apache-2.0
// Saving persistent objects to a directory and loading them at start: one
// file per object in a tree that mirrors the PPS tree. An object's file is
// a header line with the object's mode and owner, then its PPS text ("@name"
// and its persistent attribute lines):
//
//   #ppsfs mode=0640 uid=1000 gid=1000
//   @name
//   attr::value
//
// A directory's mode and owner are in a file of that one header line named
// "@ppsfs-dir" inside it; '@' is never part of a PPS name, so no object can
// have that name, nor that of the temporary "@ppsfs-tmp".
//
// The tree is ppsfs's alone: its directories are 0700 and its files 0600,
// owned by ppsfs's own user whoever owns the objects. ppsfs runs as root,
// so the tree is reached only through directory fds, starting from the one
// SetSaveDir opened, and no step follows a symbolic link: a link found in
// the tree is skipped at load and replaced or unlinked at save, never
// written through or descended into.
//
// Files without the header, from versions that gave each file and
// directory the mode and owner of what it held, still load with the mode
// and owner of the file; their directories are taken over as they load.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>

#include "log.h"
#include "pps_core.h"

namespace ppsfs {

namespace {

// What a save writes before renaming it into place: one name per directory,
// as saves never overlap. Earlier versions wrote "<name>@ppsfs-tmp"; a load
// removes anything whose name ends so, left by a save that did not finish.
const char kTmp[] = "@ppsfs-tmp";
const char kDirMeta[] = "@ppsfs-dir";
const char kHeaderTag[] = "#ppsfs ";

// How a directory of the save tree is opened: never through a link.
const int kDirFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

struct Ownership {
    mode_t mode = 0;
    uid_t uid = 0;
    gid_t gid = 0;
};

std::string Header(mode_t mode, uid_t uid, gid_t gid) {
    char line[80];
    std::snprintf(line, sizeof line, "%smode=%04o uid=%lu gid=%lu\n", kHeaderTag,
                  static_cast<unsigned>(mode & 07777), static_cast<unsigned long>(uid),
                  static_cast<unsigned long>(gid));
    return line;
}

bool Literal(const std::string &s, std::size_t *p, const char *lit) {
    std::size_t n = std::strlen(lit);
    if (s.compare(*p, n, lit) != 0) return false;
    *p += n;
    return true;
}

// Digits in base 8 or 10 at *p, at most max.
bool Number(const std::string &s, std::size_t *p, unsigned base, std::uint64_t max,
            std::uint64_t *out) {
    std::size_t start = *p;
    std::uint64_t v = 0;
    for (; *p < s.size() && s[*p] >= '0' && s[*p] < static_cast<char>('0' + base); ++*p) {
        v = v * base + static_cast<unsigned>(s[*p] - '0');
        if (v > max) return false;
    }
    *out = v;
    return *p > start;
}

// The header line at the start of text, exactly as Header writes it; *len
// is its length with the line end.
bool ParseHeader(const std::string &text, Ownership *o, std::size_t *len) {
    // (uid_t)-1 means "unchanged" to chown(2), never an owner.
    const std::uint64_t kMaxId = 0xfffffffeu;
    std::size_t p = 0;
    std::uint64_t mode, uid, gid;
    if (!(Literal(text, &p, kHeaderTag) && Literal(text, &p, "mode=") &&
          Number(text, &p, 8, 07777, &mode) && Literal(text, &p, " uid=") &&
          Number(text, &p, 10, kMaxId, &uid) && Literal(text, &p, " gid=") &&
          Number(text, &p, 10, kMaxId, &gid) && Literal(text, &p, "\n")))
        return false;
    o->mode = static_cast<mode_t>(mode);
    o->uid = static_cast<uid_t>(uid);
    o->gid = static_cast<gid_t>(gid);
    *len = p;
    return true;
}

bool EndsWith(const std::string &s, const std::string &tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

std::string Errno() {
    return std::strerror(errno);
}

// The names in the directory at, read through a fresh open of it so that
// at's own offset does not matter.
std::vector<std::string> ListDir(int at) {
    std::vector<std::string> names;
    int fd = openat(at, ".", kDirFlags);
    if (fd < 0) return names;
    DIR *d = fdopendir(fd);
    if (d == nullptr) {
        close(fd);
        return names;
    }
    while (struct dirent *de = readdir(d)) {
        std::string n = de->d_name;
        if (n != "." && n != "..") names.push_back(n);
    }
    closedir(d);
    return names;
}

// Removes name from the directory at, with everything under it when it is a
// directory; a link is unlinked, never followed. True when it is gone.
bool RemoveTree(int at, const std::string &name) {
    struct stat st;
    if (fstatat(at, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return errno == ENOENT;
    if (!S_ISDIR(st.st_mode)) return unlinkat(at, name.c_str(), 0) == 0 || errno == ENOENT;
    UniqueFd sub(openat(at, name.c_str(), kDirFlags));
    if (!sub.valid()) return false;
    bool ok = true;
    for (const std::string &n : ListDir(sub.get())) ok = RemoveTree(sub.get(), n) && ok;
    return unlinkat(at, name.c_str(), AT_REMOVEDIR) == 0 && ok;
}

bool WriteAll(int fd, const std::string &text) {
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// Replaces name in the directory at with a file of ppsfs's user, mode 0600,
// holding text: written aside and renamed, so that a crash leaves the old
// copy or the new. The temporary is always a new file (O_EXCL), and the
// rename replaces a link rather than following it, so nothing is written
// through whatever lay at either name; a directory at name is removed. On
// failure returns false with the reason in *why.
bool WriteFileAt(int at, const std::string &name, const std::string &text, std::string *why) {
    struct stat st;
    if (fstatat(at, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode) &&
        !RemoveTree(at, name)) {
        *why = "cannot remove the directory in its place: " + Errno();
        return false;
    }
    if (!RemoveTree(at, kTmp)) {
        *why = std::string("cannot remove ") + kTmp + ": " + Errno();
        return false;
    }
    UniqueFd fd(openat(at, kTmp, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    bool ok = fd.valid() && WriteAll(fd.get(), text) && fsync(fd.get()) == 0 &&
              renameat(at, kTmp, at, name.c_str()) == 0;
    if (!ok) {
        *why = Errno();
        unlinkat(at, kTmp, 0);
    }
    return ok;
}

// Reads the plain file name in the directory at. Anything else (a link, a
// FIFO, a device) is neither followed nor opened. On failure returns false
// with the reason in *why.
bool ReadFileAt(int at, const std::string &name, std::string *text, struct stat *st,
                std::string *why) {
    if (fstatat(at, name.c_str(), st, AT_SYMLINK_NOFOLLOW) != 0) {
        *why = Errno();
        return false;
    }
    if (!S_ISREG(st->st_mode)) {
        *why = "not a file";
        return false;
    }
    // O_NONBLOCK: should a FIFO take the file's place meanwhile, opening it
    // does not wait for a writer (fstat then refuses it).
    UniqueFd fd(openat(at, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd.valid() || fstat(fd.get(), st) != 0) {
        *why = Errno();
        return false;
    }
    if (!S_ISREG(st->st_mode)) {
        *why = "not a file";
        return false;
    }
    text->clear();
    char buf[16384];
    for (;;) {
        ssize_t n = read(fd.get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            *why = Errno();
            return false;
        }
        if (n == 0) return true;
        text->append(buf, static_cast<std::size_t>(n));
    }
}

// What a saved file says of its object. With a header: the mode and owner
// in it, trusted only in a file of ppsfs's user (one it wrote); *body is
// the text after it. Without: the file's own mode and owner, as earlier
// versions saved them.
bool SavedOwnership(const std::string &text, const struct stat &st, Ownership *o, std::string *body,
                    std::string *why) {
    if (text.compare(0, std::strlen(kHeaderTag), kHeaderTag) != 0) {
        *o = Ownership{st.st_mode, st.st_uid, st.st_gid};
        *body = text;
        return true;
    }
    std::size_t len = 0;
    if (st.st_uid != geteuid()) {
        *why =
            "has a header but was not written by ppsfs (owner " + std::to_string(st.st_uid) + ")";
        return false;
    }
    if (!ParseHeader(text, o, &len)) {
        *why = "bad header line";
        return false;
    }
    *body = text.substr(len);
    return true;
}

// The mode and owner of the saved directory fd (whose own stat is st): its
// metadata file, which must be ppsfs's; without one (saved by an earlier
// version) the directory's own, written into a metadata file before
// OwnDir takes the directory over.
bool DirOwnership(int fd, const struct stat &st, Ownership *o, std::string *why) {
    struct stat meta;
    if (fstatat(fd, kDirMeta, &meta, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno != ENOENT) {
            *why = std::string(kDirMeta) + ": " + Errno();
            return false;
        }
        *o = Ownership{st.st_mode, st.st_uid, st.st_gid};
        if (!WriteFileAt(fd, kDirMeta, Header(o->mode, o->uid, o->gid), why)) {
            *why = "cannot save its mode and owner: " + *why;
            return false;
        }
        return true;
    }
    std::string text;
    std::size_t len = 0;
    if (!ReadFileAt(fd, kDirMeta, &text, &meta, why)) {
        *why = std::string(kDirMeta) + ": " + *why;
        return false;
    }
    if (meta.st_uid != geteuid() || !ParseHeader(text, o, &len) || len != text.size()) {
        *why = std::string(kDirMeta) + " was not written by ppsfs or is damaged";
        return false;
    }
    return true;
}

// Makes the directory fd ppsfs's own: 0700, its user and group.
bool OwnDir(int fd) {
    struct stat st;
    if (fstat(fd, &st) != 0) return false;
    if ((st.st_uid != geteuid() || st.st_gid != getegid()) && fchown(fd, geteuid(), getegid()) != 0)
        return false;
    return (st.st_mode & 07777) == 0700 || fchmod(fd, 0700) == 0;
}

// Checks one directory on the way to the save directory: only root or
// ppsfs's user may change it (a sticky directory lets others add their own
// entries, but not rename or remove this one's).
bool SafeAncestor(int fd, const std::string &path, std::string *why) {
    struct stat st;
    if (fstat(fd, &st) != 0) {
        *why = path + ": " + Errno();
        return false;
    }
    if (st.st_uid != 0 && st.st_uid != geteuid()) {
        *why = path + " is owned by uid " + std::to_string(st.st_uid) +
               " (it must be root's or ppsfs's user's)";
        return false;
    }
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (st.st_mode & S_ISVTX) == 0) {
        *why = path + " is writable by group or others";
        return false;
    }
    return true;
}

// Opens the save directory dir, creating it 0700 if missing, walking from /
// one directory at a time without following links and checking each step:
// whoever could swap a directory on the way, or the save directory itself,
// could have ppsfs fill and prune (and, at load, take over) a tree of their
// choosing. *abs: dir as an absolute path.
UniqueFd OpenSaveRoot(const std::string &dir, std::string *abs, std::string *why) {
    std::string path = dir;
    if (path.empty() || path[0] != '/') {
        char *cwd = getcwd(nullptr, 0);
        if (cwd == nullptr) {
            *why = "cannot find the current directory: " + Errno();
            return UniqueFd();
        }
        path = std::string(cwd) + "/" + path;
        std::free(cwd);
    }
    std::vector<std::string> parts;
    for (std::size_t p = 0; p < path.size();) {
        std::size_t slash = path.find('/', p);
        if (slash == std::string::npos) slash = path.size();
        std::string part = path.substr(p, slash - p);
        if (!part.empty() && part != ".") parts.push_back(part);
        p = slash + 1;
    }
    if (parts.empty() || parts.back() == "..") {
        *why = "must name a directory of its own";
        return UniqueFd();
    }
    *abs = "";
    for (const std::string &part : parts) *abs += "/" + part;

    std::string walked = "/";
    UniqueFd at(open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!at.valid()) {
        *why = "/: " + Errno();
        return UniqueFd();
    }
    if (!SafeAncestor(at.get(), walked, why)) return UniqueFd();
    for (std::size_t i = 0; i + 1 < parts.size(); i++) {
        walked += (i == 0 ? "" : "/") + parts[i];
        UniqueFd next(
            openat(at.get(), parts[i].c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!next.valid()) {
            struct stat st;
            bool link = fstatat(at.get(), parts[i].c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                        S_ISLNK(st.st_mode);
            *why = walked +
                   (link ? " is a symbolic link (give the path without links)" : ": " + Errno());
            return UniqueFd();
        }
        if (!SafeAncestor(next.get(), walked, why)) return UniqueFd();
        at = std::move(next);
    }

    const char *name = parts.back().c_str();
    if (mkdirat(at.get(), name, 0700) != 0 && errno != EEXIST) {
        *why = "cannot create it: " + Errno();
        return UniqueFd();
    }
    struct stat st;
    if (fstatat(at.get(), name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)) {
        *why = "it is a symbolic link";
        return UniqueFd();
    }
    UniqueFd root(openat(at.get(), name, kDirFlags));
    if (!root.valid() || fstat(root.get(), &st) != 0) {
        *why = "cannot open it: " + Errno();
        return UniqueFd();
    }
    if (st.st_uid != geteuid()) {
        *why = "it is owned by uid " + std::to_string(st.st_uid) + ", not by ppsfs's user (uid " +
               std::to_string(geteuid()) + ")";
        return UniqueFd();
    }
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        *why = std::string("it is writable by group or others (mode ") + mode + ")";
        return UniqueFd();
    }
    return root;
}

}  // namespace

bool PpsCore::SetSaveDir(const std::string &dir, std::string *why) {
    std::string abs;
    UniqueFd root = OpenSaveRoot(dir, &abs, why);
    if (!root.valid()) {
        *why = "save directory " + dir + ": " + *why;
        return false;
    }
    save_root_ = std::move(root);
    save_dir_ = abs;
    return true;
}

UniqueFd PpsCore::OpenSavedDir(int parent, const Entry &dir) {
    const std::string where = save_dir_ + dir.path;
    const char *name = dir.name.c_str();
    unloadable_.erase(dir.path);  // a directory of that name owns the entry from now on
    // A saved object, or anything else, of the same name would block it.
    struct stat st;
    if (fstatat(parent, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISDIR(st.st_mode))
        RemoveTree(parent, dir.name);
    std::string why;
    if (mkdirat(parent, name, 0700) != 0 && errno != EEXIST) {
        LogAt(LOG_ERR, "%s: cannot create %s: %s", dir.path.c_str(), where.c_str(),
              Errno().c_str());
        return UniqueFd();
    }
    UniqueFd fd(openat(parent, name, kDirFlags));
    if (!fd.valid() || !OwnDir(fd.get())) {
        LogAt(LOG_ERR, "%s: cannot open %s as ppsfs's own: %s", dir.path.c_str(), where.c_str(),
              Errno().c_str());
        return UniqueFd();
    }
    // The mode and owner are rewritten only when they changed: a save of an
    // object syncs one file, not one per directory above it as well.
    std::string meta = Header(dir.mode, dir.uid, dir.gid), old;
    if (!ReadFileAt(fd.get(), kDirMeta, &old, &st, &why) || old != meta || st.st_uid != geteuid()) {
        if (!WriteFileAt(fd.get(), kDirMeta, meta, &why)) {
            LogAt(LOG_ERR, "%s: cannot save to %s/%s: %s", dir.path.c_str(), where.c_str(),
                  kDirMeta, why.c_str());
            return UniqueFd();
        }
    }
    return fd;
}

bool PpsCore::SaveObject(const Entry &obj, int at) {
    unloadable_.erase(obj.path);  // an object of that name owns the file from now on
    std::string text = Header(obj.mode, obj.uid, obj.gid) + "@" + obj.name + "\n";
    for (const auto &a : obj.content.Attributes()) {
        if (!a.nopersist) text += a.name + ":" + a.encoding + ":" + a.value + "\n";
    }
    std::string why;
    if (!WriteFileAt(at, obj.name, text, &why)) {
        LogAt(LOG_ERR, "%s: cannot save to %s: %s", obj.path.c_str(),
              (save_dir_ + obj.path).c_str(), why.c_str());
        return false;
    }
    return true;
}

bool PpsCore::SaveDir(const Entry &dir, int at) {
    bool ok = true;
    std::set<std::string> keep;
    if (dir.ino != kRootIno) keep.insert(kDirMeta);
    for (const auto &c : dir.children) {
        const Entry &e = *c.second;
        if (e.is_dir) {
            UniqueFd sub = OpenSavedDir(at, e);
            ok = sub.valid() && SaveDir(e, sub.get()) && ok;
            keep.insert(c.first);
        } else if (!e.server_mode && !e.content.nopersist()) {
            ok = SaveObject(e, at) && ok;
            keep.insert(c.first);
        }
    }
    // What is gone from the tree is removed; what could not be loaded stays
    // for someone to look at.
    for (const std::string &n : ListDir(at)) {
        if (keep.count(n) == 0 && unloadable_.count(dir.path + "/" + n) == 0 &&
            !RemoveTree(at, n)) {
            LogAt(LOG_ERR, "%s: cannot remove %s/%s: %s", dir.path.empty() ? "/" : dir.path.c_str(),
                  (save_dir_ + dir.path).c_str(), n.c_str(), Errno().c_str());
            ok = false;
        }
    }
    return ok;
}

bool PpsCore::SaveOne(const Entry &obj) {
    // Make sure the directories on the way exist, then write the one file.
    std::vector<const Entry *> chain;
    for (const Entry *d = obj.parent; d != nullptr && d->ino != kRootIno; d = d->parent)
        chain.insert(chain.begin(), d);
    UniqueFd held;
    int at = save_root_.get();
    for (const Entry *d : chain) {
        UniqueFd next = OpenSavedDir(at, *d);
        if (!next.valid()) return false;
        held = std::move(next);
        at = held.get();
    }
    return SaveObject(obj, at);
}

bool PpsCore::SaveAll() {
    if (save_dir_.empty()) return true;
    const std::uint64_t now = changes_;
    if (!SaveDir(*nodes_.at(kRootIno).entry, save_root_.get())) return false;
    saved_changes_ = now;
    return true;
}

bool PpsCore::SaveIfChanged() {
    return changes_ == saved_changes_ || SaveAll();
}

bool PpsCore::LoadDir(Entry &dir, int at) {
    bool ok = true;
    for (const std::string &n : ListDir(at)) {
        if (n == kDirMeta) continue;  // read with its directory
        if (EndsWith(n, kTmp)) {
            RemoveTree(at, n);  // left by a save that did not finish
            continue;
        }
        const std::string path = dir.path + "/" + n;
        struct stat st;
        if (fstatat(at, n.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
        std::string why, text, body;
        std::vector<WriteLine> lines;
        Ownership o;
        if (!ValidObjectName(n)) {
            why = "not a PPS name";
        } else if (S_ISDIR(st.st_mode)) {
            UniqueFd sub(openat(at, n.c_str(), kDirFlags));
            if (!sub.valid() || fstat(sub.get(), &st) != 0) {
                why = Errno();
            } else if (DirOwnership(sub.get(), st, &o, &why)) {
                if (OwnDir(sub.get())) {
                    auto e = NewEntry(&dir, n, true, o.mode, o.uid, o.gid);
                    ok = LoadDir(*e, sub.get()) && ok;
                    continue;
                }
                why = "cannot take it over: " + Errno();
            }
        } else if (ReadFileAt(at, n, &text, &st, &why) &&
                   SavedOwnership(text, st, &o, &body, &why) &&
                   ParseWrite(body.data(), body.size(), &lines, &why)) {
            auto e = NewEntry(&dir, n, false, o.mode, o.uid, o.gid);
            for (const WriteLine &l : lines) {
                if (l.kind == WriteLine::Kind::kAttribute)
                    e->content.Set(l.name, l.encoding, l.value);
            }
            continue;
        }
        LogAt(LOG_WARNING, "saved state: skipping %s: %s", (save_dir_ + path).c_str(), why.c_str());
        unloadable_.insert(path);
        ok = false;
    }
    return ok;
}

bool PpsCore::Load() {
    if (save_dir_.empty()) return true;
    const bool ok = LoadDir(*nodes_.at(kRootIno).entry, save_root_.get());
    saved_changes_ = changes_;  // what was loaded is what is saved
    return ok;
}

}  // namespace ppsfs

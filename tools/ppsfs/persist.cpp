// Saving persistent objects to a directory and loading them at start: one
// file per object in a tree that mirrors the PPS tree, holding the object's
// PPS text ("@name" and its persistent attribute lines). Files and
// directories carry the mode and owner of what they hold.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>

#include "log.h"
#include "pps_core.h"

namespace ppsfs {

namespace {

// '@' is never part of a PPS name, so no object's file can look like this.
const char kTmpSuffix[] = "@ppsfs-tmp";

bool EndsWith(const std::string &s, const std::string &tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

std::vector<std::string> ListDir(const std::string &at) {
    std::vector<std::string> names;
    DIR *d = opendir(at.c_str());
    if (d == nullptr) return names;
    while (struct dirent *de = readdir(d)) {
        std::string n = de->d_name;
        if (n != "." && n != "..") names.push_back(n);
    }
    closedir(d);
    return names;
}

bool RemoveTree(const std::string &path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return errno == ENOENT;
    if (S_ISDIR(st.st_mode)) {
        bool ok = true;
        for (const std::string &n : ListDir(path)) ok = RemoveTree(path + "/" + n) && ok;
        return rmdir(path.c_str()) == 0 && ok;
    }
    return unlink(path.c_str()) == 0;
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

}  // namespace

bool PpsCore::SaveObject(const Entry &obj, const std::string &file) {
    unloadable_.erase(file);  // an object of that name owns the file from now on
    std::string text = "@" + obj.name + "\n";
    for (const auto &a : obj.content.Attributes()) {
        if (!a.nopersist) text += a.name + ":" + a.encoding + ":" + a.value + "\n";
    }
    // Write aside and rename, so that a crash leaves the old copy or the new.
    std::string tmp = file + kTmpSuffix;
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    bool ok = fd >= 0 && WriteAll(fd, text) && fchmod(fd, obj.mode) == 0 &&
              fchown(fd, obj.uid, obj.gid) == 0 && fsync(fd) == 0;
    if (fd >= 0) close(fd);
    ok = ok && rename(tmp.c_str(), file.c_str()) == 0;
    if (!ok) {
        Logf("%s: cannot save to %s: %s", obj.path.c_str(), file.c_str(), strerror(errno));
        unlink(tmp.c_str());
    }
    return ok;
}

bool PpsCore::SaveDir(const Entry &dir, const std::string &at) {
    if (mkdir(at.c_str(), 0700) != 0 && errno != EEXIST) {
        Logf("%s: cannot create %s: %s", dir.path.c_str(), at.c_str(), strerror(errno));
        return false;
    }
    bool ok = true;
    if (dir.ino != kRootIno &&
        (chmod(at.c_str(), dir.mode) != 0 || chown(at.c_str(), dir.uid, dir.gid) != 0)) {
        Logf("%s: cannot set mode or owner of %s: %s", dir.path.c_str(), at.c_str(),
             strerror(errno));
        ok = false;
    }
    std::set<std::string> keep;
    for (const auto &c : dir.children) {
        const Entry &e = *c.second;
        std::string path = at + "/" + c.first;
        if (e.is_dir) {
            // A saved object of the same name would block the directory.
            struct stat st;
            if (lstat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode)) RemoveTree(path);
            ok = SaveDir(e, path) && ok;
            keep.insert(c.first);
        } else if (!e.server_mode && !e.content.nopersist()) {
            struct stat st;
            if (lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) RemoveTree(path);
            ok = SaveObject(e, path) && ok;
            keep.insert(c.first);
        }
    }
    // What is gone from the tree is removed; files that could not be loaded
    // stay for someone to look at.
    for (const std::string &n : ListDir(at)) {
        if (keep.count(n) == 0 && unloadable_.count(at + "/" + n) == 0)
            ok = RemoveTree(at + "/" + n) && ok;
    }
    return ok;
}

bool PpsCore::SaveAll() {
    if (save_dir_.empty()) return true;
    return SaveDir(*nodes_.at(kRootIno).entry, save_dir_);
}

bool PpsCore::LoadDir(Entry &dir, const std::string &at) {
    bool ok = true;
    for (const std::string &n : ListDir(at)) {
        std::string path = at + "/" + n;
        if (EndsWith(n, kTmpSuffix)) {
            unlink(path.c_str());  // left by a save that did not finish
            continue;
        }
        struct stat st;
        if (lstat(path.c_str(), &st) != 0) continue;
        if (!ValidObjectName(n) || !(S_ISDIR(st.st_mode) || S_ISREG(st.st_mode))) {
            Logf("saved state: skipping %s: not a PPS name or not a file", path.c_str());
            unloadable_.insert(path);
            ok = false;
            continue;
        }
        if (S_ISDIR(st.st_mode)) {
            auto e = NewEntry(&dir, n, true, st.st_mode, st.st_uid, st.st_gid);
            ok = LoadDir(*e, path) && ok;
            continue;
        }
        std::ifstream in(path, std::ios::binary);
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::vector<WriteLine> lines;
        std::string why;
        if (!ParseWrite(text.data(), text.size(), &lines, &why)) {
            Logf("saved state: skipping %s: %s", path.c_str(), why.c_str());
            unloadable_.insert(path);
            ok = false;
            continue;
        }
        auto e = NewEntry(&dir, n, false, st.st_mode, st.st_uid, st.st_gid);
        for (const WriteLine &l : lines) {
            if (l.kind == WriteLine::Kind::kAttribute) e->content.Set(l.name, l.encoding, l.value);
        }
    }
    return ok;
}

bool PpsCore::Load() {
    if (save_dir_.empty()) return true;
    struct stat st;
    if (stat(save_dir_.c_str(), &st) != 0) {
        // Nothing saved yet: the first save creates the directory.
        return errno == ENOENT;
    }
    return LoadDir(*nodes_.at(kRootIno).entry, save_dir_);
}

}  // namespace ppsfs

// SPDX-License-Identifier: Apache-2.0
#include "OwnFile.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace toolfile {

namespace {

int Fail(std::string *error, const std::string &text) {
    *error = text;
    return -1;
}

// Whether someone other than this user and root may create or replace
// files in a directory.
bool OthersMayWrite(const struct stat &dir) {
    return (dir.st_mode & (S_IWOTH | S_ISVTX)) != 0 ||
           ((dir.st_mode & S_IWGRP) != 0 && dir.st_gid != 0) ||
           (dir.st_uid != geteuid() && dir.st_uid != 0);
}

}  // namespace

int OpenForWriting(const std::string &path, int flags, mode_t mode, std::string *error) {
    const std::size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "."
                            : slash == 0               ? "/"
                                                       : path.substr(0, slash);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (name.empty() || name == "." || name == "..")
        return Fail(error, path + " is not a regular file");
    // The file's own directory, as the kernel resolves it, is what decides
    // who else could have put something at name.
    const int dfd = open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (dfd < 0) return Fail(error, "cannot open " + path + ": " + strerror(errno));
    struct stat d;
    const bool have_dir = fstat(dfd, &d) == 0;
    // O_NONBLOCK: a FIFO must not hang the open; it is refused just after.
    // No O_TRUNC yet: root could empty another user's file before seeing
    // whose it is.
    const int fd =
        openat(dfd, name.c_str(), (flags & ~O_TRUNC) | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, mode);
    const int err = errno;
    // With O_CREAT in a sticky directory some kernels say EACCES for a link.
    struct stat l;
    const bool link =
        fd < 0 && fstatat(dfd, name.c_str(), &l, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(l.st_mode);
    close(dfd);
    if (link) return Fail(error, path + " is a symbolic link; not written through");
    if (fd < 0 && err == ENXIO) return Fail(error, path + " is not a regular file");
    if (fd < 0) return Fail(error, "cannot open " + path + ": " + strerror(err));
    struct stat f;
    std::string why;
    if (!have_dir || fstat(fd, &f) != 0)
        why = "cannot open " + path + ": " + strerror(errno);
    else if (!S_ISREG(f.st_mode) && !(S_ISCHR(f.st_mode) && f.st_rdev == makedev(1, 3)))
        why = path + " is not a regular file";  // but /dev/null: lines sent nowhere on purpose
    else if (OthersMayWrite(d) && f.st_uid != geteuid())
        why = path + " belongs to another user (uid " + std::to_string(f.st_uid) +
              ") in a directory that others can write to; not written";
    else if (OthersMayWrite(d) && f.st_nlink > 1)
        why = path +
              " has other names (hard links) in a directory that others can write to; "
              "not written";
    else if (fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0 ||
             ((flags & O_TRUNC) != 0 && ftruncate(fd, 0) != 0))
        why = "cannot open " + path + ": " + strerror(errno);
    if (!why.empty()) {
        close(fd);
        return Fail(error, why);
    }
    return fd;
}

}  // namespace toolfile

/* SPDX-License-Identifier: Apache-2.0 */
// Opening a file to write to, for a tool that may run as root and be given
// a path in a directory that other users can write to (/tmp, a shared log
// directory). Such a user could have planted a symbolic link, a hard link
// or a file of their own there for the tool to write into. Not for reading.
#ifndef TOOLS_COMMON_OWNFILE_H
#define TOOLS_COMMON_OWNFILE_H

#include <sys/types.h>

#include <string>

namespace toolfile {

// Opens path with flags (O_WRONLY or O_RDWR, with O_CREAT, O_APPEND,
// O_TRUNC as wanted) and mode for a new file. Refused, with the reason in
// *error:
// - a symbolic link as the last component of path (never followed; links
//   among its directories are, as the user gave them);
// - anything but a regular file or /dev/null (a FIFO or another device
//   would block or swallow the lines);
// - in a directory that others can write to (world-writable, sticky as
//   /tmp, group-writable for a group other than root's, or owned by
//   another user than this one and root): a file that another user owns,
//   or one with more than one name (a hard link).
// O_TRUNC takes effect only once the file has passed. Returns the file
// descriptor (close-on-exec, blocking), which the caller owns, or -1.
int OpenForWriting(const std::string &path, int flags, mode_t mode, std::string *error);

}  // namespace toolfile

#endif

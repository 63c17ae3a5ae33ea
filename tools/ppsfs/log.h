// The log of ppsfs: what it rejects (writes that are not PPS text, bad
// qualifiers, a second server) and what goes wrong with saved state. One
// line per event, to standard error, a file or syslog.
#ifndef TOOLS_PPSFS_LOG_H
#define TOOLS_PPSFS_LOG_H

#include <string>

namespace ppsfs {

// "" or "-": standard error; "syslog": syslog(3); anything else: a file
// opened for append. Returns false (and keeps standard error) when the file
// cannot be opened.
bool OpenLog(const std::string &target);

void Logf(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

}  // namespace ppsfs

#endif

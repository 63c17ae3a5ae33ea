/* SPDX-License-Identifier: Apache-2.0 */
// Open qualifiers of a PPS path: the text after '?' in the last component
// ("status?delta,wait", "control?server", "obj?f=speed>10+-city"). They pick
// the mode of one open and are never part of the object's name.
//
// Pure code: no I/O, no FUSE. Safe to use from any thread.
#ifndef TOOLS_PPSFS_QUALIFIERS_H
#define TOOLS_PPSFS_QUALIFIERS_H

#include <cstddef>
#include <string>
#include <vector>

namespace ppsfs {

// The largest backlog an open or the filesystem may ask for (1 TiB), so
// that its size in bytes cannot wrap.
constexpr std::size_t kMaxBacklogKb = std::size_t{1} << 30;

// One attribute spec of an f= filter.
struct AttrSpec {
    enum class Op { kChanged, kDeleted, kLt, kLe, kGt, kGe, kEq, kNe };
    std::string name;
    Op op = Op::kChanged;
    std::string value;  // operand of a comparison, '\+' already turned into '+'
};

struct OpenOptions {
    bool server = false;
    bool delta = false;
    bool wait = false;
    bool nopersist = false;
    bool critical = false;
    bool cred = false;         // accepted; connect lines always carry credentials
    bool deltadir = false;     // .all only: object names created and deleted
    bool opens = false;        // keep the object's _opens attribute
    std::string notify_group;  // notify=group:value: tell the group when readable
    std::string notify_value;
    std::size_t backlog_kb = 0;  // 0: the filesystem's default
    std::vector<AttrSpec> filter;
};

// Splits a directory entry name at its first '?' into the object name and the
// qualifier text. Returns false when there is no '?'.
bool SplitQualified(const std::string &component, std::string *name, std::string *qualifiers);

// Parses comma-separated qualifiers. Returns false, with *why saying what is
// wrong, for an unknown qualifier, a malformed value or a bad filter spec.
bool ParseQualifiers(const std::string &text, OpenOptions *out, std::string *why);

// Whether a change of attribute `name` (new text `value`, or a deletion)
// passes the filter. An empty filter passes everything.
bool FilterPasses(const std::vector<AttrSpec> &filter, const std::string &name, bool deleted,
                  const std::string &value);

// Whether an object name may be created: not empty, not ".all" or
// ".notify", not starting with '-', '+', '#', '*', '|' or '[', no '@', '?',
// '/', line end or NUL.
bool ValidObjectName(const std::string &name);

// The longest name of an object or directory, in bytes: what the save
// tree's file system takes (NAME_MAX) and what ppsfs's statfs reports. The
// kernel passes FUSE names up to 1024 bytes; a longer one could be made but
// not saved, so it is refused (ENAMETOOLONG).
constexpr std::size_t kMaxNameBytes = 255;

}  // namespace ppsfs

#endif

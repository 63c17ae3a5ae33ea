/* SPDX-License-Identifier: Apache-2.0 */
// The content of one PPS object: its attributes and the PPS text that
// describes them, plus the parser that turns a write() into checked lines.
//
// Pure code: no I/O, no FUSE. Not thread-safe; PpsCore calls it under its
// caller's lock, one thread at a time.
#ifndef TOOLS_PPSFS_OBJECT_H
#define TOOLS_PPSFS_OBJECT_H

#include <cstddef>
#include <list>
#include <string>
#include <unordered_map>
#include <vector>

namespace ppsfs {

// One line of written PPS text, checked and split.
struct WriteLine {
    enum class Kind { kObject, kAttribute, kDelete };
    Kind kind = Kind::kAttribute;
    std::string obj_name;  // kObject: the name after '@'
    int options = 0;       // [x] qualifiers set (PPS_NOPERSIST, PPS_ITEM)
    int mask = 0;          // qualifiers set or cleared
    std::string name;      // kAttribute, kDelete
    std::string encoding;  // kAttribute
    std::string value;     // kAttribute
    std::string raw;       // the line as written, without its line end
};

// Splits written text into lines. Returns false, with *why naming the
// offending line, when a line is not PPS text, the text holds a NUL byte, a
// line is a notification (+@ -@ #@ *@ |@, which only the filesystem emits),
// an item line ([i]) has no separator or a json value nests deeper than a
// decoder reads (256 levels). A last line without a line end
// counts as complete: a write() is whole.
bool ParseWrite(const char *data, std::size_t size, std::vector<WriteLine> *out, std::string *why);

// A change one write made to one attribute.
struct AttrChange {
    std::string name;
    bool deleted = false;
};

class ObjectContent {
  public:
    struct Attribute {
        std::string name;
        std::string encoding;
        std::string value;
        bool nopersist = false;
    };

    // Applies checked lines in order. Object lines only set or clear the
    // object's [n] qualifier; the caller has checked that they name this
    // object. Returns what changed, each attribute once, in the order of its
    // first change; deleting a missing attribute is no change.
    std::vector<AttrChange> Apply(const std::vector<WriteLine> &lines);

    // Sets one attribute as loaded from saved state.
    void Set(const std::string &name, const std::string &encoding, const std::string &value);

    // Removes every attribute. Returns whether there were any.
    bool Clear();

    // Removes the nonpersistent attributes: all when the object is
    // nonpersistent, else those carrying [n].
    void Purge();

    const Attribute *Find(const std::string &name) const;
    const std::list<Attribute> &Attributes() const { return attrs_; }

    // The attribute line, "[n]name:enc:value" or "-name" when it is absent.
    std::string RenderAttr(const std::string &name) const;

    // How long a full read of the object is, at most (its object line with
    // a notice prefix, then every attribute line).
    std::size_t RenderedSize(const std::string &objname) const;

    // "@name" with "[n]" when the object carries the [n] qualifier.
    std::string RenderObjectLine(const std::string &objname, char prefix) const;

    bool nopersist() const { return nopersist_qualifier_ || nopersist_open_; }
    bool nopersist_qualifier() const { return nopersist_qualifier_; }
    void set_nopersist_open() { nopersist_open_ = true; }

  private:
    void SetValue(const WriteLine &line, Attribute *a);

    bool nopersist_qualifier_ = false;  // from a written "[n]@name"
    bool nopersist_open_ = false;       // from an open with ?nopersist
    std::list<Attribute> attrs_;        // in order of creation
    std::unordered_map<std::string, std::list<Attribute>::iterator> index_;
};

}  // namespace ppsfs

#endif

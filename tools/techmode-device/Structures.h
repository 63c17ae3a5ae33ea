/* SPDX-License-Identifier: Apache-2.0 */
// The tech-mode devices' structures, one row per TechModeStructType: the
// scenario key that holds a structure's values, each value's JSON name,
// kind and range (from its member's type), and where it goes in the reply.
// The scenario loader and writer (Scenario.cpp) and the encoders
// (Replies.cpp) all work from these rows, so a new field is its member in
// Scenario.h and one row here. Both devices (techmode-sim and techmode-mm)
// answer from this table. Layouts are the devices' own, written from the
// tech-mode protocol; the daemon's catalogue is not used, so that a wrong
// layout on either side shows up in the tests.
#ifndef TECHMODE_SIM_STRUCTURES_H
#define TECHMODE_SIM_STRUCTURES_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "Scenario.h"
#include "techmode/techmode_protocol.h"

namespace sim {

// A constant array seen as a range; converts from an array reference so
// that no row counts its entries by hand.
template <typename T>
struct Span {
    constexpr Span() = default;
    template <size_t N>
    constexpr Span(const T (&a)[N]) : p(a), n(N) {}
    constexpr const T *begin() const { return p; }
    constexpr const T *end() const { return p + n; }
    constexpr const T &operator[](size_t i) const { return p[i]; }
    constexpr size_t size() const { return n; }
    const T *p = nullptr;
    size_t n = 0;
};

// How a scenario gives a value.
enum class Kind : uint8_t {
    kInt,     // an integer in the range of its member's type
    kCode,    // one of `texts` (its index) or a number 0 to 255
    kChoice,  // one of `choices`; the reply holds its index
    kDigits,  // decimal digits, packed two to a byte into `size` bytes
    kHex,     // exactly 2 * size hexadecimal digits: the bytes they spell
    kText,    // at most `size` bytes of text
    kIpv4,    // an IPv4 address as a.b.c.d
    kIpv6,    // an IPv6 address in its text form
    kHalfDb,  // a level in dBm or dB (null: not reported), sent as half decibels
    kZero,    // no scenario value: a reserved field, sent as zero
};

// One value of a structure, kept in a member of its section (a struct of
// Scenario.h, or the scenario itself).
struct Field {
    const char *name = nullptr;  // JSON name (nullptr for kZero)
    Kind kind = Kind::kZero;
    uint16_t wire = 0;    // fields: the element tag; blocks: the byte offset
    uint8_t size = 0;     // bytes in the reply
    bool drifts = false;  // a signal level that drift moves
    void *(*member)(const void *section) = nullptr;
    // An integer member (kInt, kCode, kChoice): its value, and its type's range.
    int64_t (*get)(const void *section) = nullptr;
    void (*set)(void *section, int64_t v) = nullptr;
    int64_t lo = 0, hi = 0;
    Span<const char *> texts{};  // kCode
    Span<uint8_t> choices{};     // kChoice
    int8_t identity_type = -1;   // kDigits: the type nibble before the digits, or -1
};

// A list of entries in a structure's block: a count byte (or none) and room
// for a number of entries, each `stride` bytes, laid out by `entry`.
struct List {
    const char *name;  // JSON name of the array
    Span<Field> entry;
    size_t max;                           // entries a scenario may give
    size_t (*size)(const void *section);  // entries in the scenario
    void *(*at)(const void *section, size_t i);
    void (*append)(void *section);  // adds an entry with its defaults
    int count_at;                   // the count byte's offset, -1 for none
    uint16_t first, stride, room;   // where the entries start, their size, how many fit
    uint8_t phase;                  // drift moves entry i with phase i + phase
};

// What the scenario holds for a structure, under its name: nothing, an
// object of fields and lists, one list (an array), or one value.
enum class Shape : uint8_t { kNone, kObject, kList, kValue };
// How the reply carries it: one element per field, tagged with the field's
// number; one element holding the whole block; or the identity's byte-array
// members (kDigits, kHex) and fields.
enum class Encoding : uint8_t { kFields, kBlock, kMembers };

struct Structure {
    TechModeStructType type;
    const char *name;  // scenario key, also the key of its faults
    Shape shape;
    Encoding encoding;
    void *(*section)(const void *scenario);  // the object its fields and lists are in
    Span<Field> fields;
    Span<List> lists;
    uint16_t block;  // kBlock: bytes in the block
};

// Every structure, indexed by its type.
extern const Structure kStructures[kTechModeStructTypeCount];

// The row of a structure type as a request or a caller gives it; nullptr
// for a number that is no TechModeStructType.
const Structure *FindStructure(int type);

// The structure names used as scenario keys and in "faults", by type
// ("" for a number that is no type).
const char *StructureName(int type);

// The tags a fault's missing_tags (overlong false) or overlong_tags
// (overlong true) can name: those of the elements directly inside the
// structure element (fields, identity members, or the block). A block has
// none that can be over-long (overlong_block lengthens it).
std::vector<int> FaultTags(const Structure &s, bool overlong);

// The std::string of a kDigits, kHex or kText field, and the f.size bytes
// of a kIpv4 or kIpv6 field.
inline std::string &Text(const Field &f, const void *section) {
    return *static_cast<std::string *>(f.member(section));
}
inline uint8_t *Bytes(const Field &f, const void *section) {
    return static_cast<uint8_t *>(f.member(section));
}

}  // namespace sim

#endif

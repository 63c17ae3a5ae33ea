/* SPDX-License-Identifier: Apache-2.0 */
// What diagctl reads from PPS, as plain values: the attributes of one
// object (texts, numbers, and the objects and arrays of json attributes)
// and the daemon's answer on the control object. Decoding goes through the
// libpps decoder; the values returned own their texts, so they outlive the
// buffer that was read. Pure code: no I/O.
#ifndef TOOLS_DIAGCTL_PPSVALUE_H
#define TOOLS_DIAGCTL_PPSVALUE_H

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace diagctl {

struct Value {
    enum class Kind { kNull, kBool, kInt, kReal, kString, kArray, kObject };

    Kind kind = Kind::kNull;
    bool boolean = false;
    int64_t integer = 0;
    double real = 0;
    std::string text;
    // Objects: members in their order, with names; arrays: elements, names empty.
    std::vector<std::pair<std::string, Value>> members;

    static Value String(std::string s);
    static Value Int(int64_t v);
    static Value Object();

    bool IsObject() const { return kind == Kind::kObject; }
    bool IsArray() const { return kind == Kind::kArray; }
    bool IsNumber() const { return kind == Kind::kInt || kind == Kind::kReal; }
    // The member of an object with that name, or nullptr (also for non-objects).
    const Value *Find(const std::string &name) const;
    // The value as one line of text: strings as they are, numbers in decimal,
    // objects and arrays as compact JSON.
    std::string Display() const;
};

// One PPS object as a plain read returns it: "@name" (or "#@name",
// "*@name") and the attribute lines.
struct PpsObject {
    std::string name;
    Value attributes;        // an object
    bool purged = false;     // "*@name": a critical publisher went away
    bool truncated = false;  // "#@name"
};

// Parses the first object of PPS text. Deleted attributes ("-name") are
// left out; a name given twice keeps the later value. Returns false, with a reason in *error, when
// the text is not PPS or holds no object line.
bool ParsePpsObject(const std::string &text, PpsObject *out, std::string *error);

// The daemon's answer to one request, as the client reads it:
// "@control", "res::<msg>", "id::<id>" and "err:n:-1" on failure.
struct Response {
    std::string res;
    std::string id;
    int64_t err = 0;      // 0 when there is no err attribute
    bool purged = false;  // "*@control": the server went away
};

// Parses one message read from the control object; false when it is not
// PPS text with an object line.
bool ParseResponse(const std::string &text, Response *out);

// Writes a value as JSON: numbers as numbers, texts as strings, objects and
// arrays nested.
std::string ToJson(const Value &v);

// s as a terminal may show it: control characters (C0, DEL, C1) and bytes
// that are not UTF-8 become \xNN, so that a modem's text cannot move the
// cursor, change colours or break a table row.
std::string Printable(const std::string &s);

}  // namespace diagctl

#endif

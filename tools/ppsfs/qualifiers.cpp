// SPDX-License-Identifier: Apache-2.0
#include "qualifiers.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace ppsfs {

namespace {

bool IsAttrNameChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '.';
}

// Splits an f= value at every '+' that is not escaped as '\+'.
std::vector<std::string> SplitSpecs(const std::string &text) {
    std::vector<std::string> out(1);
    for (std::size_t i = 0; i < text.size(); i++) {
        if (text[i] == '\\' && i + 1 < text.size() && text[i + 1] == '+') {
            out.back() += '+';
            i++;
        } else if (text[i] == '+') {
            out.emplace_back();
        } else {
            out.back() += text[i];
        }
    }
    return out;
}

bool ParseSpec(const std::string &spec, AttrSpec *out, std::string *why) {
    std::size_t i = 0;
    bool deleted = false;
    if (!spec.empty() && spec[0] == '-') {
        deleted = true;
        i = 1;
    }
    std::size_t start = i;
    while (i < spec.size() && IsAttrNameChar(spec[i])) i++;
    out->name = spec.substr(start, i - start);
    if (out->name.empty() || (out->name[0] >= '0' && out->name[0] <= '9') || out->name[0] == '.') {
        *why = "bad attribute name in filter spec '" + spec + "'";
        return false;
    }
    if (i == spec.size()) {
        out->op = deleted ? AttrSpec::Op::kDeleted : AttrSpec::Op::kChanged;
        return true;
    }
    if (deleted) {
        *why = "a deletion spec takes no comparison: '" + spec + "'";
        return false;
    }
    static const struct {
        const char *text;
        AttrSpec::Op op;
    } kOps[] = {{"<=", AttrSpec::Op::kLe}, {">=", AttrSpec::Op::kGe}, {"==", AttrSpec::Op::kEq},
                {"!=", AttrSpec::Op::kNe}, {"<", AttrSpec::Op::kLt},  {">", AttrSpec::Op::kGt},
                {"=", AttrSpec::Op::kEq}};
    for (const auto &op : kOps) {
        std::string t = op.text;
        if (spec.compare(i, t.size(), t) == 0) {
            out->op = op.op;
            out->value = spec.substr(i + t.size());
            return true;
        }
    }
    *why = "bad operator in filter spec '" + spec + "'";
    return false;
}

bool ParseInteger(const std::string &s, long long *v) {
    if (s.empty()) return false;
    char *end = nullptr;
    errno = 0;
    *v = std::strtoll(s.c_str(), &end, 10);
    return errno == 0 && *end == '\0';
}

bool SpecMatches(const AttrSpec &spec, bool deleted, const std::string &value) {
    if (spec.op == AttrSpec::Op::kDeleted) return deleted;
    if (deleted) return false;
    if (spec.op == AttrSpec::Op::kChanged) return true;
    long long a, b;
    if (ParseInteger(value, &a) && ParseInteger(spec.value, &b)) {
        switch (spec.op) {
            case AttrSpec::Op::kLt:
                return a < b;
            case AttrSpec::Op::kLe:
                return a <= b;
            case AttrSpec::Op::kGt:
                return a > b;
            case AttrSpec::Op::kGe:
                return a >= b;
            case AttrSpec::Op::kEq:
                return a == b;
            case AttrSpec::Op::kNe:
                return a != b;
            case AttrSpec::Op::kChanged:
            case AttrSpec::Op::kDeleted:
                return false;
        }
        return false;
    }
    // Values that are not integers compare as strings, for equality only.
    switch (spec.op) {
        case AttrSpec::Op::kEq:
            return value == spec.value;
        case AttrSpec::Op::kNe:
            return value != spec.value;
        case AttrSpec::Op::kLt:
        case AttrSpec::Op::kLe:
        case AttrSpec::Op::kGt:
        case AttrSpec::Op::kGe:
        case AttrSpec::Op::kChanged:
        case AttrSpec::Op::kDeleted:
            return false;
    }
    return false;
}

}  // namespace

bool SplitQualified(const std::string &component, std::string *name, std::string *qualifiers) {
    std::size_t q = component.find('?');
    if (q == std::string::npos) {
        *name = component;
        qualifiers->clear();
        return false;
    }
    *name = component.substr(0, q);
    *qualifiers = component.substr(q + 1);
    return true;
}

bool ParseQualifiers(const std::string &text, OpenOptions *out, std::string *why) {
    *out = OpenOptions();
    std::size_t pos = 0;
    while (pos <= text.size()) {
        std::size_t comma = text.find(',', pos);
        if (comma == std::string::npos) comma = text.size();
        std::string item = text.substr(pos, comma - pos);
        pos = comma + 1;
        if (item.empty()) continue;
        std::size_t eq = item.find('=');
        std::string key = item.substr(0, eq);
        std::string value = eq == std::string::npos ? "" : item.substr(eq + 1);
        bool has_value = eq != std::string::npos;
        bool flag = true;
        if (key == "server") {
            out->server = true;
        } else if (key == "delta") {
            out->delta = true;
        } else if (key == "wait") {
            out->wait = true;
        } else if (key == "nopersist") {
            out->nopersist = true;
        } else if (key == "critical") {
            out->critical = true;
        } else if (key == "cred") {
            out->cred = true;
        } else if (key == "deltadir") {
            out->deltadir = true;
        } else if (key == "opens") {
            out->opens = true;
        } else if (key == "notify") {
            flag = false;
            std::size_t colon = value.find(':');
            if (colon == std::string::npos || colon == 0) {
                *why = "notify needs group:value: '" + item + "'";
                return false;
            }
            out->notify_group = value.substr(0, colon);
            out->notify_value = value.substr(colon + 1);
            // Each is given back on a line of its own: no line ends.
            for (unsigned char c : value) {
                if (c < 0x20 || c == 0x7f) {
                    *why = "notify takes no control characters: '" + item + "'";
                    return false;
                }
            }
        } else if (key == "backlog") {
            flag = false;
            long long kb;
            if (!ParseInteger(value, &kb) || kb < 0 ||
                static_cast<unsigned long long>(kb) > kMaxBacklogKb) {
                *why = "backlog needs a number of kilobytes up to " +
                       std::to_string(kMaxBacklogKb) + ": '" + item + "'";
                return false;
            }
            out->backlog_kb = static_cast<std::size_t>(kb);
        } else if (key == "f") {
            flag = false;
            for (const std::string &s : SplitSpecs(value)) {
                AttrSpec spec;
                if (!ParseSpec(s, &spec, why)) return false;
                out->filter.push_back(spec);
            }
        } else {
            *why = "unknown qualifier '" + key + "'";
            return false;
        }
        if (flag && has_value) {
            *why = "qualifier '" + key + "' takes no value";
            return false;
        }
    }
    return true;
}

bool FilterPasses(const std::vector<AttrSpec> &filter, const std::string &name, bool deleted,
                  const std::string &value) {
    if (filter.empty()) return true;
    for (const AttrSpec &spec : filter) {
        if (spec.name == name && SpecMatches(spec, deleted, value)) return true;
    }
    return false;
}

bool ValidObjectName(const std::string &name) {
    if (name.empty() || name == "." || name == "..") return false;
    // PPS's special files, which ppsfs does not provide: an object of that
    // name would pass for one.
    if (name == ".all" || name == ".notify") return false;
    // A name that starts as a notification or a qualifier would read back
    // as one on its object line ("@-x" is not an object named "-x" to a
    // parser, "@[n]x" is object x with [n]).
    if (std::strchr("-+#*|[", name[0]) != nullptr) return false;
    for (char c : name) {
        if (c == '@' || c == '?' || c == '/' || c == '\n' || c == '\0') return false;
    }
    return true;
}

}  // namespace ppsfs

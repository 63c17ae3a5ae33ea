// SPDX-License-Identifier: Apache-2.0
#include "object.h"

#include <ppsparse_internal.h>
#include <sys/pps.h>

#include <cstring>

namespace ppsfs {

namespace {

// Items of an [i] attribute: each item ends with the separator, which is the
// last character of the written value.
bool HasItem(const std::string &set, const std::string &item) {
    char sep = item.back();
    std::size_t start = 0;
    while (start < set.size()) {
        std::size_t end = set.find(sep, start);
        if (end == std::string::npos) end = set.size() - 1;
        if (set.compare(start, end + 1 - start, item) == 0) return true;
        start = end + 1;
    }
    return false;
}

std::string RemoveItem(const std::string &set, const std::string &item) {
    char sep = item.back();
    std::string out;
    std::size_t start = 0;
    while (start < set.size()) {
        std::size_t end = set.find(sep, start);
        if (end == std::string::npos) end = set.size() - 1;
        std::string cur = set.substr(start, end + 1 - start);
        if (cur != item) out += cur;
        start = end + 1;
    }
    return out;
}

// Whether a JSON text nests arrays and objects deeper than a PPS decoder
// reads them (kPpsMaxJsonNesting): brackets inside strings do not count.
bool TooDeep(const std::string &json) {
    std::size_t depth = 0;
    bool in_string = false;
    for (std::size_t i = 0; i < json.size(); i++) {
        const char c = json[i];
        if (in_string) {
            if (c == '\\') {
                i++;
            } else if (c == '"') {
                in_string = false;
            }
        } else if (c == '"') {
            in_string = true;
        } else if (c == '[' || c == '{') {
            if (++depth > kPpsMaxJsonNesting) return true;
        } else if ((c == ']' || c == '}') && depth > 0) {
            depth--;
        }
    }
    return false;
}

}  // namespace

bool ParseWrite(const char *data, std::size_t size, std::vector<WriteLine> *out, std::string *why) {
    out->clear();
    if (std::memchr(data, '\0', size) != nullptr) {
        *why = "the text holds a NUL byte";
        return false;
    }
    // The parser cuts the text in place; keep the original for the raw lines.
    std::string work(data, size);
    char *base = &work[0];
    char *p = base;
    pps_attrib_t info{};
    info.obj_index = -1;
    for (;;) {
        pps_status_t kind = pps_parse_line(&p, nullptr, nullptr, &info, true);
        if (kind == PPS_END) return true;
        std::size_t start = static_cast<std::size_t>(info.line - base);
        std::size_t end = static_cast<std::size_t>(p - base);
        std::string raw(data + start, end - start);
        if (!raw.empty() && raw.back() == '\n') raw.pop_back();
        // What the log shows of the line: enough to find it.
        std::string shown = raw.size() > 60 ? raw.substr(0, 60) + "..." : raw;
        if (kind == PPS_ERROR) {
            *why = "line '" + shown + "' is not PPS text";
            return false;
        }
        WriteLine line;
        line.raw = raw;
        line.options = info.options;
        line.mask = info.option_mask;
        switch (kind) {
            case PPS_OBJECT:
                if (info.flags != 0) {
                    *why = "line '" + shown + "' is a notification, which only PPS sends";
                    return false;
                }
                line.kind = WriteLine::Kind::kObject;
                line.obj_name = info.obj_name;
                break;
            case PPS_ATTRIBUTE:
                line.kind = WriteLine::Kind::kAttribute;
                line.name = info.attr_name;
                line.encoding = info.encoding;
                line.value = info.value;
                if (line.encoding == "json" && TooDeep(line.value)) {
                    *why = "line '" + shown + "' nests JSON deeper than " +
                           std::to_string(kPpsMaxJsonNesting) + " levels";
                    return false;
                }
                if ((info.options & PPS_ITEM) != 0 || (info.option_mask & PPS_ITEM) != 0) {
                    if (line.value.empty()) {
                        *why = "item line '" + shown + "' has no separator";
                        return false;
                    }
                }
                break;
            case PPS_ATTRIBUTE_DELETED:
                line.kind = WriteLine::Kind::kDelete;
                line.name = info.attr_name;
                break;
            case PPS_OBJECT_CREATED:
            case PPS_OBJECT_DELETED:
            case PPS_OBJECT_TRUNCATED:
            case PPS_OBJECT_OVERFLOWED:
                *why = "line '" + shown + "' is a notification, which only PPS sends";
                return false;
            case PPS_ERROR:
            case PPS_END:
                break;
        }
        out->push_back(std::move(line));
    }
}

void ObjectContent::SetValue(const WriteLine &line, Attribute *a) {
    a->encoding = line.encoding;
    if ((line.mask & PPS_ITEM) == 0) {
        a->value = line.value;
    } else if ((line.options & PPS_ITEM) != 0) {
        if (!HasItem(a->value, line.value)) a->value += line.value;
    } else {
        a->value = RemoveItem(a->value, line.value);
    }
    if ((line.mask & PPS_NOPERSIST) != 0) a->nopersist = (line.options & PPS_NOPERSIST) != 0;
}

std::vector<AttrChange> ObjectContent::Apply(const std::vector<WriteLine> &lines) {
    std::vector<AttrChange> changes;
    std::unordered_map<std::string, std::size_t> seen;
    auto note = [&](const std::string &name, bool deleted) {
        auto it = seen.find(name);
        if (it == seen.end()) {
            seen.emplace(name, changes.size());
            changes.push_back(AttrChange{name, deleted});
        } else {
            changes[it->second].deleted = deleted;
        }
    };
    for (const WriteLine &line : lines) {
        switch (line.kind) {
            case WriteLine::Kind::kObject:
                if ((line.mask & PPS_NOPERSIST) != 0) {
                    nopersist_qualifier_ = (line.options & PPS_NOPERSIST) != 0;
                    if (!nopersist_qualifier_) nopersist_open_ = false;
                }
                break;
            case WriteLine::Kind::kAttribute: {
                // Adding an item a set holds, or removing one it does not
                // (from no attribute at all included), changes nothing unless
                // the line also changes the encoding or [n].
                const bool item = (line.mask & PPS_ITEM) != 0;
                auto it = index_.find(line.name);
                if (it == index_.end()) {
                    if (item && (line.options & PPS_ITEM) == 0) break;
                    attrs_.push_back(Attribute{line.name, "", "", false});
                    it = index_.emplace(line.name, std::prev(attrs_.end())).first;
                } else if (item) {
                    const Attribute before = *it->second;
                    Attribute &a = *it->second;
                    SetValue(line, &a);
                    if (a.value != before.value || a.encoding != before.encoding ||
                        a.nopersist != before.nopersist)
                        note(line.name, false);
                    break;
                }
                SetValue(line, &*it->second);
                note(line.name, false);
                break;
            }
            case WriteLine::Kind::kDelete: {
                auto it = index_.find(line.name);
                if (it == index_.end()) break;
                attrs_.erase(it->second);
                index_.erase(it);
                note(line.name, true);
                break;
            }
        }
    }
    return changes;
}

void ObjectContent::Set(const std::string &name, const std::string &encoding,
                        const std::string &value) {
    WriteLine line;
    line.name = name;
    line.encoding = encoding;
    line.value = value;
    std::vector<WriteLine> lines{line};
    Apply(lines);
}

bool ObjectContent::Clear() {
    bool had = !attrs_.empty();
    attrs_.clear();
    index_.clear();
    return had;
}

void ObjectContent::Purge() {
    bool all = nopersist();
    for (auto it = attrs_.begin(); it != attrs_.end();) {
        if (all || it->nopersist) {
            index_.erase(it->name);
            it = attrs_.erase(it);
        } else {
            ++it;
        }
    }
}

const ObjectContent::Attribute *ObjectContent::Find(const std::string &name) const {
    auto it = index_.find(name);
    return it == index_.end() ? nullptr : &*it->second;
}

std::string ObjectContent::RenderAttr(const std::string &name) const {
    const Attribute *a = Find(name);
    if (a == nullptr) return "-" + name;
    return (a->nopersist ? "[n]" : "") + a->name + ":" + a->encoding + ":" + a->value;
}

std::size_t ObjectContent::RenderedSize(const std::string &objname) const {
    std::size_t n = RenderObjectLine(objname, '#').size() + 1;
    for (const Attribute &a : attrs_)
        n += (a.nopersist ? 3 : 0) + a.name.size() + a.encoding.size() + a.value.size() + 3;
    return n;
}

std::string ObjectContent::RenderObjectLine(const std::string &objname, char prefix) const {
    std::string line = nopersist_qualifier_ ? "[n]" : "";
    if (prefix != 0) line += prefix;
    return line + "@" + objname;
}

}  // namespace ppsfs

// SPDX-License-Identifier: Apache-2.0
// ppsparse: splits PPS text one line per call, in place.
//
// Line forms, after optional [qualifiers], as QNX's PPS Developer's Guide
// gives them (its "Object syntax", "Attribute syntax" and "Change
// notification" pages):
//   @name  +@name  -@name  #@name  *@name  |@name     object lines
//   name:encoding:value                               attribute
//   -name                                             attribute deletion
// Attribute names are letters, digits, '_' and '.', starting with a letter or
// '_'; object names must not contain '@', '?', '/' (LF and NUL cannot occur).
#include <sys/pps.h>

#include <errno.h>
#include <string.h>

#include "ppsparse_internal.h"

namespace {

bool is_name_start(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}

bool is_name_char(char c) {
    return is_name_start(c) || (c >= '0' && c <= '9') || c == '.';
}

int find_index(const char *const *names, const char *name) {
    if (names == nullptr) return -1;
    for (int i = 0; names[i] != nullptr; i++) {
        if (strcmp(names[i], name) == 0) return i;
    }
    return -1;
}

// Parses "[n]", "[-n]", "[ni]", "[n,-i]" at *p. Returns false when the
// bracket is malformed or holds an unknown letter.
bool parse_qualifiers(char **p, int *options, int *mask) {
    char *s = *p;
    if (*s != '[') return true;
    s++;
    while (*s != ']') {
        bool clear = false;
        if (*s == ',') {
            s++;
            continue;
        }
        if (*s == '-') {
            clear = true;
            s++;
        }
        int bit;
        switch (*s) {
            case 'n':
                bit = PPS_NOPERSIST;
                break;
            case 'i':
                bit = PPS_ITEM;
                break;
            default:
                return false;  // unknown letter, line end or NUL
        }
        s++;
        *mask |= bit;
        if (clear)
            *options &= ~bit;
        else
            *options |= bit;
    }
    *p = s + 1;
    return true;
}

bool valid_attr_name(const char *s, const char *end) {
    if (s == end || !is_name_start(*s)) return false;
    for (; s < end; s++) {
        if (!is_name_char(*s)) return false;
    }
    return true;
}

bool valid_obj_name(const char *s) {
    if (*s == '\0') return false;
    for (; *s != '\0'; s++) {
        if (*s == '@' || *s == '?' || *s == '/') return false;
    }
    return true;
}

}  // namespace

pps_status_t pps_parse_line(char **ppsdata, const char *const *objnames,
                            const char *const *attrnames, pps_attrib_t *info,
                            bool accept_unterminated) {
    char *line = *ppsdata;

    // Skip empty lines: they carry nothing.
    while (*line == '\n') line++;

    info->attr_name = nullptr;
    info->attr_index = -1;
    info->encoding = nullptr;
    info->value = nullptr;
    info->flags = 0;
    info->options = 0;
    info->option_mask = 0;
    info->quality = 0;
    info->line = line;

    if (*line == '\0') {
        *ppsdata = line;
        return PPS_END;
    }

    char *nl = strchr(line, '\n');
    char *next;
    if (nl == nullptr) {
        if (!accept_unterminated) {
            // The rest of the line has not arrived yet: leave it for the
            // caller to complete.
            info->flags = PPS_INCOMPLETE;
            *ppsdata = line;
            return PPS_END;
        }
        next = line + strlen(line);
    } else {
        *nl = '\0';
        next = nl + 1;
    }
    *ppsdata = next;

    char *p = line;
    if (!parse_qualifiers(&p, &info->options, &info->option_mask)) {
        errno = EINVAL;
        return PPS_ERROR;
    }

    // Object lines, with their optional one-character prefix.
    pps_status_t kind = PPS_OBJECT;
    int flags = 0;
    char *at = p;
    switch (*p) {
        case '+':
            kind = PPS_OBJECT_CREATED;
            flags = PPS_CREATED;
            at = p + 1;
            break;
        case '-':
            kind = PPS_OBJECT_DELETED;
            flags = PPS_DELETED;
            at = p + 1;
            break;
        case '#':
            kind = PPS_OBJECT_TRUNCATED;
            flags = PPS_TRUNCATED;
            at = p + 1;
            break;
        case '*':
            kind = PPS_OBJECT;
            flags = PPS_PURGED;
            at = p + 1;
            break;
        case '|':
            kind = PPS_OBJECT_OVERFLOWED;
            flags = PPS_OVERFLOWED;
            at = p + 1;
            break;
        default:
            break;
    }
    if (*at == '@') {
        char *name = at + 1;
        if (!valid_obj_name(name)) {
            errno = EINVAL;
            return PPS_ERROR;
        }
        info->obj_name = name;
        info->obj_index = find_index(objnames, name);
        info->flags = flags;
        return kind;
    }

    if (*p == '-') {
        char *name = p + 1;
        if (!valid_attr_name(name, name + strlen(name))) {
            errno = EINVAL;
            return PPS_ERROR;
        }
        info->attr_name = name;
        info->attr_index = find_index(attrnames, name);
        info->flags = PPS_DELETED;
        return PPS_ATTRIBUTE_DELETED;
    }

    // name:encoding:value -- the first colon ends the name, the second the
    // encoding; later colons belong to the value.
    char *c1 = strchr(p, ':');
    if (c1 == nullptr || !valid_attr_name(p, c1)) {
        errno = EINVAL;
        return PPS_ERROR;
    }
    char *c2 = strchr(c1 + 1, ':');
    if (c2 == nullptr) {
        errno = EINVAL;
        return PPS_ERROR;
    }
    *c1 = '\0';
    *c2 = '\0';
    info->attr_name = p;
    info->attr_index = find_index(attrnames, p);
    info->encoding = c1 + 1;
    info->value = c2 + 1;
    return PPS_ATTRIBUTE;
}

extern "C" pps_status_t ppsparse(char **ppsdata, const char *const *objnames,
                                 const char *const *attrnames, pps_attrib_t *info,
                                 int /*parse_flags*/) {
    if (ppsdata == nullptr || *ppsdata == nullptr || info == nullptr) {
        errno = EINVAL;
        return PPS_ERROR;
    }
    return pps_parse_line(ppsdata, objnames, attrnames, info, false);
}

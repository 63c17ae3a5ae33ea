// SPDX-License-Identifier: Apache-2.0
// The 'c' encoding of PPS values: C escape sequences, decoded in place.
#include <string.h>

#include "ppsparse_internal.h"

namespace {

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

bool pps_unescape_c(char *s) {
    char *out = s;
    while (*s != '\0') {
        if (*s != '\\') {
            *out++ = *s++;
            continue;
        }
        s++;
        int c;
        switch (*s) {
            case 'n':
                c = '\n';
                s++;
                break;
            case 'r':
                c = '\r';
                s++;
                break;
            case 't':
                c = '\t';
                s++;
                break;
            case 'a':
                c = '\a';
                s++;
                break;
            case 'b':
                c = '\b';
                s++;
                break;
            case 'f':
                c = '\f';
                s++;
                break;
            case 'v':
                c = '\v';
                s++;
                break;
            case '\\':
            case '"':
            case '\'':
            case '?':
                c = *s++;
                break;
            case 'x': {
                s++;
                int v = 0, digits = 0;
                for (int h; digits < 2 && (h = hex_value(*s)) >= 0; digits++, s++) v = v * 16 + h;
                if (digits == 0) return false;
                c = v;
                break;
            }
            default: {
                int v = 0, digits = 0;
                for (; digits < 3 && *s >= '0' && *s <= '7'; digits++, s++) v = v * 8 + (*s - '0');
                if (digits == 0 || v > 0xff)
                    return false;  // unknown escape, or a lone '\' at the end
                c = v;
                break;
            }
        }
        if (c == 0) return false;  // a value cannot hold a NUL byte
        *out++ = static_cast<char>(c);
    }
    *out = '\0';
    return true;
}

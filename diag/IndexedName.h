/* SPDX-License-Identifier: Apache-2.0 */
// Indexed attribute names of the list commands (gsmopinfo, umtsopinfo,
// radionwinfo): a name format with one 1-based decimal index ("gsm_arfcn%1d",
// "%1d gsm_dec_arfcn") printed into the run's 32-byte name buffer.
#ifndef DIAG_INDEXEDNAME_H
#define DIAG_INDEXEDNAME_H

#include <stddef.h>
#include <stdio.h>
#include <sys/pps.h>

// A run's name buffer: zero-filled once per run, reused for every name.
using AttrName = char[32];

// Prints format with index into name and returns name. Every format of the
// commands fits 32 bytes; a longer one would be cut, never overrun.
inline const char *IndexedName(AttrName &name, const char *format, int index) {
    snprintf(name, sizeof name, format, index);
    return name;
}

// Adds text under each of the formats for every index from first to last:
// all formats of one index, then those of the next. The formats are taken
// as an array so that their number is never counted by hand.
template <size_t N>
void AddIndexedText(pps_encoder_t *enc, AttrName &name, const char *const (&formats)[N], int first,
                    int last, const char *text) {
    for (int i = first; i <= last; i++)
        for (const char *format : formats)
            pps_encoder_add_string(enc, IndexedName(name, format, i), text);
}

#endif  // DIAG_INDEXEDNAME_H

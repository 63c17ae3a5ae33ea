/* SPDX-License-Identifier: Apache-2.0 */
// Internals of libpps shared by its parts (and by tools built on it, such as
// the PPS filesystem). Not part of the QNX API.
#ifndef PLATFORM_LIBPPS_PPSPARSE_INTERNAL_H
#define PLATFORM_LIBPPS_PPSPARSE_INTERNAL_H

#include <sys/pps.h>

#include <stddef.h>

// ppsparse with a choice for a last line without a line end: ppsparse itself
// reports it as PPS_END with PPS_INCOMPLETE; a caller that holds complete
// text (a decoder, a whole write()) passes accept_unterminated and gets the
// line parsed.
pps_status_t pps_parse_line(char **ppsdata, const char *const *objnames,
                            const char *const *attrnames, pps_attrib_t *info,
                            bool accept_unterminated);

// How deep JSON values may nest, for the encoder's check of a JSON value and
// for the decoder. RapidJSON's reader recurses once per level, so without a
// bound some tens of kilobytes of '[' run the stack out; nothing the encoder
// builds itself comes near (PPS_ENCODER_MAX_NESTING).
constexpr size_t kPpsMaxJsonNesting = 256;

// Decodes the 'c' encoding (C escapes) of the NUL-terminated text s in place.
// Returns false for a malformed escape (the text is then unspecified).
bool pps_unescape_c(char *s);

#endif

/* SPDX-License-Identifier: Apache-2.0 */
/*
 * <sys/pps.h> for Linux: the libpps API of QNX Neutrino (the PPS text parser
 * ppsparse, the PPS encoder and the PPS decoder), under the QNX names.
 *
 * Numeric values that QNX does not document are this library's own; the
 * ppsparse line kinds use the values PPS programs are written against
 * (PPS_END 0, PPS_ERROR -1, ...). Not thread-safe per object: one encoder or
 * decoder must not be used by two threads at once; distinct ones may.
 */
#ifndef PLATFORM_SYS_PPS_H
#define PLATFORM_SYS_PPS_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------------ */
/* ppsparse                                                                  */
/* ------------------------------------------------------------------------ */

/* Kind of the line that one ppsparse call consumed. */
typedef enum {
    PPS_ERROR = -1,            /* invalid line; errno is EINVAL */
    PPS_END = 0,               /* end of data, or an incomplete last line */
    PPS_OBJECT = 1,            /* @name (also *@name, with PPS_PURGED) */
    PPS_OBJECT_CREATED = 2,    /* +@name */
    PPS_OBJECT_DELETED = 3,    /* -@name */
    PPS_OBJECT_TRUNCATED = 4,  /* #@name */
    PPS_ATTRIBUTE = 5,         /* name:encoding:value */
    PPS_ATTRIBUTE_DELETED = 6, /* -name */
    PPS_OBJECT_OVERFLOWED = 7  /* |@name: delta backlog exceeded */
} pps_status_t;

/* Bits of pps_attrib_t.flags: the special prefix of a line, or that the
 * last line of the data had no line end. */
typedef enum {
    PPS_INCOMPLETE = 0x01,
    PPS_DELETED = 0x02,
    PPS_CREATED = 0x04,
    PPS_TRUNCATED = 0x08,
    PPS_PURGED = 0x10,
    PPS_OVERFLOWED = 0x20
} pps_attrib_flags_t;

/* Bits of pps_attrib_t.options and option_mask: the [x] qualifiers. */
typedef enum {
    PPS_NOPERSIST = 0x01, /* [n] */
    PPS_ITEM = 0x02       /* [i] */
} pps_options_t;

/* What ppsparse learned about one line. Initialise obj_name (NULL) and
 * obj_index (-1) before the first call: they are only set on object lines
 * and keep the last object seen across the attribute lines that follow. */
typedef struct {
    char *obj_name;  /* name of the last object line (without the prefix) */
    int obj_index;   /* index of obj_name in objnames, else -1 */
    char *attr_name; /* attribute name, NULL on object lines */
    int attr_index;  /* index of attr_name in attrnames, else -1 */
    char *encoding;  /* PPS_ATTRIBUTE only: the encoding field ("" if none) */
    char *value;     /* PPS_ATTRIBUTE only: the value, NUL-terminated */
    int flags;       /* pps_attrib_flags_t bits */
    int options;     /* qualifiers set on this line */
    int option_mask; /* qualifiers set or cleared on this line */
    int quality;     /* unused, 0 */
    char *line;      /* start of the line just parsed (for error reports) */
    int reserved[3];
} pps_attrib_t;

/*
 * Parses the next line of the NUL-terminated text at *ppsdata, in place: the
 * ':' separators and the line end are overwritten with NUL bytes so that the
 * pointers in *info are NUL-terminated strings inside the caller's buffer.
 * Advances *ppsdata to the next line. objnames and attrnames are optional
 * NULL-terminated name lists used to fill obj_index and attr_index;
 * parse_flags is reserved (0). Empty lines are skipped.
 *
 * Returns the kind of the line; PPS_END at the end of the data or when the
 * last line has no line end (then PPS_INCOMPLETE is set in info->flags and
 * *ppsdata is left at that line); PPS_ERROR (-1, errno EINVAL) for a line
 * that is not PPS text, with *ppsdata moved past it.
 */
pps_status_t ppsparse(char **ppsdata, const char *const *objnames, const char *const *attrnames,
                      pps_attrib_t *info, int parse_flags);

/* ------------------------------------------------------------------------ */
/* Encoder                                                                   */
/* ------------------------------------------------------------------------ */

typedef enum {
    PPS_ENCODER_OK = 0,
    PPS_ENCODER_NO_MEM = 1,
    PPS_ENCODER_BAD_NESTING = 2,
    PPS_ENCODER_INVALID_VALUE = 3,
    PPS_ENCODER_MISSING_ATTRIBUTE_NAME = 4,
    PPS_ENCODER_NOT_FOUND = 5
} pps_encoder_error_t;

#define PPS_ENCODER_MAX_NESTING 64

/* An encoder builds PPS text (or, in JSON mode, one JSON object) in a
 * growing heap buffer that it owns. Treat the members as private. */
typedef struct {
    char *buffer;
    size_t length;
    size_t capacity;
    int json_mode;
    pps_encoder_error_t status;
    int depth;
    /* per open level: kind (object line, JSON object, JSON array) and
     * whether it already holds an element (for the JSON commas) */
    unsigned char level_kind[PPS_ENCODER_MAX_NESTING];
    unsigned char level_used[PPS_ENCODER_MAX_NESTING];
} pps_encoder_t;

/*
 * Prepares an encoder. With encode_json false the output is PPS text: at the
 * top level, and inside an object started with a name beginning with '@',
 * each attribute is one line (name::text, name:c:escaped, name:n:42,
 * name:json:..., -name); an object or array added as an attribute is written
 * as name:json:{...} or name:json:[...]. With encode_json true the output is
 * one JSON object holding what was added at the top level.
 */
void pps_encoder_initialize(pps_encoder_t *encoder, bool encode_json);
/* Releases the buffer (a first-size buffer is kept for the next encoder on
 * the same thread). The encoder may be initialised again afterwards. */
void pps_encoder_cleanup(pps_encoder_t *encoder);
/* Empties the encoder and clears its error, keeping the mode and memory. */
void pps_encoder_reset(pps_encoder_t *encoder);

/* Every start/end/add/delete call returns PPS_ENCODER_OK or the error that it
 * or any earlier call met: errors are sticky until reset. A name is required
 * everywhere except for the elements of an array, where it must be NULL. */
pps_encoder_error_t pps_encoder_start_object(pps_encoder_t *encoder, const char *name);
pps_encoder_error_t pps_encoder_end_object(pps_encoder_t *encoder);
pps_encoder_error_t pps_encoder_start_array(pps_encoder_t *encoder, const char *name);
pps_encoder_error_t pps_encoder_end_array(pps_encoder_t *encoder);
pps_encoder_error_t pps_encoder_add_string(pps_encoder_t *encoder, const char *name,
                                           const char *value);
pps_encoder_error_t pps_encoder_add_int(pps_encoder_t *encoder, const char *name, int value);
pps_encoder_error_t pps_encoder_add_int64(pps_encoder_t *encoder, const char *name, int64_t value);
pps_encoder_error_t pps_encoder_add_double(pps_encoder_t *encoder, const char *name, double value);
pps_encoder_error_t pps_encoder_add_bool(pps_encoder_t *encoder, const char *name, bool value);
pps_encoder_error_t pps_encoder_add_null(pps_encoder_t *encoder, const char *name);
/* value must be one complete JSON text, nested at most 256 levels deep; it is
 * checked and written as given. */
pps_encoder_error_t pps_encoder_add_json(pps_encoder_t *encoder, const char *name,
                                         const char *value);
/* PPS text only, at the level of attribute lines: writes -name. */
pps_encoder_error_t pps_encoder_delete_attribute(pps_encoder_t *encoder, const char *name);

/* The encoded NUL-terminated text, owned by the encoder and valid until the
 * next call on it; NULL after any error, or while a JSON object or array is
 * still open (the text would not be complete). An object started with
 * "@name" may be left open. */
const char *pps_encoder_buffer(pps_encoder_t *encoder);
/* Length of that text in bytes (0 when pps_encoder_buffer is NULL). */
int pps_encoder_length(pps_encoder_t *encoder);
/* The sticky error status. */
pps_encoder_error_t pps_encoder_error(pps_encoder_t *encoder);

/* ------------------------------------------------------------------------ */
/* Decoder                                                                   */
/* ------------------------------------------------------------------------ */

typedef enum {
    PPS_DECODER_OK = 0,
    PPS_DECODER_NOT_FOUND = 1,         /* no element of that name / index */
    PPS_DECODER_BAD_TYPE = 2,          /* push into something not a container */
    PPS_DECODER_DELETED = 3,           /* the attribute was deleted (-name) */
    PPS_DECODER_TYPE_MISMATCH = 4,     /* get_x of an element of another type */
    PPS_DECODER_CONVERSION_FAILED = 5, /* number out of the target's range */
    PPS_DECODER_PARSE_ERROR = 6,       /* text is not PPS / JSON */
    PPS_DECODER_NO_MEM = 7,
    PPS_DECODER_POP_AT_ROOT = 8,     /* pop with nothing pushed */
    PPS_DECODER_NO_MORE_ELEMENTS = 9 /* current position is past the end */
} pps_decoder_error_t;

typedef enum {
    PPS_TYPE_NONE = 0, /* past the end of the current container */
    PPS_TYPE_NULL,
    PPS_TYPE_BOOL,
    PPS_TYPE_NUMBER,
    PPS_TYPE_STRING,
    PPS_TYPE_ARRAY,
    PPS_TYPE_OBJECT,
    PPS_TYPE_DELETED,
    PPS_TYPE_UNKNOWN /* an encoding this decoder does not interpret */
} pps_node_type_t;

/* A decoder holds the tree of one parsed text. Its strings point into the
 * caller's buffer, which must stay unchanged while they are used; they stay
 * valid after pps_decoder_cleanup. Treat the members as private. */
typedef struct {
    void *impl;
    pps_decoder_error_t status;
} pps_decoder_t;

/* Prepares a decoder. When str is not NULL it is parsed as JSON from a copy
 * that the decoder owns until cleanup. */
pps_decoder_error_t pps_decoder_initialize(pps_decoder_t *decoder, const char *str);
/* Frees the tree (never the caller's buffer). */
void pps_decoder_cleanup(pps_decoder_t *decoder);
/* Parses PPS text in place (str is modified). The root then holds one object
 * per object line, in order; attribute lines before any object line go into
 * an object with an empty name. Object flags carry PPS_CREATED etc. A JSON
 * value nested more than 256 levels deep is PPS_DECODER_PARSE_ERROR (here and
 * in pps_decoder_parse_json_str). */
pps_decoder_error_t pps_decoder_parse_pps_str(pps_decoder_t *decoder, char *str);
/* Parses a JSON text in place; the root then holds that one value. */
pps_decoder_error_t pps_decoder_parse_json_str(pps_decoder_t *decoder, char *str);

/* Navigation. name NULL means the current element; "." the current
 * container. Every failure is also added to the accumulated status. */
pps_decoder_error_t pps_decoder_push(pps_decoder_t *decoder, const char *name);
pps_decoder_error_t pps_decoder_pop(pps_decoder_t *decoder);
pps_decoder_error_t pps_decoder_next(pps_decoder_t *decoder);
pps_decoder_error_t pps_decoder_goto_index(pps_decoder_t *decoder, int index);
pps_node_type_t pps_decoder_type(pps_decoder_t *decoder, const char *name);
int pps_decoder_flags(pps_decoder_t *decoder, const char *name);
const char *pps_decoder_name(pps_decoder_t *decoder);
int pps_decoder_length(pps_decoder_t *decoder);

/* Readers: on success the value is stored and the position moves past the
 * element read; on failure the output is left untouched. */
pps_decoder_error_t pps_decoder_get_string(pps_decoder_t *decoder, const char *name,
                                           const char **value);
pps_decoder_error_t pps_decoder_get_int(pps_decoder_t *decoder, const char *name, int *value);
pps_decoder_error_t pps_decoder_get_int64(pps_decoder_t *decoder, const char *name, int64_t *value);
pps_decoder_error_t pps_decoder_get_double(pps_decoder_t *decoder, const char *name, double *value);
pps_decoder_error_t pps_decoder_get_bool(pps_decoder_t *decoder, const char *name, bool *value);

/* The first error since the last clear; clear resets it to PPS_DECODER_OK. */
pps_decoder_error_t pps_decoder_status(pps_decoder_t *decoder, bool clear);

#ifdef __cplusplus
}
#endif

#endif /* PLATFORM_SYS_PPS_H */

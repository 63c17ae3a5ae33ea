/* SPDX-License-Identifier: Apache-2.0 */
/*
 * Tech-mode transport: opens the tech-mode device, asks the RRM for one
 * structure in a single devctlv exchange, checks the reply, finds the
 * structure element in it and decodes primitive fields. Request and reply
 * shapes are in techmode_protocol.h.
 *
 * Every message goes to standard output (some without a line end, as noted).
 * Single-threaded: devctlv blocks until the device answers.
 */
#ifndef TECHMODE_TECHMODE_TRANSPORT_H
#define TECHMODE_TECHMODE_TRANSPORT_H

#include <stddef.h>
#include <stdint.h>

#include "techmode/techmode_protocol.h"

// Opens kTechModeDevicePath for reading and writing. Prints "sph = <fd>\n"
// and returns the fd, or prints "InitializeTechModeConnection: Failed to open
// device: <path> (<error text>)" (no line end) and returns -1.
int InitializeTechModeConnection();

// Bytes of the reply buffer for a structure type (exactly the encoded size of
// its full reply), or 0 for a type above 28.
size_t TLVTM_ReplyBufferBytes(unsigned structType);

// Sends the request for structType on techmodeFd and returns the reply
// buffer (malloc'd, TLVTM_ReplyBufferBytes(structType) bytes, also stored in
// *replyBytes when that is not null), or nullptr after printing why: an
// invalid type (before any allocation or device call), no memory, a device
// error, a reply whose first word is not CMD_TECHMODE_GET_STRUCT_DATA_TAG, or
// whose first inner element is not structType. On success the caller owns
// the buffer and releases it with free(); on failure nothing stays allocated.
uint8_t *TLVTM_GetStructTlv(int techmodeFd, unsigned structType, size_t *replyBytes);

// Marks destination (its first byte becomes 0xFF, so that a first field that
// is not found later reads 0xFF) and returns the structure element of type
// structType inside the reply of replyBytes bytes, or nullptr after printing
// why: a null destination or reply (nothing is marked), a reply that is not a
// command element, or no structure element lying wholly inside the reply.
const uint8_t *TLVTM_FindStructTlv(void *destination, const uint8_t *reply, size_t replyBytes,
                                   unsigned structType);

// Copies the primitive field tag of structTlv (width 1, 2 or 4 bytes, from
// the start of its one-word value) to field. end is one past the last byte of
// the reply. Prints and copies nothing when field or structTlv is null, when
// the tag is missing (or its value is not one word, or runs past end), or for
// any other width (after the lookup). The field then keeps its content.
void TLVTM_DecodeTlvPrimitive(void *field, const uint8_t *structTlv, const uint8_t *end,
                              uint16_t tag, int width);

#endif  // TECHMODE_TECHMODE_TRANSPORT_H

// SPDX-License-Identifier: Apache-2.0
// Tech-mode transport: one devctlv exchange per structure (see
// techmode_transport.h).
#include "techmode/techmode_transport.h"

#include <devctl.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "techmode/techmode_structs.h"
#include "techmode/tlv_codec.h"

int InitializeTechModeConnection() {
    const int fd = open(kTechModeDevicePath, O_RDWR);
    if (fd == -1) {
        printf("InitializeTechModeConnection: Failed to open device: %s (%s)", kTechModeDevicePath,
               strerror(errno));
        return -1;
    }
    printf("sph = %d\n", fd);
    return fd;
}

size_t TLVTM_ReplyBufferBytes(unsigned structType) {
    const TechModeStructInfo *info = TechModeStructInfoFor(structType);
    return info == nullptr ? 0 : info->replyBytes;
}

uint8_t *TLVTM_GetStructTlv(int techmodeFd, unsigned structType, size_t *replyBytes) {
    const size_t size = TLVTM_ReplyBufferBytes(structType);
    if (size == 0) {
        printf("%s: Invalid structType parameter", "TLVTM_GetStructTlv");
        return nullptr;
    }
    uint8_t *reply = static_cast<uint8_t *>(malloc(size));
    if (reply == nullptr) {
        printf("%s: Could not allocate memory for rBuf", "TLVTM_GetStructTlv");
        return nullptr;
    }
    memset(reply, 0, size);

    uint8_t request[kTechModeRequestBytes];
    memset(request, 0, sizeof request);
    const uint16_t type16 = static_cast<uint16_t>(structType);
    uint8_t *const body = request + kTlvHeaderBytes;
    const uint8_t *next = TlvPack(body, CMD_TECHMODE_STRUCT_TYPE_TAG, sizeof type16, &type16);
    TlvWriteHeader(request, CMD_TECHMODE_GET_STRUCT_DATA_TAG,
                   static_cast<uint16_t>(TlvWordsFor(static_cast<size_t>(next - body))));

    iov_t sv;
    iov_t rv;
    SETIOV(&sv, request, sizeof request);
    SETIOV(&rv, reply, size);
    if (devctlv(techmodeFd, DCMD_TECHMODE_REQUEST, 1, 1, &sv, &rv, nullptr) != EOK) {
        puts("Device error from RRM");
        free(reply);
        return nullptr;
    }
    // Every reply buffer holds at least the two outer headers (16 bytes or
    // more), so both type words can be read.
    if (TlvReadHeader(reply).type != CMD_TECHMODE_GET_STRUCT_DATA_TAG) {
        puts("Error: Unexpected tech mode command response from RRM");
        free(reply);
        return nullptr;
    }
    if (TlvReadHeader(reply + kTlvHeaderBytes).type != structType) {
        puts("Error: Incorrect structure type received from RRM!");
        free(reply);
        return nullptr;
    }
    if (replyBytes != nullptr) *replyBytes = size;
    return reply;
}

const uint8_t *TLVTM_FindStructTlv(void *destination, const uint8_t *reply, size_t replyBytes,
                                   unsigned structType) {
    if (destination == nullptr || reply == nullptr) {
        fputs("Input Data pointer is NULL!...exiting", stdout);
        return nullptr;
    }
    *static_cast<uint8_t *>(destination) = 0xFF;
    if (replyBytes < kTlvHeaderBytes ||
        TlvReadHeader(reply).type != CMD_TECHMODE_GET_STRUCT_DATA_TAG) {
        fputs("TLV does not contain CMD_TECHMODE_GET_STRUCT_DATA_TAG!", stdout);
        return nullptr;
    }
    const uint8_t *structTlv =
        TlvGetTlv(reply, reply + replyBytes, static_cast<uint16_t>(structType));
    if (structTlv == nullptr) {
        printf("TLV does not contain tag: %d", static_cast<int>(structType));
        return nullptr;
    }
    return structTlv;
}

void TLVTM_DecodeTlvPrimitive(void *field, const uint8_t *structTlv, const uint8_t *end,
                              uint16_t tag, int width) {
    if (field == nullptr || structTlv == nullptr) {
        puts("Invalid src or dest pointer!");
        return;
    }
    const uint8_t *value =
        TlvGetValuePointer(structTlv, end, tag, width > 0 ? static_cast<size_t>(width) : 0);
    // A value shorter than the field (a child of length 0) counts as
    // missing: the modem has not sent the field, and the bytes after it
    // belong to another element.
    const bool known = width == 1 || width == 2 || width == 4;
    if (value == nullptr || (known && TlvValueBytes(value) < static_cast<size_t>(width))) {
        printf("%s:TLV does not contain tag %d\n", "TLVTM_DecodeTlvPrimitive", tag);
        return;
    }
    switch (width) {
        case 1:
        case 2:
        case 4:
            memcpy(field, value, static_cast<size_t>(width));
            break;
        default:
            printf("Invalid size %d\n", width);
            break;
    }
}

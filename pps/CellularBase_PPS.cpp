// SPDX-License-Identifier: Apache-2.0
// CellularBase_PPS: object tables, publishing, responses, transactions.
#include "pps/CellularBase_PPS.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/pps.h>
#include <unistd.h>

#include "pps/VelomarLog.h"

namespace {

// The publishing failure lines end with this, after a run of 43 blanks.
#define ENCODE_FAILURE_TAIL "                                           Encode Buffer Fails"

// Rows are walked with an 8-bit index, so a table is at most 255 rows long.
constexpr int kMaxObjectRows = 255;

// Bounded copy into a 30-character field that always terminates.
void CopyField(char (&field)[30], const char *text) {
    size_t length = strnlen(text, sizeof field - 1);
    memcpy(field, text, length);
    field[length] = '\0';
}

}  // namespace

bool WriteEncoded(int fd, pps_encoder_t *encoder) {
    const char *text = pps_encoder_buffer(encoder);
    if (text == nullptr) return false;
    ssize_t written = write(fd, text, static_cast<size_t>(pps_encoder_length(encoder)));
    (void)written;  // a failed write of PPS text is not detected
    return true;
}

int OpenObjectRow(const PPSObjDesc &row) {
    int fd = open(row.path, row.oflags, static_cast<mode_t>(row.mode));
    if (fd == -1) {
        slogf(kVelomarLogCode, _SLOG_CRITICAL, "PPS Obj Path: %s open failed, err: %s", row.path,
              strerror(errno));
        return -1;
    }
    int flags = fcntl(fd, F_GETFD);
    if (flags == -1 || fcntl(fd, F_SETFD, flags | FD_CLOEXEC) == -1) {
        slogf(kVelomarLogCode, _SLOG_CRITICAL, "PPS Obj: %s, File Control Opr failed, err: %s",
              row.path, strerror(errno));
        close(fd);
        return -1;
    }
    return fd;
}

CellularBase_PPS::CellularBase_PPS() : object0_(-1), object1_(-1), object2_(-1) {}

CellularBase_PPS::~CellularBase_PPS() = default;

void CellularBase_PPS::Run() {
    server_.Run();
}

void CellularBase_PPS::Stop() {
    server_.Stop();
}

int CellularBase_PPS::OpenObjects(const PPSObjDesc *table, int count) {
    if (count > kMaxObjectRows) {
        slogf(kVelomarLogCode, _SLOG_WARNING, "PPS Obj table: %d rows, only the first %d opened",
              count, kMaxObjectRows);
        count = kMaxObjectRows;
    }
    uint32_t serviceType = 0;
    for (int i = 0; i < count; i++) {
        const PPSObjDesc &row = table[i];
        int fd = OpenObjectRow(row);
        if (fd == -1) return EINVAL;
        int *slot = nullptr;
        switch (row.type) {
            case 0:
                slot = &object0_;
                break;
            case 1:
                slot = &object1_;
                break;
            case 2:
                slot = &object2_;
                break;
            default:
                break;
        }
        if (slot == nullptr) {
            slogf(kVelomarLogCode, _SLOG_WARNING, "PPS Obj: %s, Invalid, Init Failed", row.path);
            close(fd);
            continue;
        }
        slogf(kVelomarLogCode, _SLOG_DEBUG1, "PPS Obj: %s, Initialized", row.path);
        *slot = fd;
        serviceType = row.serviceType;
    }
    // The service type of the last row opened (0 when none was).
    slogf(kVelomarLogCode, _SLOG_DEBUG1, "PPS Obj for Srvc Type: %d Initialized",
          static_cast<int>(serviceType));
    return 0;
}

void CellularBase_PPS::CloseObjects() {
    for (int *fd : {&object1_, &object0_, &object2_}) {
        if (*fd == -1) continue;
        close(*fd);
        *fd = -1;
    }
}

void CellularBase_PPS::WriteAttribute(int fd, const char *name, int value) {
    slogf(kVelomarLogCode, _SLOG_DEBUG1, "Writting PPS Attr: %s", name);
    pps_encoder_t encoder;
    pps_encoder_initialize(&encoder, false);
    pps_encoder_add_int(&encoder, name, value);
    if (!WriteEncoded(fd, &encoder)) {
        slogf(kVelomarLogCode, _SLOG_ERROR, "Failed to Write PPS Attr: %s", name);
    }
    pps_encoder_cleanup(&encoder);
}

void CellularBase_PPS::FlushStatus(int fd, const char *objName) {
    slogf(kVelomarLogCode, _SLOG_DEBUG1, "Flushing PPS Status,obj: %s", objName);
    pps_encoder_t encoder;
    pps_encoder_initialize(&encoder, false);
    pps_encoder_start_object(&encoder, objName);
    pps_encoder_end_object(&encoder);
    if (!WriteEncoded(fd, &encoder)) {
        slogf(kVelomarLogCode, _SLOG_ERROR,
              "Failed to Flush PPS Status,Obj: %s" ENCODE_FAILURE_TAIL, objName);
    }
    pps_encoder_cleanup(&encoder);
}

void CellularBase_PPS::PublishStatus(int fd, const char *objName, const AttrPair *pairs,
                                     int count) {
    slogf(kVelomarLogCode, _SLOG_DEBUG1, "Publishing PPS Status,obj: %s", objName);
    pps_encoder_t encoder;
    pps_encoder_initialize(&encoder, false);
    pps_encoder_start_object(&encoder, objName);
    for (int i = 0; i < count; i++) {
        pps_encoder_add_string(&encoder, pairs[i].name, pairs[i].value);
    }
    pps_encoder_end_object(&encoder);
    if (!WriteEncoded(fd, &encoder)) {
        slogf(kVelomarLogCode, _SLOG_ERROR,
              "Failed to Publish PPS Status,Obj: %s" ENCODE_FAILURE_TAIL, objName);
    }
    pps_encoder_cleanup(&encoder);
}

void CellularBase_PPS::PublishAttribute(int fd, const char *name, const char *value) {
    slogf(kVelomarLogCode, _SLOG_DEBUG1, "Publishing PPS Status,Attr: %s data: %s", name, value);
    pps_encoder_t encoder;
    pps_encoder_initialize(&encoder, false);
    pps_encoder_add_string(&encoder, name, value);
    if (!WriteEncoded(fd, &encoder)) {
        slogf(kVelomarLogCode, _SLOG_ERROR,
              "Failed to Publish PPS Status,Attr: %s data: %s," ENCODE_FAILURE_TAIL, name, value);
    }
    pps_encoder_cleanup(&encoder);
}

void CellularBase_PPS::SendResponse(const char *objName, Transaction request, const char *dat,
                                    int err) {
    slogf(kVelomarLogCode, _SLOG_DEBUG1, "PPS Obj: %s Send Response Invoked", objName);
    server_.WriteResponse(objName, request.clientId, request.msg, request.id, dat, err, false);
}

void CellularBase_PPS::RequestExit(const char *reason, int exitOutNow) {
    slogf(kVelomarLogCode, _SLOG_ERROR, "[%s] [exitOutNow = %d]", reason, exitOutNow);
    if (exitOutNow == 0) return;
    CloseObjects();
    Stop();
}

int CellularBase_PPS::AddTransaction(int opCode, const char *msg, uint64_t clientId,
                                     const char *id) {
    Transaction found{};
    if (LocateTransaction(opCode, found) == 0 && found.clientId == clientId) {
        slogf(kVelomarLogCode, _SLOG_DEBUG1,
              "Transaction exist for opCode: [%d], Removing old Entry", opCode);
        RemoveTransaction(opCode);
    }
    Transaction added;
    memset(&added, 0, sizeof added);
    added.opCode = opCode;
    added.clientId = clientId;
    CopyField(added.msg, msg);
    CopyField(added.id, id);
    transactions_.push_back(added);
    slogf(kVelomarLogCode, _SLOG_DEBUG1, "Added new transaction for opCode [%d]", opCode);
    return 0;
}

int CellularBase_PPS::LocateTransaction(int opCode, Transaction &out) {
    for (const Transaction &t : transactions_) {
        if (t.opCode != opCode) continue;
        slogf(kVelomarLogCode, _SLOG_DEBUG1, "Locate Trans: Transaction Found for opCode [%d]",
              opCode);
        out.opCode = t.opCode;
        out.clientId = t.clientId;
        CopyField(out.msg, t.msg);
        CopyField(out.id, t.id);
        return 0;
    }
    slogf(kVelomarLogCode, _SLOG_WARNING, "Locate Trans: Transaction for opCode [%d] NOT FOUND",
          opCode);
    return -1;
}

void CellularBase_PPS::RemoveTransaction(int opCode) {
    for (auto it = transactions_.begin(); it != transactions_.end(); ++it) {
        if (it->opCode != opCode) continue;
        slogf(kVelomarLogCode, _SLOG_DEBUG1,
              "Remove Transaction: Trans for opCode [%d] found, Removing it", opCode);
        transactions_.erase(it);
        return;
    }
    slogf(kVelomarLogCode, _SLOG_DEBUG1, "Remove Transaction: Trans for opCode [%d] NOT FOUND",
          opCode);
}

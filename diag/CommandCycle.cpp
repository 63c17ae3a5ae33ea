// SPDX-License-Identifier: Apache-2.0
// The request cycle around every command body.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/slog.h>
#include <unistd.h>

#include "CommandRun.h"
#include "pps/VelomarLog.h"

namespace {

// Bounded copy into a 30-character Transaction field, always terminated.
void CopyField(char (&dst)[30], const char *src) {
    strncpy(dst, src, sizeof dst - 1);
    dst[sizeof dst - 1] = '\0';
}

}  // namespace

void VelomarPPS::CommandRun::AddEach(const char *const *names, size_t count, const char *text) {
    for (size_t i = 0; i < count; i++) pps_encoder_add_string(&enc, names[i], text);
}

// Logs the request, fills the reply context and applies the duplicate-id
// check. A duplicate is answered FAILURE here and the run ends (false);
// otherwise the id becomes the handler's last request id before anything is
// fetched, and the run's encoder is ready (true).
bool VelomarPPS::BeginCommand(CommandRun &run, uint64_t clientId, const char *msg, const char *id,
                              const char *dat) {
    int n = atoi(id);
    // A request without dat shows "(null)" in the log line.
    slogf(kVelomarLogCode, _SLOG_DEBUG1, "%s: ID: 0x%0x data: %s", run.prefix,
          static_cast<unsigned>(n), dat != nullptr ? dat : "(null)");

    run.reply.clientId = clientId;
    CopyField(run.reply.msg, msg);
    CopyField(run.reply.id, id);

    // id "1" is never a duplicate: clients that always send 1 still get
    // fresh values.
    if (n == *run.last_id && n != 1) {
        printf("%s: Same ID, ignore it\n", run.prefix);
        slogf(kVelomarLogCode, _SLOG_DEBUG1, "%s: send response FAILURE", run.prefix);
        SendResponse("control", run.reply, nullptr, -1);
        return false;
    }
    *run.last_id = n;
    pps_encoder_initialize(&run.enc, false);
    return true;
}

// Writes the run's attributes in one write (whatever the outcome; a failed
// write is not detected) and answers the client.
void VelomarPPS::FinishCommand(CommandRun &run, int statusFd, bool success) {
    WriteEncoded(statusFd, &run.enc);
    pps_encoder_cleanup(&run.enc);
    slogf(kVelomarLogCode, _SLOG_DEBUG1, "%s: send response %s", run.prefix,
          success ? "SUCCESS" : "FAILURE");
    SendResponse("control", run.reply, nullptr, success ? 0 : -1);
}

// tchtxpower: not built yet. The handler runs the common cycle (duplicate-id
// check, response) but fetches and publishes nothing, and always answers
// FAILURE, so no client mistakes it for a working screen.
#include <sys/slog.h>

#include "CommandRun.h"
#include "pps/VelomarLog.h"

static int s_tchtxpowerLastId = -1;

int VeloTchtxpowerHandler(PPSServer *, void *, uint64_t clientId, const char *msg, const char *id,
                          const char *dat) {
    slogf(kVelomarLogCode, _SLOG_DEBUG1, "VeloTchtxpowerHandler");
    g_service->TchtxpowerCmd(clientId, msg, id, dat);
    return 0;
}

void VelomarPPS::TchtxpowerCmd(uint64_t clientId, const char *msg, const char *id,
                               const char *dat) {
    CommandRun run("TchtxpowerHandler", &s_tchtxpowerLastId);
    if (!BeginCommand(run, clientId, msg, id, dat)) return;
    FinishCommand(run, m_statusUtraFd, false);
}

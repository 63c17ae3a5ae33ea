// radionwinfo: not built yet. The handler runs the common cycle (duplicate-id
// check, response) but fetches and publishes nothing, and always answers
// FAILURE, so no client mistakes it for a working screen.
#include <stdio.h>
#include <sys/slog.h>

#include "CommandRun.h"
#include "pps/VelomarLog.h"

static int s_radionwinfoLastId = -1;

int VeloRadionwinfoHandler(PPSServer *, void *, uint64_t clientId, const char *msg, const char *id,
                           const char *dat) {
    slogf(kVelomarLogCode, _SLOG_DEBUG1, "VeloRadionwinfoHandler");
    printf("VeloRadionwinfoHandler\n");
    g_service->RadionwinfoCmd(clientId, msg, id, dat);
    return 0;
}

void VelomarPPS::RadionwinfoCmd(uint64_t clientId, const char *msg, const char *id,
                                const char *dat) {
    CommandRun run("RadionwinfoHandler", &s_radionwinfoLastId);
    if (!BeginCommand(run, clientId, msg, id, dat)) return;
    FinishCommand(run, m_statusUtraFd, false);
}

// SPDX-License-Identifier: Apache-2.0
// radiostats: the UTRA RRC state, RRC connection state and the latest RRC
// reject and release causes, published into status_utra. One fetch; the
// screen is shown only when it answered.
#include <string.h>
#include <sys/slog.h>

#include "CommandRun.h"
#include "pps/VelomarLog.h"
#include "techmode/techmode_structs.h"
#include "techmode/techmode_text.h"

static int s_radiostatsLastId = -1;

int VeloRadiostatsHandler(PPSServer *, void *, uint64_t clientId, const char *msg, const char *id,
                          const char *dat) {
    slogf(kVelomarLogCode, _SLOG_DEBUG1, "VeloRadiostatsHandler");
    g_service->RadiostatsCmd(clientId, msg, id, dat);
    return 0;
}

void VelomarPPS::RadiostatsCmd(uint64_t clientId, const char *msg, const char *id,
                               const char *dat) {
    RadioStatData radio;
    memset(&radio, 0, sizeof radio);

    CommandRun run("RadiostatsHandler", &s_radiostatsLastId);
    if (!BeginCommand(run, clientId, msg, id, dat)) return;

    bool ok = getDtaRadioStatDta(m_techmodeFd, &radio) == 0;
    if (ok) {
        pps_encoder_add_int(&run.enc, "rrc_reject", radio.rrc_reject_cause);
        pps_encoder_add_int(&run.enc, "rrc_release", radio.rrc_release_cause);
        pps_encoder_add_string(&run.enc, "rrc_state", RrcStateText(radio.rrc_state));
        pps_encoder_add_string(&run.enc, "rrc_conn_state", RrcConnStateText(radio.rrc_conn_state));
    } else {
        static const char *const kNames[] = {"rrc_reject", "rrc_release", "rrc_state",
                                             "rrc_conn_state"};
        run.NotAvailable(kNames);
    }
    FinishCommand(run, m_statusUtraFd, ok);
}

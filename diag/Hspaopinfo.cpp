// SPDX-License-Identifier: Apache-2.0
// hspaopinfo: the HSPA channel information and the inter-RAT compressed
// mode state, published into status_utra. Two fetches; the screen is shown
// when either answered.
#include <string.h>
#include <sys/slog.h>

#include "CommandRun.h"
#include "pps/VelomarLog.h"
#include "techmode/techmode_structs.h"
#include "techmode/techmode_text.h"

static int s_hspaopinfoLastId = -1;

int VeloHspaopinfoHandler(PPSServer *, void *, uint64_t clientId, const char *msg, const char *id,
                          const char *dat) {
    slogf(kVelomarLogCode, _SLOG_DEBUG1, "VeloHspaopinfoHandler");
    g_service->HspaopinfoCmd(clientId, msg, id, dat);
    return 0;
}

void VelomarPPS::HspaopinfoCmd(uint64_t clientId, const char *msg, const char *id,
                               const char *dat) {
    HspaChannelInfo channel;
    HspaInterRatMeas irat;
    memset(&channel, 0, sizeof channel);
    memset(&irat, 0, sizeof irat);

    CommandRun run("HspaopinfoHandler", &s_hspaopinfoLastId);
    if (!BeginCommand(run, clientId, msg, id, dat)) return;

    // The screen keeps these rows; the modem does not report them yet.
    static const char *const kToBeDone[] = {"hsdpa_cqi_num", "hsdpa_cqi_type", "hsdpa_bler"};
    for (const char *name : kToBeDone) pps_encoder_add_string(&run.enc, name, "TBD");
    static const char *const kUnsupported[] = {"hspa_ue_state", "hspa_irat_ch",
                                               "hspa_irat_carrier_rssi"};
    run.NotSupported(kUnsupported);
    bool any = false;

    if (getDtaHspaChannelInfoDta(m_techmodeFd, &channel) == 0) {
        pps_encoder_add_int(&run.enc, "hssch_code", channel.hssch_code);
        pps_encoder_add_int(&run.enc, "hsdpa_rate", static_cast<int32_t>(channel.hsdpa_rate));
        // Only 0 means the short interval; every other code is 10 ms.
        pps_encoder_add_string(&run.enc, "edch_tti", channel.edch_tti == 0 ? "2ms" : "10ms");
        any = true;
    } else {
        static const char *const kNames[] = {"hssch_code", "hsdpa_rate", "edch_tti"};
        run.NotAvailable(kNames);
    }

    if (getDtaHspaInterRatMeasDta(m_techmodeFd, &irat) == 0) {
        pps_encoder_add_string(&run.enc, "hspa_irat_cm", OnOffText(irat.irat_cm));
        any = true;
    } else {
        pps_encoder_add_string(&run.enc, "hspa_irat_cm", "N/A");
    }

    FinishCommand(run, m_statusUtraFd, any);
}
